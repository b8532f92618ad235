#include "host/output/worker_pool.h"

#include <system_error>
#include <utility>

#if defined(__linux__)
#include <sched.h>
#endif

namespace lodra_gif {

WorkerPool::WorkerPool(int workers) {
  for (int i = 0; i < workers; ++i) {
    try {
      threads_.emplace_back([this] { Work(); });
    } catch (const std::system_error&) {
      break;
    }
  }
}

WorkerPool::~WorkerPool() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  for (std::thread& thread : threads_) thread.join();
}

void WorkerPool::Submit(std::function<void()> task) {
  if (threads_.empty()) return task();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    tasks_.push_back(std::move(task));
  }
  wake_.notify_one();
}

void WorkerPool::Work() {
  for (;;) {
    std::function<void()> task;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [this] { return stopping_ || !tasks_.empty(); });
      if (tasks_.empty()) return;
      task = std::move(tasks_.front());
      tasks_.pop_front();
    }
    task();
  }
}

int AvailableProcessors() {
#if defined(__linux__)
  // Those of the affinity mask: a process confined to some cores (taskset,
  // a container's cpuset) has only those.
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0) return CPU_COUNT(&set);
#endif
  const unsigned count = std::thread::hardware_concurrency();
  return count > 0 ? static_cast<int>(count) : 1;
}

WorkerPool& ProcessPool() {
  // Never destroyed: its threads wait until the process ends, and no
  // static destructor joins them while another thread may still submit.
  static WorkerPool* const pool = new WorkerPool(AvailableProcessors());
  return *pool;
}

}  // namespace lodra_gif
