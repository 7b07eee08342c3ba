// Ceilings of this host (single-thread and all-core memcpy) and the bus bandwidth of the
// simulator's four collectives, float sum, for 2 and 4 ranks of this process, measured in one
// run so that they can be compared as ratios (absolute times vary from run to run here).
//
// The tight loop copies the programs' call pattern at their default settings: one thread per
// rank, the null queue (calls run synchronously on the caller), out of place, and the timed
// block is the calls plus their completion. Counts mean what the programs' count means: the
// per-rank element count of all-reduce, and n times the per-rank block for the other three
// (the library gets count / n). Bus bandwidth uses the programs' formulas.
//
// Floor: a single pass over the data moves T bytes (read + written): all-reduce 2nS for n ranks
// of S bytes, reduce-scatter nS + S, all-gather S + nS, all-to-all 2nS. Spread over
// min(n, cores) threads that each copy at the single-thread memcpy rate M (2M bytes of traffic
// per second), it takes t_floor = T / (2 M min(n, cores)); floor bus bw = bus bytes / t_floor.
//
//   perf_oxcl [--min-seconds S] [--counts 1,1M,4M,32M] [--ranks 2,4]
//             [--colls allreduce,reducescatter,allgather,alltoall] [--memcpy-mib MiB]
//             [--iters N [--blocks K]]
// Beside the memcpy ceilings it times a bare all-reduce kernel of 2 ranks (no library), the most
// that an all-reduce can reach on this host at that moment.
// A single bare number is taken as the minimum seconds per point. --help prints the usage. With --iters N a point is
// timed like a program's step with -l N: 5 warm-up calls, then blocks of N calls, repeated for
// the minimum seconds (K blocks at least, default 3), the best block counting; per-call latency
// depends on how many calls follow each other, so the comparison with the programs needs the
// same N. --memcpy-mib 0 skips the memcpy ceilings (the floors are then 0).
// --bare-rows LIST times only the bare kernel, shaped as a program's step of 2 ranks: for each
// count, in place and then out of place, 5 warm-up calls and one block of N calls (--iters,
// default 20), each call ended by a spinning barrier of the two threads. Run after run, its
// rows move only with the host (no library, no sleeps, no system calls): the spread that the
// programs' rows cannot go below.
// Besides the table it prints "RESULT <key> <value>" lines for scripts.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "oxcl.h"
#include "oxrt.h"
#include "perf_common.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

