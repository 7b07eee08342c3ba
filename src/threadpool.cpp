#include "threadpool.h"

#include <new>
#include <system_error>
#include <utility>

namespace oxcl_benchmark {

bool StartThread(std::vector<std::thread>* threads, std::function<void()> body,
                 std::string* error) {
  try {
    threads->emplace_back(std::move(body));
    return true;
  } catch (const std::system_error& e) {
    // The code's own text ("Resource temporarily unavailable"), not the library's wording.
    if (error != nullptr) *error = e.code().message();
    return false;
  } catch (const std::bad_alloc&) {
    if (error != nullptr) *error = "out of memory";
    return false;
  }
}

ThreadPool::ThreadPool(int n) {
  if (n <= 0) return;
  workers.reserve(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) {
    if (!StartThread(&workers, [this] { Run(); }, &start_error)) break;
    ++started;
  }
}

ThreadPool::~ThreadPool() { Reset(); }

void ThreadPool::Dispatch(Task task) {
  {
    std::lock_guard<std::mutex> lock(mutex);
    tasks.push_back(std::move(task));
  }
  // Outside the lock, so the woken thread does not block on it at once.
  task_ready.notify_one();
}

benchmarkResult_t ThreadPool::Sync() {
  std::unique_lock<std::mutex> lock(mutex);
  if (running && workers.empty()) {
    // Nobody else would ever run these: run them here rather than wait for ever.
    while (!tasks.empty()) RunFront(lock);
  }
  while (running && (!tasks.empty() || busy != 0)) task_done.wait(lock);
  return static_cast<benchmarkResult_t>(status.load());
}

benchmarkResult_t ThreadPool::GetStatus() const {
  return static_cast<benchmarkResult_t>(status.load());
}

void ThreadPool::Reset() {
  {
    std::lock_guard<std::mutex> lock(mutex);
    running = false;
  }
  task_ready.notify_all();
  // A Sync that waits for queued tasks no thread will start must return now.
  task_done.notify_all();
  for (std::thread& worker : workers) {
    if (worker.joinable()) worker.join();
  }
  workers.clear();
}

void ThreadPool::Run() {
  std::unique_lock<std::mutex> lock(mutex);
  while (running) {
    if (tasks.empty()) {
      task_ready.wait(lock);
      continue;
    }
    RunFront(lock);
    task_done.notify_all();
  }
}

void ThreadPool::RunFront(std::unique_lock<std::mutex>& lock) {
  Task task = std::move(tasks.front());
  tasks.pop_front();
  ++busy;
  lock.unlock();
  const benchmarkResult_t result = task();
  // The task's copy goes before the lock is taken again: its captures may be heavy.
  task = nullptr;
  lock.lock();
  status.fetch_or(result);
  --busy;
}

}  // namespace oxcl_benchmark
