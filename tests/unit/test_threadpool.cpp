// Thread pool: order, waiting, status accumulation, stopping with work still queued; the bound
// on the threads a run may ask for; and the gates of the workers' barrier.
#include "threadpool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "context.h"

namespace oxcl_benchmark {
namespace {

using namespace std::chrono_literals;

// A gate that tasks wait on, so a test decides when a running task may finish.
class Gate {
 public:
  void Open() {
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = true;
    cv_.notify_all();
  }
  void Wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait(lock, [this] { return open_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool open_ = false;
};

TEST(ThreadPool, SingleThreadRunsTasksInDispatchOrder) {
  std::vector<int> order;  // touched by the pool thread only, read after Sync
  ThreadPool pool(1);
  for (int i = 0; i < 10; ++i) {
    pool.Dispatch([&order, i] {
      // Early tasks take longer, so a reordering pool would be caught.
      std::this_thread::sleep_for(std::chrono::microseconds(100 * (10 - i)));
      order.push_back(i);
      return BENCHMARK_SUCCESS;
    });
  }
  EXPECT_EQ(pool.Sync(), BENCHMARK_SUCCESS);
  ASSERT_EQ(order.size(), 10u);
  for (int i = 0; i < 10; ++i) EXPECT_EQ(order[i], i);
}

TEST(ThreadPool, SyncWaitsForEveryTaskOfSeveralThreads) {
  std::atomic<int> done{0};
  ThreadPool pool(4);
  for (int i = 0; i < 100; ++i) {
    pool.Dispatch([&done] {
      std::this_thread::sleep_for(50us);
      done.fetch_add(1);
      return BENCHMARK_SUCCESS;
    });
  }
  (void)pool.Sync();
  EXPECT_EQ(done.load(), 100);
}

TEST(ThreadPool, SyncOnIdlePoolReturnsAtOnce) {
  ThreadPool pool(1);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(pool.Sync(), BENCHMARK_SUCCESS);
  EXPECT_EQ(pool.Sync(), BENCHMARK_SUCCESS);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
}

TEST(ThreadPool, StatusIsTheOrOfAllResultsAndNeverClears) {
  ThreadPool pool(1);
  pool.Dispatch([] { return BENCHMARK_SUCCESS; });
  EXPECT_EQ(pool.Sync(), BENCHMARK_SUCCESS);
  pool.Dispatch([] { return BENCHMARK_FAILURE; });
  pool.Dispatch([] { return BENCHMARK_SUCCESS; });
  EXPECT_EQ(pool.Sync(), BENCHMARK_FAILURE);
  pool.Dispatch([] { return BENCHMARK_SUCCESS; });
  EXPECT_EQ(pool.Sync(), BENCHMARK_FAILURE);
  EXPECT_EQ(pool.GetStatus(), BENCHMARK_FAILURE);
  pool.Dispatch([] { return static_cast<benchmarkResult_t>(4); });
  EXPECT_EQ(pool.Sync(), 5);
}

TEST(ThreadPool, GetStatusDoesNotWait) {
  Gate gate;
  ThreadPool pool(1);
  pool.Dispatch([] { return BENCHMARK_FAILURE; });
  (void)pool.Sync();
  pool.Dispatch([&gate] {
    gate.Wait();
    return BENCHMARK_SUCCESS;
  });
  // The pool thread is blocked in the second task; GetStatus must still answer.
  EXPECT_EQ(pool.GetStatus(), BENCHMARK_FAILURE);
  gate.Open();
  (void)pool.Sync();
}

TEST(ThreadPool, DestructionDiscardsQueuedTasksWithoutHanging) {
  Gate gate;
  std::atomic<bool> first_started{false};
  std::atomic<int> ran{0};
  // Captured by the queued tasks: discarding them must release it.
  auto token = std::make_shared<int>(0);
  std::thread opener;
  {
    ThreadPool pool(1);
    pool.Dispatch([&] {
      first_started.store(true);
      gate.Wait();
      ran.fetch_add(1);
      return BENCHMARK_SUCCESS;
    });
    for (int i = 0; i < 5; ++i) {
      pool.Dispatch([&ran, token] {
        ran.fetch_add(1);
        return BENCHMARK_SUCCESS;
      });
    }
    while (!first_started.load()) std::this_thread::yield();
    // The running task finishes only after the destructor has begun.
    opener = std::thread([&gate] {
      std::this_thread::sleep_for(20ms);
      gate.Open();
    });
  }
  opener.join();
  EXPECT_EQ(ran.load(), 1);
  EXPECT_EQ(token.use_count(), 1);
}

TEST(ThreadPool, StoppedPoolQueuesButRunsNothing) {
  std::atomic<int> ran{0};
  ThreadPool pool(2);
  pool.Dispatch([&ran] {
    ran.fetch_add(1);
    return BENCHMARK_FAILURE;
  });
  (void)pool.Sync();
  pool.Reset();
  pool.Dispatch([&ran] {
    ran.fetch_add(1);
    return BENCHMARK_SUCCESS;
  });
  EXPECT_EQ(pool.Sync(), BENCHMARK_FAILURE);
  pool.Reset();
  EXPECT_EQ(ran.load(), 1);
}

TEST(ThreadPool, SyncWaitingForQueuedTasksReturnsWhenThePoolStops) {
  Gate gate;
  std::atomic<bool> started{false};
  ThreadPool pool(1);
  pool.Dispatch([&] {
    started.store(true);
    gate.Wait();
    return BENCHMARK_SUCCESS;
  });
  pool.Dispatch([] { return BENCHMARK_SUCCESS; });
  while (!started.load()) std::this_thread::yield();
  std::thread syncer([&pool] { (void)pool.Sync(); });
  std::thread stopper([&pool] { pool.Reset(); });
  std::this_thread::sleep_for(10ms);
  gate.Open();
  stopper.join();
  syncer.join();
}

TEST(ThreadPool, PoolWithoutThreadsRunsItsQueueInSync) {
  std::vector<int> order;
  ThreadPool pool(0);
  for (int i = 0; i < 3; ++i) {
    pool.Dispatch([&order, i] {
      order.push_back(i);
      return i == 1 ? BENCHMARK_FAILURE : BENCHMARK_SUCCESS;
    });
  }
  EXPECT_TRUE(order.empty());
  EXPECT_EQ(pool.Sync(), BENCHMARK_FAILURE);
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2}));
}

TEST(ThreadPool, TenPoolsDispatchedAndSyncedByOneWorker) {
  // The way a worker spreads its buffer chunks: one task per pool, then a Sync on each.
  std::vector<std::unique_ptr<ThreadPool>> pools;
  for (int i = 0; i < 10; ++i) pools.push_back(std::make_unique<ThreadPool>(1));
  std::vector<int> chunks(10 * 50, 0);
  for (int round = 0; round < 50; ++round) {
    for (int p = 0; p < 10; ++p) {
      pools[p]->Dispatch([&chunks, p, round] {
        chunks[round * 10 + p] += p + 1;
        return BENCHMARK_SUCCESS;
      });
    }
  }
  for (auto& pool : pools) EXPECT_EQ(pool->Sync(), BENCHMARK_SUCCESS);
  for (int i = 0; i < 500; ++i) ASSERT_EQ(chunks[i], i % 10 + 1) << i;
  pools.clear();
}

// Each thread writes its slot, passes the first gate and must then see every thread's slot of
// this round; the second gate keeps the next round's writes out until all have read. Both ways
// of waiting: spinning, and asleep from the start (more threads than cores).
TEST(BarrierGates, NoThreadPassesBeforeEveryThreadArrived) {
  for (bool spins : {true, false}) {
    for (uint64_t n : {uint64_t{2}, uint64_t{5}}) {
      Context ctx;
      ctx.threads = n;
      ctx.barrier_spins = spins;
      ctx.barrier_remaining = ctx.barrier_leaving = n;
      std::vector<int> slots(n, -1);
      std::atomic<int> wrong{0};
      std::vector<std::thread> threads;
      for (uint64_t t = 0; t < n; ++t) {
        threads.emplace_back([&, t] {
          for (int round = 0; round < 500; ++round) {
            slots[t] = round;
            ctx.PassGate(ctx.barrier_remaining, ctx.barrier_generation);
            for (int v : slots) wrong += v != round;
            ctx.PassGate(ctx.barrier_leaving, ctx.barrier_left_generation);
          }
        });
      }
      for (std::thread& t : threads) t.join();
      EXPECT_EQ(wrong.load(), 0) << "spins " << spins << " threads " << n;
      EXPECT_EQ(ctx.barrier_remaining.load(), n);
      EXPECT_EQ(ctx.barrier_generation.load(), 0u);  // an even number of changes
    }
  }
}

TEST(ThreadLimit, CountsWorkersPoolsAndQueues) {
  EXPECT_EQ(ThreadsNeeded(1, 1, false), 11u);
  EXPECT_EQ(ThreadsNeeded(2, 3, false), 62u);
  EXPECT_EQ(ThreadsNeeded(2, 3, true), 68u);
  EXPECT_EQ(ThreadsNeeded(3000, 1, false), 33000u);
  // Products beyond 64 bits saturate instead of wrapping to a small, accepted number.
  EXPECT_EQ(ThreadsNeeded(1ull << 32, 1ull << 32, false), UINT64_MAX);
  EXPECT_EQ(ThreadsNeeded(1ull << 61, 1, false), UINT64_MAX);  // only the x10 overflows
  EXPECT_EQ(ThreadsNeeded(UINT64_MAX, 1, false), UINT64_MAX);
}

TEST(ThreadLimit, RefusesOnlyBeyondTheLimitWithOneLine) {
  Context ctx;
  ctx.threads = 4;
  ctx.comms = 2;
  ctx.async = 1;  // 4 + 4 * 2 * 11 = 92 threads
  EXPECT_EQ(CheckThreadLimit(ctx, 92, "kernel.pid_max"), BENCHMARK_SUCCESS);
  testing::internal::CaptureStderr();
  EXPECT_EQ(CheckThreadLimit(ctx, 91, "kernel.pid_max"), BENCHMARK_FAILURE);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("-s 4 and -c 2 need 92 threads in this process, more than the 91 that "
                     "kernel.pid_max allows; use fewer threads (-s) or communicators (-c)"),
            std::string::npos)
      << err;
}

}  // namespace
}  // namespace oxcl_benchmark
