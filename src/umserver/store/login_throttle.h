#pragma once

// Slows down password guessing: after a failed login for a user name, the next attempt for
// that name is refused until a delay has passed, and the delay doubles with each further
// failure. Other names are not affected, and nothing here sleeps, so one attacker cannot
// hold up the server's other work. A success clears the name's record.

#include <chrono>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

namespace tovra::umserver::store {

class LoginThrottle {
 public:
  using Clock = std::chrono::steady_clock;

  struct Options {
    std::chrono::milliseconds first_delay{500};
    std::chrono::milliseconds max_delay{std::chrono::seconds(60)};
    // Names remembered at most; beyond it the records whose delay has run out longest ago
    // are forgotten first, so a flood of made-up names cannot grow memory without limit.
    std::size_t max_names = 10000;
    // Tests pass a clock of their own.
    std::function<Clock::time_point()> now;
  };

  LoginThrottle();
  explicit LoginThrottle(Options options);

  // How long the caller must still wait before an attempt for `user` is looked at; zero
  // when it may go ahead.
  std::chrono::milliseconds RetryAfter(std::string_view user) const;

  void RecordFailure(std::string_view user);
  void RecordSuccess(std::string_view user);

 private:
  struct Record {
    int failures = 0;
    Clock::time_point blocked_until;
  };

  Clock::time_point Now() const;
  void Evict(Clock::time_point now);

  Options options_;
  mutable std::mutex mutex_;
  std::unordered_map<std::string, Record> records_;
};

}  // namespace tovra::umserver::store
