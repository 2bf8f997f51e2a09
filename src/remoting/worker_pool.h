#pragma once

// The server's worker threads: they run the request handler, so that a slow call never
// holds up the loop that serves the sockets.

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace tovra::remoting::detail {

// Runs jobs on a fixed set of threads. Stop lets running jobs finish and drops the rest.
class WorkerPool {
 public:
  // Starts `threads` threads, at least one.
  void Start(std::size_t threads);
  // Queues a job; ignored once Stop has begun.
  void Post(std::function<void()> job);
  // No job waits for a thread.
  bool Idle();
  void Stop();

 private:
  void Work();

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> jobs_;
  std::vector<std::thread> threads_;
  bool stopping_ = false;
};

}  // namespace tovra::remoting::detail
