#pragma once

// What tests need to run work on threads of their own: an event to wait for with a bound,
// and a thread whose exception comes back to the test instead of ending the program.

#include <chrono>
#include <condition_variable>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>

namespace tovra::remoting::testing {

// Long enough for a loaded machine, short enough that a missing event fails the test
// rather than the test run's time-out.
inline constexpr std::chrono::seconds kEventBound{20};

// A one-shot event. Waiting is bounded, so an event that never comes fails the test.
class Event {
 public:
  void Set() {
    {
      std::lock_guard lock(mutex_);
      set_ = true;
    }
    changed_.notify_all();
  }
  bool IsSet() const {
    std::lock_guard lock(mutex_);
    return set_;
  }
  [[nodiscard]] bool WaitFor(std::chrono::milliseconds bound = kEventBound) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, bound, [this] { return set_; });
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  bool set_ = false;
};

// Sets the event when the scope ends, however it ends: a test that fails half-way still
// lets the threads it started finish before they are joined.
class SetOnExit {
 public:
  explicit SetOnExit(Event& event) : event_(event) {}
  ~SetOnExit() { event_.Set(); }
  SetOnExit(const SetOnExit&) = delete;
  SetOnExit& operator=(const SetOnExit&) = delete;

 private:
  Event& event_;
};

// Runs `work` on a thread of its own. Whatever it throws is kept and rethrown by Join() in
// the test's thread, where it fails the test; nothing escapes the thread.
class Worker {
 public:
  explicit Worker(std::function<void()> work)
      : thread_([this, work = std::move(work)] {
          try {
            work();
          } catch (...) {
            error_ = std::current_exception();
          }
        }) {}
  ~Worker() {
    if (thread_.joinable()) {
      thread_.join();
    }
  }
  Worker(const Worker&) = delete;
  Worker& operator=(const Worker&) = delete;

  void Join() {
    thread_.join();
    if (error_) {
      std::rethrow_exception(std::exchange(error_, nullptr));
    }
  }

 private:
  std::exception_ptr error_;
  std::thread thread_;  // last: everything it touches exists before it starts
};

// Waits until `condition` holds, for at most `bound`. For state that has no event of its
// own to wait on; the waiting thread yields rather than sleeps.
template <typename Condition>
[[nodiscard]] bool WaitUntil(Condition condition, std::chrono::milliseconds bound = kEventBound) {
  const auto deadline = std::chrono::steady_clock::now() + bound;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) {
      return condition();
    }
    std::this_thread::yield();
  }
  return true;
}

}  // namespace tovra::remoting::testing
