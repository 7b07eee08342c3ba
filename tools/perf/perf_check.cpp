// Host-side throughput of the data check (-d 1) against this host's all-core memcpy, measured in
// one run so that the two can be compared as a ratio (absolute rates vary from run to run here).
//
// The check is float sum all-reduce of 2 ranks (2 worker threads, one communicator each, the
// context's ten single-thread pools per communicator) at 32M elements, through the programs'
// own InitData and Check. Between the two, every receive buffer is given its expected values
// (InitReduce, untimed), as a healthy collective would leave it, so the check compares every
// element and finds nothing.
// Both modes are measured (in-place, then out-of-place), as one -d 1 step of the programs does.
//
//   fill_check_gbps = receive-buffer bytes checked (count x 4 bytes x 2 ranks x 2 modes)
//                     / (seconds of both fills + seconds of both checks), best of 3 runs;
//   allcore_memcpy_gbps = bytes copied by 2 threads that each memcpy 256 MiB, over the seconds
//                         until both are done, best of 3;
//   ratio = fill_check_gbps / allcore_memcpy_gbps.
//
//   perf_check [--count N] [--runs N]   (defaults: 32M elements, 3 runs of the check)
// The count takes the programs' K/M/G suffixes; a bad value ends with status 2.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "allreduce.h"
#include "context.h"
#include "perf_common.h"
#include "threadinfo.h"
#include "threadpool.h"

namespace {

using oxcl_benchmark::Allreduce;
using oxcl_benchmark::BENCHMARK_SUCCESS;
using oxcl_benchmark::Context;
using oxcl_benchmark::ThreadInfo;
using oxcl_benchmark::ThreadPool;
using Clock = std::chrono::steady_clock;

constexpr uint64_t kRanks = 2;
constexpr int kMemcpyRuns = 3;

double Seconds(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "perf_check: %s\n", what);
  std::exit(1);
}

const char kUsage[] = "usage: perf_check [--count N[K|M|G]] [--runs N]\n";

// A bad command line: what was wrong, the usage, status 2.
[[noreturn]] void BadUsage(const std::string& what) {
  std::fprintf(stderr, "perf_check: %s\n%s", what.c_str(), kUsage);
  std::exit(2);
}

// Runs f(t) on one thread per rank and returns the seconds until all are done.
template <typename F>
double OnEveryRank(F&& f) {
  std::vector<std::thread> workers;
  const Clock::time_point start = Clock::now();
  for (uint64_t t = 0; t < kRanks; ++t) workers.emplace_back([&f, t] { f(t); });
  for (std::thread& w : workers) w.join();
  return Seconds(start, Clock::now());
}

