// A fixed set of threads that runs tasks from one first-in, first-out queue.
#ifndef OXCL_BENCHMARK_THREADPOOL_H_
#define OXCL_BENCHMARK_THREADPOOL_H_

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "common.h"

namespace oxcl_benchmark {

class ThreadPool {
 public:
  using Task = std::function<benchmarkResult_t()>;

  // Starts `n` threads (none for n <= 0) that take tasks from the queue.
  explicit ThreadPool(int n);
  // Stops the pool: a running task finishes, queued tasks are discarded unrun.
  ~ThreadPool();
  ThreadPool(const ThreadPool&) = delete;
  ThreadPool& operator=(const ThreadPool&) = delete;

  // Queues a copy of `task` behind the pending ones.
  void Dispatch(Task task);
  // Waits until the queue is empty and no task runs, or the pool stops; returns the bitwise OR
  // of every result so far. A pool without threads runs its pending tasks here, in order.
  benchmarkResult_t Sync();
  // The bitwise OR of every result so far, without waiting.
  benchmarkResult_t GetStatus() const;
  // Stops the pool and joins its threads; tasks still queued are never started.
  void Reset();

 private:
  // Body of each pool thread.
  void Run();
  // Runs the front task outside the lock; the lock is held again on return.
  void RunFront(std::unique_lock<std::mutex>& lock);

  std::deque<Task> tasks;
  bool running = true;
  std::mutex mutex;
  std::condition_variable task_ready;
  std::condition_variable task_done;
  std::vector<std::thread> workers;
  int32_t thread_num = 0;
  int32_t busy = 0;
  // Atomic so that GetStatus may read it while a pool thread records a result.
  std::atomic<benchmarkResult_t> status{0};
};

}  // namespace oxcl_benchmark

#endif  // OXCL_BENCHMARK_THREADPOOL_H_
