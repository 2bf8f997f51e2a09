#pragma once

// Server-side sessions, keyed by the client id every request carries.
//
// A session record exists for every client id the server has heard from recently. It is
// "open" once an operation that needs no session (login) opened it, and stays open until the
// service ends it, it stays idle longer than the idle time-out, or the server shuts down;
// each of these runs the end hook (which rolls back what the session left open). The record
// outlives the open state until it expires, so that a retry of the request that ended the
// session still finds its cached answer.
//
// Calls of one client run one at a time: the record's call lock serialises them, and the
// record remembers the last request number with its answer for de-duplication.

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "remoting/message.h"

namespace tovra::remoting {

// What a service keeps per session (a store connection with its open transaction, the user
// who logged in). Destroyed when the session ends, after the end hook has run.
class SessionData {
 public:
  virtual ~SessionData() = default;
};

class Session {
 public:
  using Clock = std::chrono::steady_clock;

  explicit Session(std::string client_id) : client_id_(std::move(client_id)) {}
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  const std::string& ClientId() const { return client_id_; }
  Clock::time_point LastSeen() const {
    return Clock::time_point(Clock::duration(last_seen_.load()));
  }
  void Touch(Clock::time_point now) { last_seen_.store(now.time_since_epoch().count()); }

  // The following are for the operation running on this session (under its call lock).
  bool IsOpen() const { return open_; }
  // Opens the session (login). Keeps data attached earlier.
  void Open() { open_ = true; }
  void SetData(std::unique_ptr<SessionData> data) { data_ = std::move(data); }
  SessionData* Data() const { return data_.get(); }
  template <typename T>
  T* DataAs() const {
    return dynamic_cast<T*>(data_.get());
  }

 private:
  friend class SessionStore;
  friend class Dispatcher;

  const std::string client_id_;
  std::atomic<Clock::rep> last_seen_{Clock::now().time_since_epoch().count()};

  // Held while an operation of this client runs.
  std::mutex call_mutex_;
  bool open_ = false;
  std::atomic<bool> retired_{false};  // removed from the store; a caller must look again
  std::unique_ptr<SessionData> data_;
  std::uint64_t last_request_ = 0;
  std::optional<Answer> last_answer_;
};

class SessionStore {
 public:
  using EndHook = std::function<void(Session&)>;

  // `idle_timeout`: a session not called for this long expires. `max_sessions` bounds the
  // records kept, open or not.
  explicit SessionStore(std::chrono::milliseconds idle_timeout = std::chrono::minutes(10),
                        std::size_t max_sessions = 10000);
  ~SessionStore();
  SessionStore(const SessionStore&) = delete;
  SessionStore& operator=(const SessionStore&) = delete;

  // Runs when an open session ends: explicitly, by expiry or by EndAll. Runs under the
  // session's call lock, never under the store's; must not throw (errors are logged).
  void SetEndHook(EndHook hook);

  std::chrono::milliseconds IdleTimeout() const { return idle_timeout_; }

  // The record of this client id; nullptr when there is none.
  std::shared_ptr<Session> Find(const std::string& client_id) const;
  // The record of this client id, created when there is none; nullptr when the store is
  // full.
  std::shared_ptr<Session> FindOrCreate(const std::string& client_id);

  // Ends an open session whose call lock the caller holds: runs the end hook and drops its
  // data. The record stays until it expires.
  void EndLocked(Session& session);

  // Ends and removes every session idle since before `now - idle timeout`; sessions with a
  // call running are left alone. Returns how many records were removed. The server calls this
  // periodically.
  std::size_t ExpireIdle(Session::Clock::time_point now = Session::Clock::now());

  // Ends every open session and removes all records (server shutdown).
  void EndAll();

  std::size_t Size() const;

 private:
  std::size_t Remove(const std::function<bool(const Session&)>& select, bool wait_for_calls);

  const std::chrono::milliseconds idle_timeout_;
  const std::size_t max_sessions_;
  mutable std::mutex mutex_;
  std::map<std::string, std::shared_ptr<Session>, std::less<>> sessions_;
  EndHook end_hook_;
};

}  // namespace tovra::remoting