double AllCoreMemcpyGbps() {
  const size_t bytes = size_t{256} << 20;
  std::vector<std::unique_ptr<char[]>> src, dst;
  for (uint64_t t = 0; t < kRanks; ++t) {
    src.emplace_back(new char[bytes]);
    dst.emplace_back(new char[bytes]);
    std::memset(src.back().get(), 1, bytes);  // first touch outside the timing
    std::memset(dst.back().get(), 2, bytes);
  }
  double best = 0;
  for (int run = 0; run < kMemcpyRuns; ++run) {
    const double s =
        OnEveryRank([&](uint64_t t) { std::memcpy(dst[t].get(), src[t].get(), bytes); });
    best = std::max(best, static_cast<double>(bytes * kRanks) / s / 1e9);
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  uint64_t count = uint64_t{32} << 20;
  int runs = 3;
  for (int a = 1; a < argc; ++a) {
    const std::string arg = argv[a];
    if (arg == "-h" || arg == "--help") {
      std::printf("%s", kUsage);
      return 0;
    }
    if ((arg == "--count" || arg == "--runs") && a + 1 >= argc) BadUsage(arg + " needs a value");
    uint64_t value = 0;
    if (arg == "--count") {
      if (!perf::ParseCount(argv[++a], &value) || value == 0 || value > (uint64_t{1} << 32)) {
        BadUsage("bad value for --count: '" + std::string(argv[a]) + "' (1 to 4G elements)");
      }
      count = value;
    } else if (arg == "--runs") {
      if (!perf::ParseCount(argv[++a], &value) || value == 0 || value > 1000) {
        BadUsage("bad value for --runs: '" + std::string(argv[a]) + "' (1 to 1000)");
      }
      runs = static_cast<int>(value);
    } else {
      BadUsage("bad argument '" + arg + "'");
    }
  }
  Context ctx;
  ctx.threads = kRanks;
  ctx.comms = 1;
  ctx.mincount = ctx.maxcount = count;
  ctx.card_name = "OPU-SIM";
  ctx.dev_list = {0, 1};
  ctx.rank_list = {0, 1};
  ctx.comm_list.assign(kRanks, nullptr);
  ctx.error_counts.resize(kRanks);
  for (uint64_t p = 0; p < kRanks * oxcl_benchmark::kPoolsPerComm; ++p) {
    ctx.pools.push_back(std::make_unique<ThreadPool>(1));
  }
  Allreduce algo;
  algo.SetContext(&ctx);
  std::vector<ThreadInfo> infos(kRanks);
  for (uint64_t t = 0; t < kRanks; ++t) {
    ThreadInfo& info = infos[t];
    info.thread_rank = t;
    if (info.InitBuffer(&ctx) != 0) Fail("buffer set-up failed");
    info.count = count;
    info.type_index = info.op_index = 0;
    if (algo.SetParam(&info) != BENCHMARK_SUCCESS) Fail("parameter set-up failed");
  }
  const uint64_t bytes = count * sizeof(float);

  double best_fill = 0, best_check = 0, best_gbps = 0;
  for (int run = 0; run < runs; ++run) {
    double fill = 0, check = 0;
    for (int64_t mode = 0; mode < 2; ++mode) {
      for (ThreadInfo& info : infos) info.mode_index = mode;
      // Failures are gathered and judged after the threads joined: Fail ends the process.
      std::atomic<bool> failed{false};
      fill += OnEveryRank([&](uint64_t t) {
        if (algo.InitData(&infos[t], 0) != BENCHMARK_SUCCESS) failed.store(true);
      });
      if (failed.load()) Fail("the fill failed");
      for (ThreadInfo& info : infos) {
        // The expected values, which the check itself generates, from the reference fold.
        for (uint64_t g = 0; g * oxcl_benchmark::kChunkElements < count; ++g) {
          if (algo.InitReduce<float>(&info, 0, 0, g,
                                     std::min(oxcl_benchmark::kChunkElements,
                                              count - g * oxcl_benchmark::kChunkElements)) !=
              BENCHMARK_SUCCESS) {
            Fail("the expected values could not be computed");
          }
        }
        if (oxrtSetDevice(ctx.dev_list[info.thread_rank]) != oxrtSuccess ||
            oxrtMemcpy(info.recv_buffs[0], info.host_buffs[0], bytes, oxrtMemcpyHostToDevice) !=
                oxrtSuccess) {
          Fail("copy of the expected values failed");
        }
      }
      check += OnEveryRank([&](uint64_t t) {
        if (algo.Check(&infos[t], 0) != BENCHMARK_SUCCESS) failed.store(true);
      });
      if (failed.load()) Fail("the check failed");
      for (uint64_t t = 0; t < kRanks; ++t) {
        if (ctx.error_counts[t].load() != 0) Fail("the check found errors in correct data");
      }
    }
    const double gbps = static_cast<double>(bytes * kRanks * 2) / (fill + check) / 1e9;
    if (gbps > best_gbps) {
      best_gbps = gbps;
      best_fill = fill;
      best_check = check;
    }
  }
  const double memcpy_gbps = AllCoreMemcpyGbps();
  for (ThreadInfo& info : infos) {
    if (info.ReleaseBuffer(&ctx) != BENCHMARK_SUCCESS) Fail("buffer release failed");
  }
  ctx.pools.clear();
  std::printf("# float sum all-reduce, %llu ranks, %llu elements, both modes: fill %.3f s, "
              "check %.3f s (best of %d)\n",
              static_cast<unsigned long long>(kRanks), static_cast<unsigned long long>(count),
              best_fill, best_check, runs);
  std::printf("fill_check_gbps %.3f\n", best_gbps);
  std::printf("allcore_memcpy_gbps %.3f\n", memcpy_gbps);
  std::printf("ratio %.3f\n", best_gbps / memcpy_gbps);
  return 0;
}