#define CHECK(call)                                                                   \
  do {                                                                                \
    if ((call) != 0) {                                                                \
      std::fprintf(stderr, "perf_oxcl: %s failed at line %d\n", #call, __LINE__);     \
      std::exit(1);                                                                   \
    }                                                                                 \
  } while (0)

using perf::Coll;
using perf::CollName;
using perf::Shape;
using perf::ShapeOf;

struct Options {
  double min_seconds = 0.3;
  std::vector<uint64_t> counts{1, uint64_t{1} << 20, uint64_t{4} << 20, uint64_t{32} << 20};
  std::vector<int> ranks{2, 4};
  std::vector<Coll> colls{Coll::kAllReduce, Coll::kReduceScatter, Coll::kAllGather,
                          Coll::kAllToAll};
  uint64_t memcpy_mib = 256;
  uint64_t iters = 0;  // calls per timed block; 0: as many as min_seconds takes
  uint64_t blocks = 3;  // at least this many blocks per point with --iters
  std::vector<uint64_t> bare_rows;  // --bare-rows: only these rows of the bare kernel
};

bool ParseCount(const std::string& text, uint64_t* count) {
  return perf::ParseCount(text.c_str(), count);
}

std::vector<std::string> Split(const std::string& list) {
  std::vector<std::string> out;
  size_t start = 0;
  while (start <= list.size()) {
    const size_t comma = list.find(',', start);
    const size_t stop = comma == std::string::npos ? list.size() : comma;
    out.push_back(list.substr(start, stop - start));
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  return out;
}

bool ParseSeconds(const char* text, double* seconds) {
  char* end = nullptr;
  errno = 0;
  const double v = std::strtod(text, &end);
  if (end == text || *end != '\0' || errno != 0 || !(v >= 0) || v > 3600) return false;
  *seconds = v;
  return true;
}

void PrintUsage(FILE* to) {
  std::fprintf(to,
               "usage: perf_oxcl [--min-seconds S] [--counts LIST] [--ranks LIST] "
               "[--colls LIST] [--memcpy-mib MiB] [--iters N [--blocks K]] [S]\n"
               "       perf_oxcl --bare-rows LIST [--iters N]\n"
               "  counts take K/M/G suffixes; colls: allreduce,reducescatter,allgather,alltoall\n");
}

// A bad command line: what was wrong, the usage, status 2.
[[noreturn]] void Usage(const char* bad, const char* why = "bad argument") {
  if (bad) std::fprintf(stderr, "perf_oxcl: %s '%s'\n", why, bad);
  PrintUsage(stderr);
  std::exit(2);
}

[[noreturn]] void BadValue(const std::string& option, const char* value) {
  const std::string why = "bad value for " + option + ":";
  Usage(value, why.c_str());
}

Options ParseOptions(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool has_value = i + 1 < argc;
    if (arg == "-h" || arg == "--help") {
      PrintUsage(stdout);
      std::exit(0);
    }
    if (!has_value && arg.compare(0, 2, "--") == 0) Usage(argv[i], "no value after");
    if (arg == "--min-seconds" && has_value) {
      if (!ParseSeconds(argv[++i], &o.min_seconds)) BadValue(arg, argv[i]);
    } else if (arg == "--counts" && has_value) {
      o.counts.clear();
      for (const std::string& s : Split(argv[++i])) {
        uint64_t c = 0;
        if (!ParseCount(s, &c)) BadValue(arg, argv[i]);
        o.counts.push_back(c);
      }
    } else if (arg == "--ranks" && has_value) {
      o.ranks.clear();
      for (const std::string& s : Split(argv[++i])) {
        uint64_t n = 0;
        if (!ParseCount(s, &n) || n < 1 || n > 64) BadValue(arg, argv[i]);
        o.ranks.push_back(static_cast<int>(n));
      }
    } else if (arg == "--colls" && has_value) {
      o.colls.clear();
      for (const std::string& s : Split(argv[++i])) {
        bool found = false;
        for (Coll c : {Coll::kAllReduce, Coll::kReduceScatter, Coll::kAllGather, Coll::kAllToAll})
          if (s == CollName(c)) o.colls.push_back(c), found = true;
        if (!found) BadValue(arg, argv[i]);
      }
    } else if (arg == "--bare-rows" && has_value) {
      o.bare_rows.clear();
      for (const std::string& s : Split(argv[++i])) {
        uint64_t c = 0;
        if (!ParseCount(s, &c) || c < 1 || c > (uint64_t{1} << 28)) BadValue(arg, argv[i]);
        o.bare_rows.push_back(c);
      }
    } else if (arg == "--iters" && has_value) {
      if (!ParseCount(argv[++i], &o.iters) || o.iters > 1000000) BadValue(arg, argv[i]);
    } else if (arg == "--blocks" && has_value) {
      if (!ParseCount(argv[++i], &o.blocks) || o.blocks < 1 || o.blocks > 1000) BadValue(arg, argv[i]);
    } else if (arg == "--memcpy-mib" && has_value) {
      if (!ParseCount(argv[++i], &o.memcpy_mib) || o.memcpy_mib > 65536)
        BadValue(arg, argv[i]);
    } else if (argc == 2 && ParseSeconds(argv[i], &o.min_seconds)) {
      // The older form: the minimum seconds alone.
    } else {
      Usage(argv[i]);
    }
  }
  if (o.counts.empty() || o.ranks.empty() || o.colls.empty()) Usage(nullptr);
  return o;
}

// Starts the threads of one timed block together; a waiting thread sleeps, since there are
// more rank threads than cores here.
class Barrier {
 public:
  explicit Barrier(int n) : n_(n), left_(n) {}
  void Wait() {
    std::unique_lock<std::mutex> lock(mu_);
    const uint64_t gen = gen_;
    if (--left_ == 0) {
      left_ = n_;
      ++gen_;
      cv_.notify_all();
      return;
    }
    cv_.wait(lock, [&] { return gen_ != gen; });
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  const int n_;
  int left_;
  uint64_t gen_ = 0;
};

// Runs work(t, run) on `threads` threads released together, at least 4 times and until
// min_seconds have passed (50 runs at most). A run lasts from the first thread's start to the
// last one's end: threads that do not overlap must not count as running at once. Returns the
// shortest run in seconds, 0 when none was measurable.
template <typename Work>
double ShortestParallelRun(int threads, double min_seconds, Work work) {
  double shortest = 0;
  const Clock::time_point begin = Clock::now();
  for (int run = 0; run < 4 || (Seconds(begin, Clock::now()) < min_seconds && run < 50); ++run) {
    Barrier start(threads + 1);
    std::vector<Clock::time_point> began(threads), ended(threads);
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t)
      pool.emplace_back([&, t] {
        start.Wait();
        began[t] = Clock::now();
        work(t, run);
        ended[t] = Clock::now();
      });
    start.Wait();
    for (std::thread& th : pool) th.join();
    const double span = Seconds(*std::min_element(began.begin(), began.end()),
                                *std::max_element(ended.begin(), ended.end()));
    if (span > 0 && (shortest == 0 || span < shortest)) shortest = span;
  }
  return shortest;
}

// Bytes copied per second by `threads` threads at once, each with buffers of `bytes` of its
// own, well beyond the caches; best of the runs.
double MemcpyBandwidth(int threads, size_t bytes, double min_seconds) {
  std::vector<std::vector<char>> src(threads), dst(threads);
  for (int t = 0; t < threads; ++t) {
    src[t].assign(bytes, static_cast<char>(1 + t));
    dst[t].assign(bytes, 0);
  }
  const double seconds = ShortestParallelRun(threads, min_seconds, [&](int t, int run) {
    // A byte changed per run, so no copy can be skipped as a repeat of the last.
    src[t][run % bytes] = static_cast<char>(run);
    std::memcpy(dst[t].data(), src[t].data(), bytes);
  });
  long sum = 0;  // keeps the copies observable
  for (int t = 0; t < threads; ++t) sum += dst[t][bytes / 2];
  if (sum == -1) std::puts("");
  return seconds > 0 ? static_cast<double>(bytes) * threads / seconds : 0;
}

// out1[k] = out2[k] = a[k] + b[k] for k in [lo, hi), the outputs stored around the cache
// (`stream`) or through it; in place, out1 == a and out2 == b.
void SumTwice(const float* a, const float* b, float* out1, float* out2, size_t lo, size_t hi,
              bool stream) {
  size_t k = lo;
#if defined(__SSE2__)
  if (stream) {
    for (; k + 4 <= hi; k += 4) {
      const __m128 v = _mm_add_ps(_mm_load_ps(a + k), _mm_load_ps(b + k));
      _mm_stream_ps(out1 + k, v);
      _mm_stream_ps(out2 + k, v);
    }
    _mm_sfence();
  } else {
    for (; k + 4 <= hi; k += 4) {
      const __m128 v = _mm_add_ps(_mm_load_ps(a + k), _mm_load_ps(b + k));
      _mm_store_ps(out1 + k, v);
      _mm_store_ps(out2 + k, v);
    }
  }
#else
  (void)stream;
#endif
  for (; k < hi; ++k) out1[k] = out2[k] = a[k] + b[k];
}

// The bare kernels' two inputs and two outputs of n floats each, aligned and touched once
// (so no page fault falls into a timed run); ok() is false when memory ran out.
class KernelArrays {
 public:
  explicit KernelArrays(size_t n) {
    for (float*& p : arrays_) {
      p = static_cast<float*>(std::aligned_alloc(64, n * sizeof(float)));
      if (p == nullptr) return;
      for (size_t k = 0; k < n; ++k) p[k] = static_cast<float>(k % 127);
    }
  }
  KernelArrays(const KernelArrays&) = delete;
  KernelArrays& operator=(const KernelArrays&) = delete;
  ~KernelArrays() {
    for (float* p : arrays_) std::free(p);
  }
  bool ok() const { return arrays_[3] != nullptr; }
  float* operator[](int k) const { return arrays_[k]; }

 private:
  float* arrays_[4] = {};
};

// Thread t's part [lo, hi) of n elements split over `threads`, on 4-element boundaries.
struct Share {
  size_t lo, hi;
};
Share ShareOf(size_t n, int t, int threads) {
  const auto split = [&](int k) { return n * k / threads / 4 * 4; };
  return {split(t), t + 1 == threads ? n : split(t + 1)};
}

// The bus bandwidth of a bare all-reduce of 2 ranks of `bytes` each (float sum, out of place):
// min(2, cores) threads each add their half of the two inputs and store it to both outputs,
// every byte read or written once, with streaming stores. No library, no waiting: the most
// that any all-reduce of 2 ranks can reach on this host, at this moment. Best of the runs.
double BareAllReduceBusBw(int cores, size_t bytes, double min_seconds) {
  const size_t n = bytes / sizeof(float) / 4 * 4;
  const KernelArrays arrays(n);
  if (!arrays.ok()) return 0;
  const int threads = std::min(2, cores);
  const double seconds = ShortestParallelRun(threads, min_seconds, [&](int t, int) {
    const Share share = ShareOf(n, t, threads);
    SumTwice(arrays[0], arrays[1], arrays[2], arrays[3], share.lo, share.hi, true);
  });
  return seconds > 0 ? static_cast<double>(n * sizeof(float)) / seconds : 0;
}

void Result(const std::string& key, double value) {
  std::printf("RESULT %s %.6g\n", key.c_str(), value);
}

inline void CpuPause() {
#if defined(__SSE2__)
  _mm_pause();
#endif
}

// The rows of --bare-rows. Both threads live for the whole run, as a program's rank threads
// do, and the buffers are sized once for the largest count. Stores bypass the cache where the
// simulator's do (outputs of 16 MiB or more in all).
void BareRows(const std::vector<uint64_t>& counts, uint64_t iters, int cores) {
  const uint64_t most = *std::max_element(counts.begin(), counts.end());
  const size_t n = static_cast<size_t>(most + 3) / 4 * 4;
  const KernelArrays arrays(n);  // two send buffers, two receive buffers
  if (!arrays.ok()) {
    std::fprintf(stderr, "perf_oxcl: no memory for 4 x %llu floats\n",
                 static_cast<unsigned long long>(n));
    std::exit(1);
  }
  const int threads = std::min(2, cores);
  std::atomic<uint64_t> arrived{0};
  constexpr uint64_t kWarmups = 5;
  std::vector<double> seconds;  // per row, measured by thread 0
  // Every thread makes the same calls in the same order; call number gen ends when all
  // threads have arrived gen times.
  auto rows = [&](int t) {
    uint64_t gen = 0;
    for (uint64_t count : counts) {
      for (bool in_place : {true, false}) {
        const float* a = in_place ? arrays[2] : arrays[0];
        const float* b = in_place ? arrays[3] : arrays[1];
        const Share share = ShareOf(count, t, threads);
        const bool stream = 2 * count * sizeof(float) >= (size_t{16} << 20);
        Clock::time_point begin;
        for (uint64_t i = 0; i < kWarmups + iters; ++i) {
          if (i == kWarmups) begin = Clock::now();
          SumTwice(a, b, arrays[2], arrays[3], share.lo, share.hi, stream);
          ++gen;
          arrived.fetch_add(1, std::memory_order_acq_rel);
          while (arrived.load(std::memory_order_acquire) < gen * threads) CpuPause();
        }
        if (t == 0) seconds.push_back(Seconds(begin, Clock::now()));
      }
    }
  };
  std::thread partner;
  if (threads > 1) partner = std::thread(rows, 1);
  rows(0);
  if (partner.joinable()) partner.join();
  size_t row = 0;
  for (uint64_t count : counts) {
    for (const char* mode : {"in", "out"}) {
      const double s = seconds[row++];
      const double busbw = s > 0 ? static_cast<double>(count * sizeof(float)) * iters / s : 0;
      std::printf("bare row %llu %s %.2f GB/s\n", static_cast<unsigned long long>(count), mode,
                  busbw / 1e9);
      Result("bare_row_" + std::to_string(count) + "_" + mode + "_busbw", busbw / 1e9);
    }
  }
}

struct Ranks {
  int n = 0;
  std::vector<int> devs;
  std::vector<oxclComm*> comms;
  std::vector<void*> send, recv;
};

Ranks MakeRanks(int n, size_t bytes) {
  unsigned int cards = 0;
  CHECK(oxrtGetDeviceCount(&cards));
  if (cards == 0) {
    std::fprintf(stderr, "perf_oxcl: no cards\n");
    std::exit(1);
  }
  Ranks ranks;
  ranks.n = n;
  ranks.devs.resize(n);
  ranks.comms.resize(n);
  ranks.send.resize(n);
  ranks.recv.resize(n);
  std::vector<int> ids(n);
  for (int r = 0; r < n; ++r) {
    ranks.devs[r] = r % static_cast<int>(cards);
    ids[r] = r;
    CHECK(oxrtSetDevice(ranks.devs[r]));
    CHECK(oxrtMalloc(&ranks.send[r], bytes));
    CHECK(oxrtMalloc(&ranks.recv[r], bytes));
    // As the programs do; it also takes the page faults out of the timed blocks.
    CHECK(oxrtMemset(ranks.send[r], 3, bytes));
    CHECK(oxrtMemset(ranks.recv[r], 3, bytes));
  }
  oxclCliqueId id;
  CHECK(oxclGetCliqueId(&id));
  CHECK(oxclInitComms(ranks.comms.data(), n, ranks.devs.data(), ids.data(), n, id));
  return ranks;
}

void FreeRanks(Ranks& ranks) {
  CHECK(oxclDestroyComms(ranks.comms.data(), ranks.n));
  for (int r = 0; r < ranks.n; ++r) {
    CHECK(oxrtSetDevice(ranks.devs[r]));
    CHECK(oxrtFree(ranks.send[r]));
    CHECK(oxrtFree(ranks.recv[r]));
  }
}

void CallOnce(Coll coll, Ranks& ranks, int r, const Shape& shape,
              const std::vector<const void*>& sends, const std::vector<void*>& recvs,
              const std::vector<uint32_t>& counts, const std::vector<oxclDataType_t>& types) {
  switch (coll) {
    case Coll::kAllReduce:
      CHECK(oxclAllReduce(ranks.send[r], ranks.recv[r], shape.call_count, oxclFloat32, oxclSum,
                          ranks.comms[r], nullptr));
      break;
    case Coll::kReduceScatter:
      CHECK(oxclReduceScatter(ranks.send[r], ranks.recv[r], shape.call_count, oxclFloat32,
                              oxclSum, ranks.comms[r], nullptr));
      break;
    case Coll::kAllGather:
      CHECK(oxclAllGather(ranks.send[r], ranks.recv[r], shape.call_count, oxclFloat32,
                          ranks.comms[r], nullptr));
      break;
    case Coll::kAllToAll:
      CHECK(oxclAlltoAllv(sends.data(), counts.data(), types.data(), recvs.data(), counts.data(),
                          types.data(), ranks.comms[r], nullptr));
      break;
  }
}

// Seconds per operation as rank 0's thread sees it: all rank threads start together, each
// issues `iters` calls on the null queue (synchronous, so their return is their completion).
double SecondsPerOp(Coll coll, Ranks& ranks, const Shape& shape, int iters) {
  const int n = ranks.n;
  Barrier start(n);
  double rank0 = 0;
  std::vector<std::thread> threads;
  for (int r = 0; r < n; ++r)
    threads.emplace_back([&, r] {
      CHECK(oxrtSetDevice(ranks.devs[r]));
      // The per-peer arrays of the default all-to-all call (one block per peer).
      const size_t step = shape.call_count * sizeof(float);
      std::vector<const void*> sends(n);
      std::vector<void*> recvs(n);
      std::vector<uint32_t> counts(n, static_cast<uint32_t>(shape.call_count));
      std::vector<oxclDataType_t> types(n, oxclFloat32);
      for (int j = 0; j < n; ++j) {
        sends[j] = static_cast<const char*>(ranks.send[r]) + j * step;
        recvs[j] = static_cast<char*>(ranks.recv[r]) + j * step;
      }
      start.Wait();
      const Clock::time_point t0 = Clock::now();
      for (int i = 0; i < iters; ++i) CallOnce(coll, ranks, r, shape, sends, recvs, counts, types);
      const double s = Seconds(t0, Clock::now());
      if (r == 0) rank0 = s;
    });
  for (std::thread& t : threads) t.join();
  return rank0 / iters;
}

std::string Key(const char* family, Coll coll, int n, uint64_t count, const char* what) {
  char key[160];
  std::snprintf(key, sizeof key, "%s_%s_n%d_c%llu_%s", family, CollName(coll), n,
                static_cast<unsigned long long>(count), what);
  return key;
}

}  // namespace

