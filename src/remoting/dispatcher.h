#pragma once

// The server's side of a call: opens the envelope, decodes the call, finds the operation by
// library, interface and operation name, runs it within the caller's session and seals the
// answer with the request's message kind, compression and cipher. A fault (an operation that
// threw, an unknown operation, a missing session) travels back as an answer with the fault's
// text.
//
// De-duplication: a request whose request number equals the last one of its client id gets
// the cached answer without running again (UDP retries rely on this); a retry arriving while
// the first run is still busy waits for it. A request number below the last one is refused:
// it is a late copy of a call that has already been answered.

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <tuple>

#include "remoting/envelope.h"
#include "remoting/limits.h"
#include "remoting/message.h"
#include "remoting/server_transport.h"
#include "remoting/session.h"

namespace tovra::remoting {

// An operation's view of its call.
class CallContext {
 public:
  CallContext(const Call& call, Session& session) : call_(call), session_(session) {}

  const Call& GetCall() const { return call_; }
  Session& GetSession() { return session_; }

  void WriteString(std::string_view name, std::string_view value) { Add(name, std::string(value)); }
  void WriteInt32(std::string_view name, std::int32_t value) { Add(name, value); }
  void WriteInt64(std::string_view name, std::int64_t value) { Add(name, value); }
  void WriteBoolean(std::string_view name, bool value) { Add(name, value); }
  void WriteFloat(std::string_view name, double value) { Add(name, value); }
  void WriteBinary(std::string_view name, Bytes value) { Add(name, std::move(value)); }

  // Ends the session once this operation has answered (DestroyDataModule, logout).
  void EndSession() { end_session_ = true; }

  std::vector<NamedValue>& Results() { return results_; }
  bool EndRequested() const { return end_session_; }

 private:
  void Add(std::string_view name, Value value) {
    results_.push_back({std::string(name), std::move(value)});
  }

  const Call& call_;
  Session& session_;
  std::vector<NamedValue> results_;
  bool end_session_ = false;
};

// Runs one operation. Any exception it throws becomes a fault whose text is what() (a plain
// sentence the client shows); exceptions that are not std::exception become a generic fault.
using Operation = std::function<void(CallContext&)>;

enum class SessionPolicy {
  kRequired,  // refused unless the client's session is open
  kNone,      // runs without an open session (login)
};

class Dispatcher {
 public:
  explicit Dispatcher(SessionStore& sessions, Limits limits = {});
  Dispatcher(const Dispatcher&) = delete;
  Dispatcher& operator=(const Dispatcher&) = delete;

  // Registers an operation. Register everything before the listeners start.
  void Register(std::string_view library, std::string_view interface_name,
                std::string_view operation, Operation run,
                SessionPolicy policy = SessionPolicy::kRequired);

  // One sealed request in, one sealed answer out; nullopt when the request was not readable
  // enough to seal a fault for. Thread-safe; never throws.
  std::optional<Bytes> Handle(std::span<const std::uint8_t> request);

  // Handle as the listeners take it. The dispatcher must outlive the listeners.
  RequestHandler Handler() {
    return [this](std::span<const std::uint8_t> request) { return Handle(request); };
  }

  // The fault texts a client may see for these conditions.
  static constexpr std::string_view kNoSession =
      "This client has no session on the server (never logged in, or the session expired). "
      "Log in again.";

 private:
  struct Entry {
    Operation run;
    SessionPolicy policy;
  };
  using Key = std::tuple<std::string, std::string, std::string>;

  Answer Run(const Call& call);
  Answer RunInSession(const Call& call, const Entry& entry);
  const Entry* Lookup(const Call& call, std::string& fault) const;

  SessionStore& sessions_;
  const Limits limits_;
  std::map<Key, Entry, std::less<>> operations_;
};

}  // namespace tovra::remoting
