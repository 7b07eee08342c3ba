// The wait of the simulated library's ranks: whichever phase it is in (spin, yield, sleep) when
// the awaited change comes, it must see the change, and a stop must end it.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "waitword.h"

namespace oxcl_sim {
namespace {

using std::chrono::microseconds;

class WaitWordPhases : public testing::TestWithParam<int> {};

// Delays from inside the spin to well past the yielding phase, so that the notifier finds the
// waiter spinning, yielding or asleep; each hand-off must complete, and none may be lost.
TEST_P(WaitWordPhases, EveryHandOffArrives) {
  const microseconds yield{GetParam()};
  WaitWord word;
  std::atomic<int> posted{0};
  constexpr int kRounds = 60;
  std::thread notifier([&] {
    for (int k = 1; k <= kRounds; ++k) {
      std::this_thread::sleep_for(microseconds((k * 37) % 400));
      posted.store(k, std::memory_order_release);
      word.NotifyAll();
    }
  });
  for (int k = 1; k <= kRounds; ++k) {
    const bool done = word.Await([&] { return posted.load(std::memory_order_acquire) >= k; },
                                 [] { return false; }, yield);
    EXPECT_TRUE(done) << "round " << k;
  }
  notifier.join();
}

TEST_P(WaitWordPhases, StopEndsTheWaitAndDoneWinsOverStop) {
  const microseconds yield{GetParam()};
  WaitWord word;
  std::atomic<bool> stop{false};
  std::thread stopper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    stop.store(true);
    word.NotifyAll();
  });
  EXPECT_FALSE(word.Await([] { return false; }, [&] { return stop.load(); }, yield));
  stopper.join();
  EXPECT_TRUE(word.Await([] { return true; }, [] { return true; }, yield));
}

// No yielding phase (more ranks than cores), the library's own, and one far longer.
INSTANTIATE_TEST_SUITE_P(Yield, WaitWordPhases,
                         testing::Values(0, static_cast<int>(WaitWord::kYield.count() / 1000),
                                         2000));

}  // namespace
}  // namespace oxcl_sim
