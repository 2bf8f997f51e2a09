#include "remoting/worker_pool.h"

#include <algorithm>

namespace tovra::remoting::detail {

void WorkerPool::Start(std::size_t threads) {
  for (std::size_t i = 0; i < std::max<std::size_t>(threads, 1); ++i) {
    threads_.emplace_back([this] { Work(); });
  }
}

void WorkerPool::Post(std::function<void()> job) {
  {
    std::lock_guard lock(mutex_);
    if (stopping_) {
      return;
    }
    jobs_.push_back(std::move(job));
  }
  wake_.notify_one();
}

bool WorkerPool::Idle() {
  std::lock_guard lock(mutex_);
  return jobs_.empty();
}

void WorkerPool::Stop() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  for (auto& thread : threads_) {
    thread.join();
  }
  threads_.clear();
  // The jobs that never ran are destroyed here, outside the lock: they may hold the last
  // reference to a connection.
  std::deque<std::function<void()>> dropped;
  {
    std::lock_guard lock(mutex_);
    dropped.swap(jobs_);
  }
}

void WorkerPool::Work() {
  while (true) {
    std::function<void()> job;
    {
      std::unique_lock lock(mutex_);
      wake_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
      if (stopping_) {
        return;
      }
      job = std::move(jobs_.front());
      jobs_.pop_front();
    }
    job();
  }
}

}  // namespace tovra::remoting::detail
