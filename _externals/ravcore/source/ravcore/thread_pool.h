// A fixed number of worker threads serving one FIFO queue of tasks.
//
// Tasks start in the order they were queued (with several workers they may overlap). `Stop`,
// or the destructor, lets the workers finish every task already queued, then joins them; after
// that `enqueue` throws. A pool must not be stopped or destroyed from one of its own tasks.
#ifndef RAVCORE_THREAD_POOL_H_
#define RAVCORE_THREAD_POOL_H_

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <queue>
#include <stdexcept>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

namespace ravcore {

class ThreadPool {
 public:
  explicit ThreadPool(std::size_t count);
  ~ThreadPool();
  ThreadPool(const ThreadPool&) = delete;
  ThreadPool& operator=(const ThreadPool&) = delete;

  // Queues a call of `f` with `args`; the future holds its result or its exception. Throws
  // std::runtime_error "enqueue task on stopped thread pool" once the pool is stopped.
  template <typename F, typename... Args>
  auto enqueue(F&& f, Args&&... args) -> std::future<std::invoke_result_t<F, Args...>> {
    using Result = std::invoke_result_t<F, Args...>;
    auto task = std::make_shared<std::packaged_task<Result()>>(
        std::bind(std::forward<F>(f), std::forward<Args>(args)...));
    std::future<Result> result = task->get_future();
    Push([task] { (*task)(); });
    return result;
  }

  // Runs the queued tasks to the end and joins the workers. Idempotent.
  void Stop();

  std::size_t Size() const { return workers_.size(); }

 private:
  void Push(std::function<void()> task);
  void WorkerLoop();

  std::vector<std::thread> workers_;
  std::queue<std::function<void()>> tasks_;
  std::mutex mutex_;
  std::condition_variable condition_;
  bool stop_ = false;
  std::once_flag joined_;
};

}  // namespace ravcore

#endif  // RAVCORE_THREAD_POOL_H_
