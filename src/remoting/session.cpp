#include "remoting/session.h"

#include <exception>

#include "remoting/log.h"

namespace tovra::remoting {

SessionStore::SessionStore(std::chrono::milliseconds idle_timeout, std::size_t max_sessions)
    : idle_timeout_(idle_timeout), max_sessions_(max_sessions) {}

SessionStore::~SessionStore() {
  EndAll();
}

void SessionStore::SetEndHook(EndHook hook) {
  std::lock_guard lock(mutex_);
  end_hook_ = std::move(hook);
}

std::shared_ptr<Session> SessionStore::Find(const std::string& client_id) const {
  std::lock_guard lock(mutex_);
  const auto it = sessions_.find(client_id);
  return it == sessions_.end() ? nullptr : it->second;
}

std::shared_ptr<Session> SessionStore::FindOrCreate(const std::string& client_id) {
  std::lock_guard lock(mutex_);
  const auto it = sessions_.find(client_id);
  if (it != sessions_.end()) {
    return it->second;
  }
  if (sessions_.size() >= max_sessions_) {
    return nullptr;
  }
  auto session = std::make_shared<Session>(client_id);
  sessions_.emplace(client_id, session);
  return session;
}

void SessionStore::EndLocked(Session& session) {
  if (!session.open_) {
    session.data_.reset();
    return;
  }
  session.open_ = false;
  EndHook hook;
  {
    std::lock_guard lock(mutex_);
    hook = end_hook_;
  }
  if (hook) {
    try {
      hook(session);
    } catch (const std::exception& error) {
      Log(LogLevel::kError,
          "ending the session of " + session.client_id_ + " failed: " + error.what());
    } catch (...) {
      Log(LogLevel::kError, "ending the session of " + session.client_id_ + " failed");
    }
  }
  session.data_.reset();
}

std::size_t SessionStore::Remove(const std::function<bool(const Session&)>& select,
                                 bool wait_for_calls) {
  // Take the records out under the store's lock, then end them outside it: an end hook may
  // take a while (a rollback) and must not hold up every other client.
  std::vector<std::pair<std::shared_ptr<Session>, std::unique_lock<std::mutex>>> removed;
  {
    std::lock_guard lock(mutex_);
    for (auto it = sessions_.begin(); it != sessions_.end();) {
      Session& session = *it->second;
      if (!select(session)) {
        ++it;
        continue;
      }
      std::unique_lock call(session.call_mutex_, std::try_to_lock);
      if (!call.owns_lock()) {
        if (!wait_for_calls) {
          ++it;  // busy: it is not idle after all
          continue;
        }
        call = std::unique_lock(session.call_mutex_, std::defer_lock);
      }
      session.retired_ = true;
      removed.emplace_back(it->second, std::move(call));
      it = sessions_.erase(it);
    }
  }
  for (auto& [session, call] : removed) {
    if (!call.owns_lock()) {
      call.lock();  // shutdown: let the running call finish first
    }
    EndLocked(*session);
  }
  return removed.size();
}

std::size_t SessionStore::ExpireIdle(Session::Clock::time_point now) {
  const auto idle_since = now - idle_timeout_;
  return Remove([idle_since](const Session& s) { return s.LastSeen() < idle_since; }, false);
}

void SessionStore::EndAll() {
  Remove([](const Session&) { return true; }, true);
}

std::size_t SessionStore::Size() const {
  std::lock_guard lock(mutex_);
  return sessions_.size();
}

}  // namespace tovra::remoting
