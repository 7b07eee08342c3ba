// Float sum all-reduce across processes: the simulated collective library against Open MPI's own
// MPI_Allreduce, in the same run, on the same host, with the same buffer sizes and timing.
// One rank per process, each on card = its world rank with a queue of its own.
//   mpirun -np 2 perf_mpi [--mpi-only] [--min-seconds S] [count ...]
// Counts are floats and take K/M/G suffixes (powers of 1024); default 1M 4M 8M 16M 32M.
// --mpi-only skips the collective library, for builds whose library cannot span processes.
#include <mpi.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "oxcl.h"
#include "oxrt.h"

namespace {

int g_rank = 0;

// Any failure ends every process: a peer left waiting in a collective would otherwise hang.
[[noreturn]] void Die(const char* what, int line, const char* detail) {
  std::fprintf(stderr, "perf_mpi: rank %d: %s failed at line %d%s%s\n", g_rank, what, line,
               detail[0] ? ": " : "", detail);
  std::fflush(stderr);
  MPI_Abort(MPI_COMM_WORLD, 1);
  std::exit(1);
}

#define CHECK_RT(call)                                              \
  do {                                                              \
    const oxrtError_t rc_ = (call);                                 \
    if (rc_ != 0) Die(#call, __LINE__, oxrtGetErrorName(rc_));      \
  } while (0)

#define CHECK_CL(call)                                              \
  do {                                                              \
    const oxclResult_t rc_ = (call);                                \
    if (rc_ != oxclSuccess) Die(#call, __LINE__, oxclGetErrorStr(rc_)); \
  } while (0)

#define CHECK_MPI(call)                                             \
  do {                                                              \
    const int rc_ = (call);                                         \
    if (rc_ != MPI_SUCCESS) {                                       \
      char msg_[MPI_MAX_ERROR_STRING];                              \
      int len_ = 0;                                                 \
      MPI_Error_string(rc_, msg_, &len_);                           \
      Die(#call, __LINE__, msg_);                                   \
    }                                                               \
  } while (0)

struct Options {
  bool mpi_only = false;
  double min_seconds = 0.3;
  std::vector<uint64_t> counts;
};

// Parses "123", "4K", "8M", "1G"; false for anything else, zero or overflow.
bool ParseCount(const char* text, uint64_t* count) {
  errno = 0;
  char* end = nullptr;
  const unsigned long long value = std::strtoull(text, &end, 10);
  if (end == text || errno != 0 || text[0] == '-') return false;
  unsigned shift = 0;
  if (*end == 'K' || *end == 'k') shift = 10, ++end;
  else if (*end == 'M' || *end == 'm') shift = 20, ++end;
  else if (*end == 'G' || *end == 'g') shift = 30, ++end;
  if (*end != '\0' || value == 0 || value > (UINT64_MAX >> shift)) return false;
  *count = static_cast<uint64_t>(value) << shift;
  return true;
}

void Usage() {
  std::fprintf(stderr,
               "usage: perf_mpi [--mpi-only] [--min-seconds S] [count[K|M|G] ...]\n"
               "  counts are floats per rank; default 1M 4M 8M 16M 32M\n");
}

// Returns 0 on success, 2 on a usage error (reported on rank 0 only).
int ParseOptions(int argc, char** argv, Options* opts) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--mpi-only") {
      opts->mpi_only = true;
    } else if (arg == "--min-seconds" && i + 1 < argc) {
      char* end = nullptr;
      opts->min_seconds = std::strtod(argv[++i], &end);
      if (*end != '\0' || !(opts->min_seconds >= 0) || opts->min_seconds > 3600) {
        if (g_rank == 0) std::fprintf(stderr, "perf_mpi: bad --min-seconds '%s'\n", argv[i]);
        return 2;
      }
    } else if (arg == "-h" || arg == "--help") {
      if (g_rank == 0) Usage();
      return 2;
    } else {
      uint64_t count = 0;
      // MPI counts are ints; the limit applies to both halves so that every row has both.
      if (!ParseCount(argv[i], &count) || count > static_cast<uint64_t>(INT_MAX)) {
        if (g_rank == 0) {
          std::fprintf(stderr, "perf_mpi: bad count '%s' (1 to %d floats)\n", argv[i], INT_MAX);
          Usage();
        }
        return 2;
      }
      opts->counts.push_back(count);
    }
  }
  if (opts->counts.empty())
    for (uint64_t m : {1, 4, 8, 16, 32}) opts->counts.push_back(m << 20);
  return 0;
}

// Integer-valued inputs small enough that every partial sum is exact in float, whatever the
// order of the reduction.
float Input(uint64_t i, int rank) {
  return static_cast<float>((i * 7 + static_cast<uint64_t>(rank)) % 1021);
}

float Expected(uint64_t i, int nranks) {
  double sum = 0;
  for (int r = 0; r < nranks; ++r) sum += Input(i, r);
  return static_cast<float>(sum);
}

// Empty when out[0..count) holds the sums and out[count], one past the last element, still holds
// the guard; otherwise what is wrong, so that a write past the count is caught as well.
std::string Mismatch(const float* out, uint64_t count, int nranks, float guard) {
  char msg[160] = "";
  for (uint64_t i = 0; i < count; ++i)
    if (out[i] != Expected(i, nranks)) {
      std::snprintf(msg, sizeof msg, "element %llu is %g, expected %g",
                    static_cast<unsigned long long>(i), static_cast<double>(out[i]),
                    static_cast<double>(Expected(i, nranks)));
      return msg;
    }
  if (std::memcmp(&out[count], &guard, sizeof guard) != 0) {
    std::snprintf(msg, sizeof msg, "element %llu past the count was overwritten with %g",
                  static_cast<unsigned long long>(count), static_cast<double>(out[count]));
    return msg;
  }
  return msg;
}

// Every process learns whether any failed, then all stop together with a message per culprit.
void AgreeOrFail(const char* what, uint64_t count, const std::string& mismatch) {
  int failed = mismatch.empty() ? 0 : 1, any = 0;
  if (failed)
    std::fprintf(stderr, "perf_mpi: rank %d: %s result wrong at count %llu: %s\n", g_rank, what,
                 static_cast<unsigned long long>(count), mismatch.c_str());
  std::fflush(stderr);
  CHECK_MPI(MPI_Allreduce(&failed, &any, 1, MPI_INT, MPI_MAX, MPI_COMM_WORLD));
  if (any) {
    if (g_rank == 0) std::fprintf(stderr, "perf_mpi: FAILED: %s data check\n", what);
    MPI_Finalize();
    std::exit(1);
  }
}

// One timed block: all processes start together, the slowest one's time counts.
template <typename Op>
double SecondsPerOp(int iters, Op op) {
  CHECK_MPI(MPI_Barrier(MPI_COMM_WORLD));
  const double t0 = MPI_Wtime();
  op(iters);
  double elapsed = MPI_Wtime() - t0, slowest = 0;
  CHECK_MPI(MPI_Allreduce(&elapsed, &slowest, 1, MPI_DOUBLE, MPI_MAX, MPI_COMM_WORLD));
  return slowest / iters;
}

// Warm-up, a short estimate, then enough calls for min_seconds. Every process derives the same
// iteration count from the same (maximum) estimate, so none waits in a call the others skip.
template <typename Op>
double Measure(double min_seconds, Op op) {
  op(2);  // page faults, queue threads, MPI connections
  const double estimate = SecondsPerOp(2, op);
  double want = min_seconds / (estimate > 0 ? estimate : 1e-6);
  int iters = want < 3 ? 3 : (want > 10000 ? 10000 : static_cast<int>(want));
  return SecondsPerOp(iters, op);
}

struct Oxcl {
  oxclComm* comm = nullptr;
  oxrtQueue_t queue = nullptr;
  void* send = nullptr;
  void* recv = nullptr;
};

Oxcl MakeOxcl(int rank, int nranks, size_t bytes, const std::vector<float>& input) {
  unsigned int cards = 0;
  CHECK_RT(oxrtGetDeviceCount(&cards));
  if (static_cast<unsigned>(rank) >= cards) {
    std::fprintf(stderr, "perf_mpi: rank %d needs card %d but this process sees %u cards\n",
                 rank, rank, cards);
    Die("card selection", __LINE__, "");
  }
  Oxcl o;
  CHECK_RT(oxrtSetDevice(rank));
  CHECK_RT(oxrtQueueCreate(&o.queue));
  CHECK_RT(oxrtMalloc(&o.send, bytes));
  CHECK_RT(oxrtMalloc(&o.recv, bytes));
  CHECK_RT(oxrtMemcpy(o.send, input.data(), bytes, oxrtMemcpyHostToDevice));
  CHECK_RT(oxrtMemset(o.recv, 0, bytes));
  oxclCliqueId id;
  std::memset(&id, 0, sizeof id);
  if (rank == 0) CHECK_CL(oxclGetCliqueId(&id));
  CHECK_MPI(MPI_Bcast(id.internal, OXCL_CLIQUE_ID_BYTES, MPI_BYTE, 0, MPI_COMM_WORLD));
  const oxclResult_t rc = oxclInitComms(&o.comm, 1, &rank, &rank, nranks, id);
  if (rc != oxclSuccess) {
    if (rc == oxclNotSupported)
      std::fprintf(stderr, "perf_mpi: rank %d: this collective library cannot span %d processes; "
                           "rerun with --mpi-only to measure MPI alone\n", rank, nranks);
    Die("oxclInitComms", __LINE__, oxclGetErrorStr(rc));
  }
  return o;
}

void FreeOxcl(Oxcl& o) {
  CHECK_CL(oxclDestroyComms(&o.comm, 1));
  CHECK_RT(oxrtQueueDestroy(o.queue));
  CHECK_RT(oxrtFree(o.send));
  CHECK_RT(oxrtFree(o.recv));
}

double BusBandwidth(double bytes, int nranks, double seconds) {
  return seconds > 0 ? bytes * 2.0 * (nranks - 1) / nranks / seconds : 0;
}

}  // namespace