int main(int argc, char** argv) {
  const Options opts = ParseOptions(argc, argv);
  const unsigned hw = std::thread::hardware_concurrency();
  const int cores = hw == 0 ? 1 : static_cast<int>(hw);
  if (!opts.bare_rows.empty()) {
    BareRows(opts.bare_rows, opts.iters > 0 ? opts.iters : 20, cores);
    return 0;
  }
  const size_t copy_bytes = static_cast<size_t>(opts.memcpy_mib) << 20;

  const double m1 = copy_bytes > 0 ? MemcpyBandwidth(1, copy_bytes, opts.min_seconds) : 0;
  const double mall = copy_bytes > 0 ? MemcpyBandwidth(cores, copy_bytes, opts.min_seconds) : 0;
  Result("cores", cores);
  if (copy_bytes > 0) {
    std::printf("host memcpy, %llu MiB per thread, best of several: 1 thread %.2f GB/s, "
                "%d threads %.2f GB/s\n",
                static_cast<unsigned long long>(opts.memcpy_mib), m1 / 1e9, cores, mall / 1e9);
    Result("memcpy_1t_gbps", m1 / 1e9);
    Result("memcpy_allcore_gbps", mall / 1e9);
    // Beside the copies, the bare kernel of the all-reduce (at most 128 MiB per buffer).
    const double bare =
        BareAllReduceBusBw(cores, std::min<size_t>(copy_bytes, size_t{128} << 20), opts.min_seconds);
    std::printf("bare all-reduce kernel, 2 ranks, float sum, streaming stores, no library: bus bw "
                "%.2f GB/s (%.2f x 1-thread memcpy)\n", bare / 1e9, m1 > 0 ? bare / m1 : 0.0);
    Result("bare_allreduce_gbps", bare / 1e9);
  }
  std::fflush(stdout);

  std::printf("tight loop: float sum, out of place, null queue, one thread per rank, "
              "at least %.2f s per point", opts.min_seconds);
  if (opts.iters > 0)
    std::printf(", best block of %llu calls", static_cast<unsigned long long>(opts.iters));
  std::printf("\n");
  std::printf("floor: single-pass traffic at the 1-thread memcpy rate on min(ranks, cores) "
              "threads\n");
  std::printf("%-14s %5s %10s %10s %12s %12s %12s %8s\n", "collective", "ranks", "count",
              "time(us)", "algbw(GB/s)", "busbw(GB/s)", "floor(GB/s)", "bw/floor");
  const uint64_t max_count = *std::max_element(opts.counts.begin(), opts.counts.end());
  for (int n : opts.ranks) {
    const size_t bytes = static_cast<size_t>(std::max<uint64_t>(max_count, 1)) * sizeof(float);
    Ranks ranks = MakeRanks(n, bytes);
    for (Coll coll : opts.colls) {
      for (uint64_t count : opts.counts) {
        const Shape shape = ShapeOf(coll, n, count);
        double t = 0;
        if (opts.iters > 0) {
          const int block = static_cast<int>(opts.iters);
          SecondsPerOp(coll, ranks, shape, 5);  // the programs' -w 5
          double spent = 0;
          const int blocks = static_cast<int>(opts.blocks);
          for (int run = 0; run < blocks || spent < opts.min_seconds; ++run) {
            const double b = SecondsPerOp(coll, ranks, shape, block);
            spent += b * block;
            if (run == 0 || b < t) t = b;
            if (run >= 1000) break;
          }
        } else {
          SecondsPerOp(coll, ranks, shape, 2);  // warm-up
          const double estimate = SecondsPerOp(coll, ranks, shape, 2);
          const double want = opts.min_seconds / (estimate > 0 ? estimate : 1e-6);
          const int iters = want < 3 ? 3 : (want > 100000 ? 100000 : static_cast<int>(want));
          t = SecondsPerOp(coll, ranks, shape, iters);
        }
        const double algbw = t > 0 ? shape.bus_elems * sizeof(float) / t : 0;
        const double busbw = algbw * shape.bus_factor;
        const double t_floor = m1 > 0 ? shape.traffic / (2.0 * m1 * std::min(n, cores)) : 0;
        const double floor =
            t_floor > 0 ? shape.bus_elems * sizeof(float) * shape.bus_factor / t_floor : 0;
        std::printf("%-14s %5d %10llu %10.1f %12.2f %12.2f %12.2f %8.2f\n", CollName(coll), n,
                    static_cast<unsigned long long>(count), t * 1e6, algbw / 1e9, busbw / 1e9,
                    floor / 1e9, floor > 0 ? busbw / floor : 0.0);
        Result(Key("inproc", coll, n, count, "us"), t * 1e6);
        Result(Key("inproc", coll, n, count, "busbw"), busbw / 1e9);
        Result(Key("inproc", coll, n, count, "floor"), floor / 1e9);
        std::fflush(stdout);
      }
    }
    FreeRanks(ranks);
  }
  return 0;
}
