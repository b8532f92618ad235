// Threads that run tasks handed to them, one pool per process: lodra-gif's
// stages that can work frames side by side (the GIF optimiser) share it,
// so they never ask for more cores between them than the machine gives.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace lodra_gif {

class WorkerPool {
 public:
  // `workers` threads; with 0 every task runs at once in the thread that
  // submits it. Threads the system refuses are done without.
  explicit WorkerPool(int workers);
  // Runs what is queued, then ends the threads.
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  // Queues `task`; a task must not throw.
  void Submit(std::function<void()> task);
  int workers() const { return static_cast<int>(threads_.size()); }

 private:
  void Work();

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> tasks_;
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};

// The processors this process may run on (at least 1).
int AvailableProcessors();

// The process's pool, made on first use with one worker a processor the
// process may run on, and kept until the process ends.
WorkerPool& ProcessPool();

}  // namespace lodra_gif
