// Queues and notifiers of the simulated runtime.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "oxrt.h"
#include "rt_internal.h"

namespace {

using std::chrono::milliseconds;

// A queue destroyed at the end of the scope.
struct Queue {
  oxrtQueue_t q = nullptr;
  Queue() { EXPECT_EQ(oxrtQueueCreate(&q), oxrtSuccess); }
  ~Queue() {
    if (q) {
      EXPECT_EQ(oxrtQueueDestroy(q), oxrtSuccess);
    }
  }
};

TEST(Queue, RunsWorkInOrderOnItsOwnThread) {
  Queue queue;
  std::vector<int> order;  // written by the queue thread only
  std::atomic<bool> off_caller{true};
  const auto caller = std::this_thread::get_id();
  for (int i = 0; i < 500; ++i) {
    ASSERT_EQ(oxsim::QueueSubmit(queue.q, [&, i] {
                order.push_back(i);
                if (std::this_thread::get_id() == caller || !oxsim::OnQueueThread())
                  off_caller = false;
                return 0;
              }),
              oxrtSuccess);
  }
  ASSERT_EQ(oxrtQueueSync(queue.q), oxrtSuccess);
  ASSERT_EQ(order.size(), 500u);
  for (int i = 0; i < 500; ++i) ASSERT_EQ(order[i], i);
  EXPECT_TRUE(off_caller.load());
  EXPECT_FALSE(oxsim::OnQueueThread());
}

TEST(Queue, SyncReturnsTheFirstErrorOnceAndKeepsRunning) {
  Queue queue;
  std::atomic<int> ran{0};
  oxsim::QueueSubmit(queue.q, [&] { ++ran; return 0; });
  oxsim::QueueSubmit(queue.q, [&] { ++ran; return 9; });
  oxsim::QueueSubmit(queue.q, [&] { ++ran; return 4; });
  oxsim::QueueSubmit(queue.q, [&] { ++ran; return 0; });
  EXPECT_EQ(oxrtQueueSync(queue.q), static_cast<oxrtError_t>(9));
  EXPECT_EQ(ran.load(), 4) << "work after a failure still runs";
  EXPECT_EQ(oxrtQueueSync(queue.q), oxrtSuccess) << "the error is cleared once reported";
  oxsim::QueueSubmit(queue.q, [] { throw 1; return 0; });
  EXPECT_EQ(oxrtQueueSync(queue.q), oxrtErrorUnknown) << "a throwing work item is an error";
}

TEST(Queue, SyncWaitsForSlowWork) {
  Queue queue;
  std::atomic<bool> done{false};
  oxsim::QueueSubmit(queue.q, [&] {
    std::this_thread::sleep_for(milliseconds(30));
    done = true;
    return 0;
  });
  EXPECT_EQ(oxrtQueueSync(queue.q), oxrtSuccess);
  EXPECT_TRUE(done.load());
}

TEST(Queue, WorkRunsOnTheCardTheQueueWasCreatedOn) {
  ASSERT_EQ(oxrtSetDevice(3), oxrtSuccess);
  Queue queue;
  ASSERT_EQ(oxrtSetDevice(0), oxrtSuccess);
  int seen = -1;
  oxsim::QueueSubmit(queue.q, [&] { seen = oxsim::CurrentDevice(); return 0; });
  ASSERT_EQ(oxrtQueueSync(queue.q), oxrtSuccess);
  EXPECT_EQ(seen, 3);
}

TEST(Queue, NullQueueRunsOnTheCaller) {
  const auto caller = std::this_thread::get_id();
  std::thread::id ran_on;
  EXPECT_EQ(oxsim::QueueSubmit(nullptr, [&] { ran_on = std::this_thread::get_id(); return 7; }),
            static_cast<oxrtError_t>(7));
  EXPECT_EQ(ran_on, caller);
  EXPECT_EQ(oxrtQueueSync(nullptr), oxrtSuccess);
}

TEST(Queue, DestroyDrainsAndStaleHandlesAreErrors) {
  oxrtQueue_t q = nullptr;
  ASSERT_EQ(oxrtQueueCreate(&q), oxrtSuccess);
  std::atomic<int> ran{0};
  for (int i = 0; i < 20; ++i)
    oxsim::QueueSubmit(q, [&] { std::this_thread::sleep_for(milliseconds(1)); ++ran; return 0; });
  ASSERT_EQ(oxrtQueueDestroy(q), oxrtSuccess);
  EXPECT_EQ(ran.load(), 20);
  EXPECT_EQ(oxsim::QueueSubmit(q, [] { return 0; }), oxrtErrorInvalidResourceHandle);
  EXPECT_EQ(oxrtQueueSync(q), oxrtErrorInvalidResourceHandle);
  EXPECT_EQ(oxrtQueueDestroy(q), oxrtErrorInvalidResourceHandle);
  EXPECT_EQ(oxrtQueueDestroy(nullptr), oxrtErrorInvalidResourceHandle);
  EXPECT_EQ(oxrtQueueCreate(nullptr), oxrtErrorInvalidValue);
}

TEST(Queue, WorkCannotWaitForItsOwnQueue) {
  Queue queue;
  oxrtError_t inner = oxrtSuccess;
  oxsim::QueueSubmit(queue.q, [&] { inner = oxrtQueueSync(queue.q); return 0; });
  testing::internal::CaptureStderr();
  EXPECT_EQ(oxrtQueueSync(queue.q), oxrtSuccess);
  testing::internal::GetCapturedStderr();
  EXPECT_NE(inner, oxrtSuccess) << "must fail instead of deadlocking";
}

TEST(Queue, ManyThreadsSubmittingAndSyncing) {
  // Several host threads share one queue; every item runs exactly once.
  Queue queue;
  std::atomic<int> ran{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 200; ++i) {
        oxsim::QueueSubmit(queue.q, [&] { ++ran; return 0; });
        if (i % 50 == 0) {
          EXPECT_EQ(oxrtQueueSync(queue.q), oxrtSuccess);
        }
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(oxrtQueueSync(queue.q), oxrtSuccess);
  EXPECT_EQ(ran.load(), 800);
}

// A notifier destroyed at the end of the scope.
struct Notifier {
  oxrtNotifier_t n = nullptr;
  Notifier() { EXPECT_EQ(oxrtNotifierCreate(&n), oxrtSuccess); }
  ~Notifier() { EXPECT_EQ(oxrtNotifierDestroy(n), oxrtSuccess); }
};

TEST(Notifier, DurationIsTheQueueTimeBetweenTheMarkersInMicroseconds) {
  Queue queue;
  Notifier start, end;
  ASSERT_EQ(oxrtPlaceNotifier(start.n, queue.q), oxrtSuccess);
  oxsim::QueueSubmit(queue.q, [] { std::this_thread::sleep_for(milliseconds(20)); return 0; });
  ASSERT_EQ(oxrtPlaceNotifier(end.n, queue.q), oxrtSuccess);
  ASSERT_EQ(oxrtWaitNotifier(end.n), oxrtSuccess);
  float us = 0;
  ASSERT_EQ(oxrtNotifierDuration(start.n, end.n, &us), oxrtSuccess);
  EXPECT_GE(us, 20000.0f);
  EXPECT_LT(us, 200000.0f);
}

TEST(Notifier, NullQueueRecordsNow) {
  Notifier start, end;
  ASSERT_EQ(oxrtPlaceNotifier(start.n, nullptr), oxrtSuccess);
  std::this_thread::sleep_for(milliseconds(5));
  ASSERT_EQ(oxrtPlaceNotifier(end.n, nullptr), oxrtSuccess);
  EXPECT_EQ(oxrtWaitNotifier(end.n), oxrtSuccess);
  float us = 0;
  ASSERT_EQ(oxrtNotifierDuration(start.n, end.n, &us), oxrtSuccess);
  EXPECT_GE(us, 5000.0f);
  EXPECT_LT(us, 100000.0f);
}

TEST(Notifier, NeverPlacedOrPendingIsAnErrorNotAHang) {
  Notifier placed, never;
  testing::internal::CaptureStderr();
  EXPECT_NE(oxrtWaitNotifier(never.n), oxrtSuccess);
  testing::internal::GetCapturedStderr();
  ASSERT_EQ(oxrtPlaceNotifier(placed.n, nullptr), oxrtSuccess);
  float us = 0;
  EXPECT_EQ(oxrtNotifierDuration(placed.n, never.n, &us), oxrtErrorNotReady);

  // Placed behind slow work: not ready until the queue reaches it.
  Queue queue;
  oxsim::QueueSubmit(queue.q, [] { std::this_thread::sleep_for(milliseconds(50)); return 0; });
  ASSERT_EQ(oxrtPlaceNotifier(never.n, queue.q), oxrtSuccess);
  EXPECT_EQ(oxrtNotifierDuration(placed.n, never.n, &us), oxrtErrorNotReady);
  EXPECT_EQ(oxrtWaitNotifier(never.n), oxrtSuccess);
  EXPECT_EQ(oxrtNotifierDuration(placed.n, never.n, &us), oxrtSuccess);
  EXPECT_EQ(oxrtNotifierDuration(placed.n, never.n, nullptr), oxrtErrorInvalidValue);
}

TEST(Notifier, InvalidHandlesAreErrors) {
  Notifier n;
  oxrtNotifier_t gone = nullptr;
  ASSERT_EQ(oxrtNotifierCreate(&gone), oxrtSuccess);
  ASSERT_EQ(oxrtNotifierDestroy(gone), oxrtSuccess);
  float us = 0;
  EXPECT_EQ(oxrtWaitNotifier(gone), oxrtErrorInvalidResourceHandle);
  EXPECT_EQ(oxrtWaitNotifier(nullptr), oxrtErrorInvalidResourceHandle);
  EXPECT_EQ(oxrtPlaceNotifier(nullptr, nullptr), oxrtErrorInvalidResourceHandle);
  EXPECT_EQ(oxrtNotifierDuration(n.n, nullptr, &us), oxrtErrorInvalidResourceHandle);
  EXPECT_EQ(oxrtNotifierDestroy(gone), oxrtErrorInvalidResourceHandle);
  EXPECT_EQ(oxrtNotifierCreate(nullptr), oxrtErrorInvalidValue);

  // A notifier placed on a queue that is then destroyed: the drain reaches it.
  oxrtQueue_t q = nullptr;
  ASSERT_EQ(oxrtQueueCreate(&q), oxrtSuccess);
  ASSERT_EQ(oxrtPlaceNotifier(n.n, q), oxrtSuccess);
  ASSERT_EQ(oxrtQueueDestroy(q), oxrtSuccess);
  EXPECT_EQ(oxrtWaitNotifier(n.n), oxrtSuccess);
}

}  // namespace
