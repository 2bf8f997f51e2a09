#include "remoting/dispatcher.h"

#include <exception>

#include "remoting/errors.h"
#include "remoting/log.h"
#include "support/log_text.h"

namespace tovra::remoting {

namespace {

using support::LogSafe;

Answer Fault(const Call& call, std::string text) {
  Answer answer;
  answer.client_id = call.client_id;
  answer.request_number = call.request_number;
  answer.fault = std::move(text);
  return answer;
}

// Names in a call come from the client: log lines show them made safe, so that a request
// cannot forge or flood the server's log.
std::string Describe(const Call& call) {
  return LogSafe(call.library) + "." + LogSafe(call.interface_name) + "." +
         LogSafe(call.operation) + " (client " + LogSafe(call.client_id) + ", request " +
         std::to_string(call.request_number) + ")";
}

}  // namespace

Dispatcher::Dispatcher(SessionStore& sessions, Limits limits)
    : sessions_(sessions), limits_(limits) {}

void Dispatcher::Register(std::string_view library, std::string_view interface_name,
                          std::string_view operation, Operation run, SessionPolicy policy) {
  operations_[Key(library, interface_name, operation)] = Entry{std::move(run), policy};
}

const Dispatcher::Entry* Dispatcher::Lookup(const Call& call, std::string& fault) const {
  // A caller that knows only the service's name (a dataset connection) leaves the library
  // empty; service names are unique within one server.
  bool interface_known = false;
  for (const auto& [key, entry] : operations_) {
    const auto& [library, interface_name, operation] = key;
    if (interface_name != call.interface_name ||
        (!call.library.empty() && library != call.library)) {
      continue;
    }
    interface_known = true;
    if (operation == call.operation) {
      return &entry;
    }
  }
  if (interface_known) {
    fault = "The service " + call.interface_name + " has no operation \"" + call.operation + "\".";
  } else {
    fault = "The server has no service \"" + call.interface_name + "\" in library \"" +
            call.library + "\".";
  }
  return nullptr;
}

Answer Dispatcher::Run(const Call& call) {
  std::string fault;
  const Entry* entry = Lookup(call, fault);
  if (entry == nullptr) {
    return Fault(call, std::move(fault));
  }
  if (call.client_id.empty()) {
    return Fault(call, "The request carries no client id.");
  }
  return RunInSession(call, *entry);
}

Answer Dispatcher::RunInSession(const Call& call, const Entry& entry) {
  for (;;) {
    std::shared_ptr<Session> session = entry.policy == SessionPolicy::kNone
                                           ? sessions_.FindOrCreate(call.client_id)
                                           : sessions_.Find(call.client_id);
    if (!session) {
      if (entry.policy == SessionPolicy::kNone) {
        Log(LogLevel::kWarning, "refused " + Describe(call) + ": too many sessions");
        return Fault(call, "The server has too many sessions open. Try again later.");
      }
      Log(LogLevel::kInfo, "refused " + Describe(call) + ": no session");
      return Fault(call, std::string(kNoSession));
    }
    session->Touch(Session::Clock::now());
    std::unique_lock call_lock(session->call_mutex_);
    if (session->retired_) {
      continue;  // expired while we waited: look again
    }
    session->Touch(Session::Clock::now());

    if (session->last_answer_ && call.request_number == session->last_request_) {
      return *session->last_answer_;  // a retry: answer again, do not run again
    }
    if (call.request_number < session->last_request_) {
      return Fault(call, "Request " + std::to_string(call.request_number) +
                             " is older than this client's last request " +
                             std::to_string(session->last_request_) + "; it is not run again.");
    }
    if (entry.policy == SessionPolicy::kRequired && !session->open_) {
      Log(LogLevel::kInfo, "refused " + Describe(call) + ": no session");
      return Fault(call, std::string(kNoSession));
    }

    CallContext context(call, *session);
    Answer answer;
    answer.client_id = call.client_id;
    answer.request_number = call.request_number;
    try {
      entry.run(context);
      answer.values = std::move(context.Results());
    } catch (const std::exception& error) {
      answer.fault = error.what();
    } catch (...) {
      answer.fault = "The server failed to run " + call.operation + ".";
    }
    if (context.EndRequested()) {
      sessions_.EndLocked(*session);
    }
    session->last_request_ = call.request_number;
    session->last_answer_ = answer;
    session->Touch(Session::Clock::now());
    return answer;
  }
}

std::optional<Bytes> Dispatcher::Handle(std::span<const std::uint8_t> request) {
  try {
    Opened opened;
    Call call;
    Answer answer;
    try {
      opened = Open(request, limits_);
      call = CodecFor(opened.settings.kind).DecodeCall(opened.payload, limits_);
    } catch (const ProtocolError& error) {
      // Answer with a fault when the header says how; otherwise there is nothing to say.
      const std::optional<EnvelopeSettings> settings = PeekSettings(request);
      Log(LogLevel::kWarning, std::string("unreadable request: ") + error.what());
      if (!settings) {
        return std::nullopt;
      }
      opened.settings = *settings;
      answer.fault = std::string("The server could not read the request: ") + error.what();
    }
    if (!answer.fault) {
      answer = Run(call);
    }
    const Message& codec = CodecFor(opened.settings.kind);
    Bytes payload = codec.EncodeAnswer(answer);
    if (payload.size() > limits_.max_message_size) {
      Log(LogLevel::kError, "the answer to " + Describe(call) + " has " +
                                std::to_string(payload.size()) + " bytes, more than the limit");
      payload = codec.EncodeAnswer(Fault(
          call, "The answer to " + call.operation + " is larger than the message size limit."));
    }
    return Seal(payload, opened.settings);
  } catch (const std::exception& error) {
    Log(LogLevel::kError, std::string("could not answer a request: ") + error.what());
  } catch (...) {
    Log(LogLevel::kError, "could not answer a request");
  }
  return std::nullopt;
}

}  // namespace tovra::remoting
