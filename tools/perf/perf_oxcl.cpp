// Prints the host's single-thread memcpy bandwidth and the bus bandwidth of the simulator's
// float sum all-reduce for 2 and 4 ranks of this process on queues, one thread per rank, so
// the two can be compared on the same machine in the same run.
//   perf_oxcl [min seconds per point, default 0.3]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "oxcl.h"
#include "oxrt.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

#define CHECK(call)                                                          \
  do {                                                                       \
    if ((call) != 0) {                                                       \
      std::fprintf(stderr, "perf_oxcl: %s failed at line %d\n", #call, __LINE__); \
      std::exit(1);                                                          \
    }                                                                        \
  } while (0)

// Bytes per second of one thread copying a buffer well beyond the caches; best of the runs.
double MemcpyBandwidth(size_t bytes, double min_seconds) {
  std::vector<char> src(bytes, 1), dst(bytes, 0);
  double best = 0;
  const Clock::time_point begin = Clock::now();
  for (int run = 0; run < 3 || Seconds(begin, Clock::now()) < min_seconds; ++run) {
    const Clock::time_point t0 = Clock::now();
    std::memcpy(dst.data(), src.data(), bytes);
    const double s = Seconds(t0, Clock::now());
    if (s > 0 && bytes / s > best) best = bytes / s;
    src[run % bytes] = static_cast<char>(run);  // keep the copy from being elided
  }
  if (dst[0] == 42) std::puts("");
  return best;
}

struct Ranks {
  std::vector<oxclComm*> comms;
  std::vector<oxrtQueue_t> queues;
  std::vector<void*> send, recv;
};

Ranks MakeRanks(int n, size_t bytes) {
  unsigned int cards = 0;
  CHECK(oxrtGetDeviceCount(&cards));
  Ranks ranks;
  ranks.comms.resize(n);
  ranks.queues.resize(n);
  ranks.send.resize(n);
  ranks.recv.resize(n);
  std::vector<int> devs(n), ids(n);
  for (int r = 0; r < n; ++r) {
    devs[r] = r % static_cast<int>(cards);
    ids[r] = r;
    CHECK(oxrtSetDevice(devs[r]));
    CHECK(oxrtQueueCreate(&ranks.queues[r]));
    CHECK(oxrtMalloc(&ranks.send[r], bytes));
    CHECK(oxrtMalloc(&ranks.recv[r], bytes));
    CHECK(oxrtMemset(ranks.send[r], 0, bytes));
    CHECK(oxrtMemset(ranks.recv[r], 0, bytes));
  }
  oxclCliqueId id;
  CHECK(oxclGetCliqueId(&id));
  CHECK(oxclInitComms(ranks.comms.data(), n, devs.data(), ids.data(), n, id));
  return ranks;
}

void FreeRanks(Ranks& ranks) {
  CHECK(oxclDestroyComms(ranks.comms.data(), static_cast<int>(ranks.comms.size())));
  for (size_t r = 0; r < ranks.comms.size(); ++r) {
    CHECK(oxrtQueueDestroy(ranks.queues[r]));
    CHECK(oxrtFree(ranks.send[r]));
    CHECK(oxrtFree(ranks.recv[r]));
  }
}

// Seconds per all-reduce of `count` floats: each rank's thread places `iters` calls on its
// queue and waits for them.
double AllReduceSeconds(Ranks& ranks, uint64_t count, int iters) {
  const int n = static_cast<int>(ranks.comms.size());
  std::vector<std::thread> threads;
  const Clock::time_point t0 = Clock::now();
  for (int r = 0; r < n; ++r)
    threads.emplace_back([&, r] {
      for (int i = 0; i < iters; ++i)
        CHECK(oxclAllReduce(ranks.send[r], ranks.recv[r], count, oxclFloat32, oxclSum,
                            ranks.comms[r], ranks.queues[r]));
      CHECK(oxrtQueueSync(ranks.queues[r]));
    });
  for (std::thread& t : threads) t.join();
  return Seconds(t0, Clock::now()) / iters;
}

}  // namespace

int main(int argc, char** argv) {
  const double min_seconds = argc > 1 ? std::atof(argv[1]) : 0.3;
  const double memcpy_bw = MemcpyBandwidth(size_t{512} << 20, min_seconds);
  std::printf("host memcpy, one thread, 512 MiB: %8.2f GB/s\n", memcpy_bw / 1e9);
  std::printf("%6s %12s %12s %12s %10s\n", "ranks", "count", "bytes", "time(us)", "busbw(GB/s)");
  double ratio_point = 0;
  for (int n : {2, 4}) {
    const uint64_t max_count = uint64_t{32} << 20;
    Ranks ranks = MakeRanks(n, max_count * sizeof(float));
    for (uint64_t count = uint64_t{1} << 20; count <= max_count; count *= 2) {
      const double bytes = static_cast<double>(count) * sizeof(float);
      AllReduceSeconds(ranks, count, 2);  // warm-up: page faults, queue threads
      // Enough calls for min_seconds, from a first estimate.
      const double estimate = AllReduceSeconds(ranks, count, 2);
      int iters = static_cast<int>(min_seconds / (estimate > 0 ? estimate : 1e-3));
      iters = iters < 3 ? 3 : (iters > 2000 ? 2000 : iters);
      const double t = AllReduceSeconds(ranks, count, iters);
      const double busbw = 2.0 * (n - 1) / n * bytes / t;
      std::printf("%6d %12llu %12.0f %12.1f %10.2f\n", n, static_cast<unsigned long long>(count),
                  bytes, t * 1e6, busbw / 1e9);
      if (n == 2 && count == max_count) ratio_point = busbw;
    }
    FreeRanks(ranks);
  }
  std::printf("all-reduce bus bandwidth / memcpy bandwidth at 32M floats, 2 ranks: %.2f "
              "(target >= 0.5)\n", ratio_point / memcpy_bw);
  return 0;
}