int main(int argc, char** argv) {
  int provided = 0;
  if (MPI_Init_thread(&argc, &argv, MPI_THREAD_MULTIPLE, &provided) != MPI_SUCCESS) {
    std::fprintf(stderr, "perf_mpi: MPI_Init_thread failed\n");
    return 1;
  }
  int nranks = 1;
  MPI_Comm_rank(MPI_COMM_WORLD, &g_rank);
  MPI_Comm_size(MPI_COMM_WORLD, &nranks);

  Options opts;
  if (const int rc = ParseOptions(argc, argv, &opts)) {
    MPI_Finalize();
    return rc;
  }
  // The collective library sends from its queue threads while this thread also calls MPI.
  if (!opts.mpi_only && provided < MPI_THREAD_MULTIPLE) {
    if (g_rank == 0)
      std::fprintf(stderr, "perf_mpi: MPI gives thread level %d, not MPI_THREAD_MULTIPLE; "
                           "use --mpi-only\n", provided);
    MPI_Finalize();
    return 1;
  }

  uint64_t max_count = 0;
  for (uint64_t c : opts.counts) max_count = c > max_count ? c : max_count;
  // One element of headroom past the largest count holds a guard for the overrun check.
  const uint64_t capacity = max_count + 1;
  const size_t buffer_bytes = static_cast<size_t>(capacity) * sizeof(float);
  const float guard = -1.0f;  // never a sum of the non-negative inputs

  std::vector<float> input(capacity), host_out(capacity), mpi_out(capacity);
  for (uint64_t i = 0; i < max_count; ++i) input[i] = Input(i, g_rank);
  input[max_count] = guard;

  Oxcl oxcl;
  if (!opts.mpi_only) oxcl = MakeOxcl(g_rank, nranks, buffer_bytes, input);

  if (g_rank == 0) {
    std::printf("float sum all-reduce, %d process%s, one rank each, out of place, "
                "at least %.2f s per point\n",
                nranks, nranks == 1 ? "" : "es", opts.min_seconds);
    std::printf("%12s %12s %14s %14s %14s %14s %10s\n", "count", "bytes", "oxcl time(us)",
                "oxcl bw(GB/s)", "MPI time(us)", "MPI bw(GB/s)", "oxcl/MPI");
  }

  for (uint64_t count : opts.counts) {
    const double nbytes = static_cast<double>(count) * sizeof(float);
    double oxcl_s = 0;
    if (!opts.mpi_only) {
      // Verified once before timing: a fast wrong answer is not a measurement.
      std::fill(host_out.begin(), host_out.end(), guard);
      CHECK_RT(oxrtMemcpy(oxcl.recv, host_out.data(), buffer_bytes, oxrtMemcpyHostToDevice));
      CHECK_CL(oxclAllReduce(oxcl.send, oxcl.recv, count, oxclFloat32, oxclSum, oxcl.comm,
                             oxcl.queue));
      CHECK_RT(oxrtQueueSync(oxcl.queue));
      CHECK_RT(oxrtMemcpy(host_out.data(), oxcl.recv, buffer_bytes, oxrtMemcpyDeviceToHost));
      AgreeOrFail("oxcl", count, Mismatch(host_out.data(), count, nranks, guard));

      oxcl_s = Measure(opts.min_seconds, [&](int iters) {
        for (int i = 0; i < iters; ++i)
          CHECK_CL(oxclAllReduce(oxcl.send, oxcl.recv, count, oxclFloat32, oxclSum, oxcl.comm,
                                 oxcl.queue));
        CHECK_RT(oxrtQueueSync(oxcl.queue));
      });
    }

    // The reference is checked too, so the two columns compare two correct answers.
    std::fill(mpi_out.begin(), mpi_out.end(), guard);
    CHECK_MPI(MPI_Allreduce(input.data(), mpi_out.data(), static_cast<int>(count), MPI_FLOAT,
                            MPI_SUM, MPI_COMM_WORLD));
    AgreeOrFail("MPI_Allreduce", count, Mismatch(mpi_out.data(), count, nranks, guard));
    const double mpi_s = Measure(opts.min_seconds, [&](int iters) {
      for (int i = 0; i < iters; ++i)
        CHECK_MPI(MPI_Allreduce(input.data(), mpi_out.data(), static_cast<int>(count), MPI_FLOAT,
                                MPI_SUM, MPI_COMM_WORLD));
    });

    if (g_rank == 0) {
      const double mpi_bw = BusBandwidth(nbytes, nranks, mpi_s);
      if (opts.mpi_only) {
        std::printf("%12llu %12.0f %14s %14s %14.1f %14.2f %10s\n",
                    static_cast<unsigned long long>(count), nbytes, "-", "-", mpi_s * 1e6,
                    mpi_bw / 1e9, "-");
      } else {
        // Time ratio, which equals the bus bandwidth ratio and stays defined for one process.
        const double ratio = oxcl_s > 0 ? mpi_s / oxcl_s : 0;
        std::printf("%12llu %12.0f %14.1f %14.2f %14.1f %14.2f %10.2f\n",
                    static_cast<unsigned long long>(count), nbytes, oxcl_s * 1e6,
                    BusBandwidth(nbytes, nranks, oxcl_s) / 1e9, mpi_s * 1e6, mpi_bw / 1e9,
                    ratio);
      }
      std::fflush(stdout);
    }
  }

  if (!opts.mpi_only) FreeOxcl(oxcl);
  MPI_Finalize();
  return 0;
}
