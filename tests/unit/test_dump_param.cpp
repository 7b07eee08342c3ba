// The memory usage report: the file it leaves behind, its sums, and its samples of the
// simulator's card memory. The recorder exists once per process and writes its data line only
// when the process ends, so each case runs in a child process of its own and ends it through
// exit() or the fatal exit path, as the programs do.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

#include "common.h"
#include "context.h"
#include "dl_wrapper.h"
#include "dump_param.h"
#include "log.h"
#include "oxrt.h"

namespace oxcl_benchmark {
namespace {

constexpr uint64_t kMiB = 1048576;
constexpr int kNoStandIn = 101;
// The stand-in collective library that the test puts first on the search path reports this
// much link memory.
constexpr uint64_t kWire = 123456789;
constexpr const char* kHeader =
    "API,Count,Oxcl Mem usage(Bytes),Oxwire Mem usage(Bytes),Total Mem usage(Bytes)\n";

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

bool Exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

std::string DataLine(const std::string& api, uint32_t count, uint64_t wire, uint64_t total) {
  return "oxcl" + api + "," + std::to_string(count) + "," + std::to_string(total - wire) + "," +
         std::to_string(wire) + "," + std::to_string(total) + "\n";
}

struct ChildRun {
  int status = -1;         // exit status; -1 when the child did not exit normally
  bool has_report = false;
  std::string report;      // the report file's text
  std::string log;         // what the child logged (Debug level on)
};

// One step sequence in the child. A non-zero result names the step that went wrong and becomes
// the exit status; otherwise the child leaves through exit(0).
using Steps = std::function<int(DumpPrimsParam* dump, Context* ctx, const std::string& path)>;

ChildRun RunInChild(const Steps& steps) {
  static int serial = 0;
  const std::string dir = ::testing::TempDir() + "dump_param_" +
                          std::to_string(static_cast<long>(getpid())) + "_" +
                          std::to_string(++serial);
  mkdir(dir.c_str(), 0755);
  const std::string path = dir + "/report.csv";
  const std::string log_path = dir + "/log.txt";
  std::remove(path.c_str());
  std::fflush(nullptr);  // the child must not write the parent's pending output again
  const pid_t pid = fork();
  if (pid == 0) {
    std::ostringstream log;
    SetLogScreenForTest(&log);
    SetLogLevel("DEBUG");
    int code = init_wrap() == BENCHMARK_SUCCESS ? 0 : 100;
    if (code == 0 && dlsym(RTLD_DEFAULT, "oxtest_fake_variant") == nullptr) code = kNoStandIn;
    if (code == 0) {
      Context ctx;
      code = steps(DumpPrimsParam::GetSingleton(), &ctx, path);
    }
    std::ofstream(log_path) << log.str();
    SetLogScreenForTest(nullptr);
    std::exit(code);
  }
  ChildRun run;
  int status = 0;
  if (pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status)) {
    run.status = WEXITSTATUS(status);
  }
  if (run.status == kNoStandIn) {
    ADD_FAILURE() << "the stand-in collective library is not first on LD_LIBRARY_PATH (run the "
                     "test through ctest)";
  }
  run.has_report = Exists(path);
  run.report = ReadFile(path);
  run.log = ReadFile(log_path);
  std::remove(path.c_str());
  std::remove(log_path.c_str());
  rmdir(dir.c_str());
  return run;
}

bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// Card memory that a step holds on purpose; freed when the child ends.
void* Hold(uint64_t bytes) {
  void* p = nullptr;
  return oxrtMalloc(&p, bytes) == oxrtSuccess ? p : nullptr;
}

TEST(MemoryReport, HeaderAtOnceAndOneDataLineWithTheSumsAtExit) {
  const uint64_t setup = 128 * kMiB;  // more than the link memory, so no column wraps
  const uint64_t run_phase = 5 * kMiB;
  const ChildRun run = RunInChild([&](DumpPrimsParam* dump, Context* ctx, const std::string& path) {
    if (dump->GetInitMem(kInitCommPhase, ctx) != 0) return 1;
    if (Hold(setup) == nullptr) return 2;
    ctx->call_count = 1;
    if (dump->DumpRunTimeMem("oxclInitComms", kInitCommPhase, ctx) != 0) return 3;
    if (dump->SetPath(path) != 0) return 4;
    // The header is on disk before anything else happens, in case the run never ends well.
    if (ReadFile(path) != kHeader) return 5;
    ctx->call_count = 0;
    if (dump->SetName("AllReduce") != 0) return 6;
    if (dump->GetInitMem(kRunCollPhase, ctx) != 0) return 7;
    if (Hold(run_phase) == nullptr) return 8;
    ctx->call_count = 7;
    if (dump->DumpRunTimeMem("oxclAllReduce", kRunCollPhase, ctx) != 0) return 9;
    return 0;
  });
  ASSERT_EQ(run.status, 0) << run.log;
  EXPECT_EQ(run.report, kHeader + DataLine("AllReduce", 8, kWire, setup + run_phase));
  EXPECT_TRUE(Has(run.log, "[Debug]: User defined path for opu memory usage: ")) << run.log;
  EXPECT_FALSE(Has(run.log, "Maybe the machine is not exclusive")) << run.log;
}

TEST(MemoryReport, RepeatedLabelKeepsItsLargestGrowthAndLatestCount) {
  const ChildRun run = RunInChild([](DumpPrimsParam* dump, Context* ctx, const std::string& path) {
    if (dump->SetPath(path) != 0 || dump->SetName("AlltoAllv") != 0) return 1;
    if (dump->GetInitMem(kRunCollPhase, ctx) != 0) return 2;
    void* first = Hold(3 * kMiB);
    ctx->call_count = 5;
    if (first == nullptr || dump->DumpRunTimeMem("oxclAlltoAllv", kRunCollPhase, ctx) != 0) {
      return 3;
    }
    // Smaller the second time: the first figure stays.
    if (oxrtFree(first) != oxrtSuccess || Hold(kMiB) == nullptr) return 4;
    ctx->call_count = 9;
    if (dump->DumpRunTimeMem("oxclAlltoAllv", kRunCollPhase, ctx) != 0) return 5;
    return 0;
  });
  ASSERT_EQ(run.status, 0) << run.log;
  // No set-up sample, so no link memory either.
  EXPECT_EQ(run.report, kHeader + DataLine("AlltoAllv", 9, 0, 3 * kMiB));

  const ChildRun larger = RunInChild([](DumpPrimsParam* dump, Context* ctx,
                                        const std::string& path) {
    if (dump->SetPath(path) != 0 || dump->GetInitMem(kRunCollPhase, ctx) != 0) return 1;
    ctx->call_count = 2;
    if (dump->DumpRunTimeMem("oxclAllGather", kRunCollPhase, ctx) != 0) return 2;
    if (Hold(2 * kMiB) == nullptr) return 3;
    ctx->call_count = 4;
    if (dump->DumpRunTimeMem("oxclAllGather", kRunCollPhase, ctx) != 0) return 4;
    return static_cast<int>(dump->SetName("AllGather"));
  });
  ASSERT_EQ(larger.status, 0) << larger.log;
  EXPECT_EQ(larger.report, kHeader + DataLine("AllGather", 4, 0, 2 * kMiB));
}

TEST(MemoryReport, MemoryThatWentDownIsLoggedAndKeptAsANegativeDifference) {
  const uint64_t freed = 6 * kMiB;
  const ChildRun run = RunInChild([&](DumpPrimsParam* dump, Context* ctx, const std::string& path) {
    if (dump->SetPath(path) != 0 || dump->SetName("AllGather") != 0) return 1;
    if (dump->GetInitMem(kInitCommPhase, ctx) != 0) return 2;
    ctx->call_count = 1;
    if (dump->DumpRunTimeMem("oxclInitComms", kInitCommPhase, ctx) != 0) return 3;
    void* block = Hold(freed);
    if (block == nullptr || dump->GetInitMem(kRunCollPhase, ctx) != 0) return 4;
    if (oxrtFree(block) != oxrtSuccess) return 5;
    ctx->call_count = 2;
    if (dump->DumpRunTimeMem("oxclAllGather", kRunCollPhase, ctx) != 0) return 6;
    return 0;
  });
  ASSERT_EQ(run.status, 0) << run.log;
  // Never a 64-bit wrap: the figures go below zero as the memory did.
  const int64_t down = -static_cast<int64_t>(freed);
  EXPECT_EQ(run.report, std::string(kHeader) + "oxclAllGather,3," +
                            std::to_string(down - int64_t{kWire}) + "," + std::to_string(kWire) +
                            "," + std::to_string(down) + "\n");
  EXPECT_TRUE(Has(run.log, "[Debug]: Maybe the machine is not exclusive")) << run.log;
}

TEST(MemoryReport, FatalExitStillWritesWhatWasRecorded) {
  const uint64_t setup = 128 * kMiB;
  const ChildRun run = RunInChild([&](DumpPrimsParam* dump, Context* ctx, const std::string& path) {
    if (dump->GetInitMem(kInitCommPhase, ctx) != 0 || Hold(setup) == nullptr) return 2;
    ctx->call_count = 1;
    if (dump->DumpRunTimeMem("oxclInitComms", kInitCommPhase, ctx) != 0) return 3;
    if (dump->SetPath(path) != 0 || dump->SetName("AllReduce") != 0) return 4;
    ctx->call_count = 0;
    if (dump->GetInitMem(kRunCollPhase, ctx) != 0) return 5;
    ctx->call_count = 3;  // launches made before the failure are not sampled
    FatalExit(1);
  });
  EXPECT_EQ(run.status, 1) << run.log;
  EXPECT_EQ(run.report, kHeader + DataLine("AllReduce", 1, kWire, setup));
}

TEST(MemoryReport, PathThatCannotBeOpenedFailsAndNothingIsWritten) {
  const ChildRun run = RunInChild([](DumpPrimsParam* dump, Context* ctx, const std::string&) {
    if (dump->SetPath("/nonexistent-dir/report.csv") != 1) return 1;
    if (dump->SetPath("") != 1) return 2;  // no file open yet to fall back on
    // Samples still work; there is just no file to write them to.
    if (dump->GetInitMem(kInitCommPhase, ctx) != 0) return 3;
    if (dump->DumpRunTimeMem("oxclInitComms", kInitCommPhase, ctx) != 0) return 4;
    return 0;
  });
  EXPECT_EQ(run.status, 0) << run.log;
  EXPECT_FALSE(run.has_report);
  EXPECT_TRUE(Has(run.log,
                  "[Debug]: Failed to open file for opu memory usage: /nonexistent-dir/report.csv"))
      << run.log;
}

TEST(MemoryReport, LinkQueryFailureIsPassedBackAndRecordsNothing) {
  const ChildRun run = RunInChild([](DumpPrimsParam* dump, Context* ctx, const std::string& path) {
    if (dump->SetPath(path) != 0 || dump->GetInitMem(kInitCommPhase, ctx) != 0) return 1;
    if (Hold(kMiB) == nullptr) return 2;
    setenv("OXTEST_FAKE_STATUS", "2", 1);  // the stand-in library fails its queries
    ctx->call_count = 1;
    if (dump->DumpRunTimeMem("oxclInitComms", kInitCommPhase, ctx) != 1) return 3;
    unsetenv("OXTEST_FAKE_STATUS");
    if (!ctx->exit_requested.load()) return 4;
    return 0;
  });
  EXPECT_EQ(run.status, 0) << run.log;
  EXPECT_EQ(run.report, kHeader + DataLine("", 0, 0, 0));
  EXPECT_TRUE(Has(run.log, "[Error]: error msg: ")) << run.log;
}

}  // namespace
}  // namespace oxcl_benchmark
