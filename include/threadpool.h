// A fixed set of threads that runs tasks from one first-in, first-out queue.
#ifndef OXCL_BENCHMARK_THREADPOOL_H_
#define OXCL_BENCHMARK_THREADPOOL_H_

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common.h"

namespace oxcl_benchmark {

// Starts a thread running `body` and appends it to `threads`. When the system refuses the
// thread (no task slot, no memory for its stack), returns false with the reason in `*error`
// instead of throwing, so the caller can end the run with a message.
bool StartThread(std::vector<std::thread>* threads, std::function<void()> body,
                 std::string* error);

class ThreadPool {
 public:
  using Task = std::function<benchmarkResult_t()>;

  // Starts `n` threads (none for n <= 0) that take tasks from the queue. If the system refuses
  // one, the pool keeps those already started; Started() and StartError() tell the caller.
  explicit ThreadPool(int n);
  // Stops the pool: a running task finishes, queued tasks are discarded unrun.
  ~ThreadPool();
  ThreadPool(const ThreadPool&) = delete;
  ThreadPool& operator=(const ThreadPool&) = delete;

  // Queues a copy of `task` behind the pending ones.
  void Dispatch(Task task);
  // Waits until the queue is empty and no task runs, or the pool stops; returns the bitwise OR
  // of every result so far. A pool without threads runs its pending tasks here, in order.
  [[nodiscard]] benchmarkResult_t Sync();
  // The bitwise OR of every result so far, without waiting.
  benchmarkResult_t GetStatus() const;
  // Stops the pool and joins its threads; tasks still queued are never started.
  void Reset();

  // Threads that were started at construction (fewer than asked when one could not start).
  int Started() const { return started; }
  // Why the first refused thread could not start; empty when all started.
  const std::string& StartError() const { return start_error; }

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
  int32_t busy = 0;
  int32_t started = 0;
  std::string start_error;
  // Atomic so that GetStatus may read it while a pool thread records a result; an int, since
  // the results are OR-ed together.
  std::atomic<int> status{0};
};

}  // namespace oxcl_benchmark

#endif  // OXCL_BENCHMARK_THREADPOOL_H_
