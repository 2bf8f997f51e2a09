#include "remoting/log.h"

#include <cstdio>
#include <mutex>
#include <string>

namespace tovra::remoting {

namespace {

LogSink& Sink() {
  static LogSink sink;
  return sink;
}

void DefaultSink(LogLevel level, std::string_view text) {
  if (level < LogLevel::kWarning) {
    return;
  }
  static std::mutex mutex;
  std::lock_guard lock(mutex);
  std::fprintf(stderr, "tovra-remoting: %.*s\n", static_cast<int>(text.size()), text.data());
}

}  // namespace

void SetLogSink(LogSink sink) { Sink() = std::move(sink); }

void Log(LogLevel level, std::string_view text) {
  if (const LogSink& sink = Sink()) {
    sink(level, text);
  } else {
    DefaultSink(level, text);
  }
}

}  // namespace tovra::remoting
