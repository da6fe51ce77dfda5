#include "ravcore/thread_pool.h"

namespace ravcore {

ThreadPool::ThreadPool(std::size_t count) {
  workers_.reserve(count);
  try {
    for (std::size_t i = 0; i < count; ++i)
      workers_.emplace_back([this] { WorkerLoop(); });
  } catch (...) {
    Stop();
    throw;
  }
}

ThreadPool::~ThreadPool() {
  Stop();
}

void ThreadPool::Push(std::function<void()> task) {
  {
    std::lock_guard lock(mutex_);
    if (stop_)
      throw std::runtime_error("enqueue task on stopped thread pool");
    tasks_.push(std::move(task));
  }
  condition_.notify_one();
}

void ThreadPool::Stop() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  condition_.notify_all();
  std::call_once(joined_, [this] {
    for (std::thread& worker : workers_)
      worker.join();
  });
}

void ThreadPool::WorkerLoop() {
  for (;;) {
    std::function<void()> task;
    {
      std::unique_lock lock(mutex_);
      condition_.wait(lock, [this] { return stop_ || !tasks_.empty(); });
      if (stop_ && tasks_.empty())
        return;
      task = std::move(tasks_.front());
      tasks_.pop();
    }
    task();
  }
}

}  // namespace ravcore
