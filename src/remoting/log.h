#pragma once

// The remoting layer's log lines go through one replaceable sink, so that the server can
// hand them to its own logger and the client can keep quiet. The default writes warnings
// and errors to stderr.

#include <functional>
#include <string_view>

namespace tovra::remoting {

enum class LogLevel { kDebug, kInfo, kWarning, kError };

using LogSink = std::function<void(LogLevel, std::string_view)>;

// Replaces the sink; an empty function restores the default. Not meant to be called while
// other threads log.
void SetLogSink(LogSink sink);

void Log(LogLevel level, std::string_view text);

}  // namespace tovra::remoting
