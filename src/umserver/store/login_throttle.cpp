#include "umserver/store/login_throttle.h"

#include <algorithm>
#include <vector>

namespace tovra::umserver::store {

LoginThrottle::LoginThrottle() : LoginThrottle(Options{}) {}

LoginThrottle::LoginThrottle(Options options) : options_(std::move(options)) {}

LoginThrottle::Clock::time_point LoginThrottle::Now() const {
  return options_.now ? options_.now() : Clock::now();
}

std::chrono::milliseconds LoginThrottle::RetryAfter(std::string_view user) const {
  std::lock_guard lock(mutex_);
  const auto found = records_.find(std::string(user));
  if (found == records_.end()) {
    return std::chrono::milliseconds(0);
  }
  const auto now = Now();
  if (found->second.blocked_until <= now) {
    return std::chrono::milliseconds(0);
  }
  // Round up so that a caller who waits the answer is not refused by a fraction.
  return std::chrono::ceil<std::chrono::milliseconds>(found->second.blocked_until - now);
}

void LoginThrottle::RecordFailure(std::string_view user) {
  std::lock_guard lock(mutex_);
  const auto now = Now();
  std::string key(user);
  if (!records_.contains(key) && records_.size() >= options_.max_names) {
    Evict(now);
  }
  Record& r = records_[key];
  r.failures = std::min(r.failures + 1, 30);  // 2^30 times any delay is past every cap
  auto delay = options_.first_delay;
  for (int i = 1; i < r.failures && delay < options_.max_delay; ++i) {
    delay *= 2;
  }
  r.blocked_until = now + std::min(delay, options_.max_delay);
}

void LoginThrottle::RecordSuccess(std::string_view user) {
  std::lock_guard lock(mutex_);
  records_.erase(std::string(user));
}

void LoginThrottle::Evict(Clock::time_point now) {
  // Forget every record whose delay is over; if that is not enough, the ones that end
  // soonest go first, so the names under the longest delays are kept.
  std::erase_if(records_, [now](const auto& entry) { return entry.second.blocked_until <= now; });
  // Leave room for the record about to be added.
  const std::size_t keep = options_.max_names > 0 ? options_.max_names - 1 : 0;
  if (records_.size() <= keep) {
    return;
  }
  std::vector<std::pair<Clock::time_point, std::string>> by_end;
  by_end.reserve(records_.size());
  for (const auto& [name, record] : records_) {
    by_end.emplace_back(record.blocked_until, name);
  }
  const std::size_t surplus = records_.size() - keep;
  std::nth_element(by_end.begin(), by_end.begin() + static_cast<std::ptrdiff_t>(surplus),
                   by_end.end());
  for (std::size_t i = 0; i < surplus; ++i) {
    records_.erase(by_end[i].second);
  }
}

}  // namespace tovra::umserver::store
