// The watchdog's settings, the text of its Error line, the step count of the progress lines,
// and the monitor itself: quiet while marks move, ending the process when they stand still.
#include "watchdog.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "context.h"
#include "threadinfo.h"

namespace oxcl_benchmark {
namespace {

TEST(WatchSettings, TimeoutValues) {
  const struct {
    const char* text;
    double seconds;
  } good[] = {{nullptr, 0}, {"", 0}, {"0", 0}, {"0.0", 0}, {"3", 3}, {"2.5", 2.5},
              {".5", 0.5}, {"007", 7}, {"31536000", 31536000}};
  for (const auto& g : good) {
    double s = -1;
    std::string why;
    EXPECT_TRUE(ParseTimeout(g.text, &s, &why)) << (g.text ? g.text : "(unset)") << ": " << why;
    EXPECT_EQ(s, g.seconds) << (g.text ? g.text : "(unset)");
  }
  for (const char* bad : {"abc", "-1", "+3", "3s", " 3", "3 ", "1e3", "inf", "nan", ".", "1.2.3",
                          "0x10", "31536001", "99999999999999999999999999999999999999"}) {
    double s = -1;
    std::string why;
    EXPECT_FALSE(ParseTimeout(bad, &s, &why)) << bad;
    EXPECT_NE(why.find("BENCHMARK_TIMEOUT_S="), std::string::npos) << why;
    EXPECT_EQ(s, -1) << "a rejected value leaves the output alone: " << bad;
  }
}

TEST(WatchSettings, ProgressValues) {
  bool on = true;
  std::string why;
  EXPECT_TRUE(ParseProgress(nullptr, &on, &why));
  EXPECT_FALSE(on);
  EXPECT_TRUE(ParseProgress("1", &on, &why));
  EXPECT_TRUE(on);
  EXPECT_TRUE(ParseProgress("0", &on, &why));
  EXPECT_FALSE(on);
  for (const char* bad : {"yes", "2", "on", "1 "}) {
    EXPECT_FALSE(ParseProgress(bad, &on, &why)) << bad;
    EXPECT_NE(why.find("BENCHMARK_PROGRESS="), std::string::npos) << why;
  }
}

TEST(WatchText, RankListFoldsRuns) {
  EXPECT_EQ(RankList({}), "");
  EXPECT_EQ(RankList({4}), "4");
  EXPECT_EQ(RankList({0, 1, 2, 3, 6, 8, 9}), "0-3, 6, 8-9");
}

StallView TwoWorkers() {
  StallView v;
  v.timeout_s = 3;
  v.call = "oxclAllReduce";
  v.type_names = {"float", "int8"};
  v.op_names = {"sum", "max"};
  v.modes = {true, false};
  v.ranks_known = true;
  v.comms = 2;
  v.first_rank = 4;
  v.proc_rank = 1;
  v.nprocs = 2;
  v.aborting = true;
  v.workers.resize(2);
  for (StallView::Worker& w : v.workers) {
    w.stage = WatchStage::kTimed;
    w.count = 1048576;
    w.type_index = 1;
    w.op_index = 1;
    w.mode_index = 1;
  }
  return v;
}

TEST(WatchText, NamesPhaseStepAndTheRanksStillAtWork) {
  StallView v = TwoWorkers();
  // Worker 0 is done and waits for worker 1, which is stuck in its calls.
  v.workers[0].wait = WatchWait::kThreadBarrier;
  EXPECT_EQ(DescribeStall(v),
            "BENCHMARK_TIMEOUT_S=3: no progress for 3 s in the timed loop of oxclAllReduce at "
            "1048576 int8 max out-of-place; ranks not finished: 6-7 (process 1 of 2 holds ranks "
            "4-7); aborting every communicator and ending the run");
  v.workers[1].wait = WatchWait::kQueueSync;
  v.workers[1].stage = WatchStage::kDataCheck;
  EXPECT_NE(DescribeStall(v).find("in the data check (a queue sync) of oxclAllReduce"),
            std::string::npos)
      << DescribeStall(v);
}

TEST(WatchText, EveryRankWaitingForOtherProcesses) {
  StallView v = TwoWorkers();
  v.workers[0].wait = WatchWait::kProcessBarrier;
  v.workers[1].wait = WatchWait::kThreadBarrier;
  const std::string text = DescribeStall(v);
  EXPECT_NE(text.find("in the timed loop (a barrier between processes)"), std::string::npos)
      << text;
  EXPECT_NE(text.find("ranks not finished: none of process 1 of 2, whose ranks 4-7 wait in a "
                      "barrier between processes"),
            std::string::npos)
      << text;
}

TEST(WatchText, SetUpAndCollectivesWithoutOperation) {
  StallView v = TwoWorkers();
  v.set_up = true;
  v.ranks_known = false;
  v.aborting = false;
  EXPECT_EQ(DescribeStall(v),
            "BENCHMARK_TIMEOUT_S=3: no progress for 3 s in communicator set-up of oxclAllReduce "
            "before the first step; ranks not finished: all of this process; ending the run");
  v.main_stage = WatchStage::kStartUp;
  EXPECT_NE(DescribeStall(v).find("in start-up (device and MPI initialisation) of oxclAllReduce "
                                  "before the first step"),
            std::string::npos)
      << DescribeStall(v);
  v.main_stage = WatchStage::kTearDown;
  EXPECT_NE(DescribeStall(v).find("in tear-down (communicators destroyed, MPI finalised) of "
                                  "oxclAllReduce after the last step; ranks not finished: all"),
            std::string::npos)
      << DescribeStall(v);
  v = TwoWorkers();
  v.call = "oxclAllGather";
  v.has_op = false;
  v.timeout_s = 0.5;
  v.workers[0].stage = WatchStage::kWarmUp;
  v.workers[0].mode_index = 0;
  EXPECT_NE(DescribeStall(v).find("BENCHMARK_TIMEOUT_S=0.5: no progress for 0.5 s in the "
                                  "warm-up of oxclAllGather at 1048576 int8 in-place;"),
            std::string::npos)
      << DescribeStall(v);
  EXPECT_EQ(CallName("Group/Send/Recv"), "grouped oxclSend/oxclRecv");
  EXPECT_EQ(CallName("ReduceScatter"), "oxclReduceScatter");
}

TEST(WatchSteps, CountIsTheWorkersWalkTimesTypesAndOperations) {
  Context ctx;
  ctx.mincount = 1024;
  ctx.maxcount = 8192;
  ctx.multifactor = 2;
  ctx.special_count = {3000, 8192, 9000};
  ctx.mode = {true, false};
  ctx.data_type = {oxclFloat32, oxclInt8, oxclFloat16};
  ctx.reduce_op = {oxclSum, oxclMax};
  uint64_t walked = 0;
  ThreadInfo info;
  while (info.GetTypeAndOp(&ctx)) {
    info.ResetCountAndMode();
    while (info.GetTransferSizeAndMode(&ctx)) ++walked;
  }
  EXPECT_EQ(CountSteps(&ctx), walked);
  // 1K 2K 3000 4K 8K (regular and special at once) 9000, in two modes, for 6 pairs.
  EXPECT_EQ(walked, 6u * 2 * 6);
}

// The monitor, in a child process each: it ends a run that stands still, never one that moves.
class Monitor : public ::testing::Test {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

[[noreturn]] void StartAndStandStill(const char* timeout) {
  setenv("BENCHMARK_TIMEOUT_S", timeout, 1);
  Context ctx;
  ctx.threads = 2;
  if (ReadWatchSettings() != BENCHMARK_SUCCESS) std::exit(7);
  if (StartWatchdog(ctx, "AllReduce") != BENCHMARK_SUCCESS) std::exit(8);
  WatchCommunicators(ctx);  // no communicators: nothing to abort
  std::this_thread::sleep_for(std::chrono::seconds(60));
  std::exit(9);
}

TEST_F(Monitor, EndsARunWhoseMarksStandStill) {
  EXPECT_EXIT(StartAndStandStill("0.2"), ::testing::ExitedWithCode(1),
              "BENCHMARK_TIMEOUT_S=0.2: no progress for 0.2 s in buffer set-up of oxclAllReduce "
              "before the first step; ranks not finished: 0-1 .process 0 of 1 holds ranks 0-1.; "
              "ending the run");
}

void BeatThenStop() {
  setenv("BENCHMARK_TIMEOUT_S", "1", 1);
  Context ctx;
  ctx.threads = 1;
  if (ReadWatchSettings() != BENCHMARK_SUCCESS || StartWatchdog(ctx, "AllReduce") != 0) {
    std::exit(8);
  }
  WatchCommunicators(ctx);
  // Three timeouts long, but never a tenth of one without a mark.
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  while (std::chrono::steady_clock::now() < until) {
    WatchBeat(0);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  StopWatchdog();
  StopWatchdog();  // a second stop is harmless
  // Standing still after the stop ends nothing.
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  std::exit(0);
}

TEST_F(Monitor, LeavesAMovingRunAloneAndStopsForGood) {
  EXPECT_EXIT(BeatThenStop(), ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace oxcl_benchmark
