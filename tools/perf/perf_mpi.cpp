// The simulated collective library across processes against Open MPI's own collectives, in the
// same run, on the same host, with the same buffer sizes and timing: float sum all-reduce,
// reduce-scatter, all-gather and all-to-all (MPI_Allreduce, MPI_Reduce_scatter_block,
// MPI_Allgather, MPI_Alltoall). One rank per process, each on card = its world rank, on the null
// queue as the programs use it by default.
//   mpirun -np 2 perf_mpi [--mpi-only | --oxcl-only] [--colls LIST] [--min-seconds S]
//                         [--iters N [--blocks K]] [count ...]
// Counts are floats and take K/M/G suffixes (powers of 1024); default 1M 4M 32M. A count means
// what the programs' count means: the all-reduce's per-rank count, and n times the per-rank block
// of the other three (the call gets count / n). Bus bandwidth uses the programs' formulas.
// --mpi-only skips the collective library, for builds whose library cannot span processes;
// --oxcl-only skips Open MPI's collectives. --colls picks some of allreduce, reducescatter,
// allgather, alltoall (default all four). The library's buffers are allocated after its
// communicator, as the programs do, so that the processes map each other's buffers (with
// -x OXSIM_PEER_MAP=0 they reach them through kernel copies instead).
// --iters N times a point like a program's step with -l N: 5 warm-up calls, then blocks of N
// calls for the minimum seconds (K blocks at least, default 3), the best block counting;
// per-call latency depends on how many calls follow each other, so the comparison with the
// programs needs the same N.
// Times are rank 0's, as the programs print them.
// Besides the table, rank 0 prints "RESULT <key> <value>" lines for scripts.
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
#include "perf_common.h"

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
  bool oxcl_only = false;
  double min_seconds = 0.3;
  int iters = 0;
  int blocks = 3;
  std::vector<std::string> colls;
  std::vector<uint64_t> counts;
};

// Counts as the shared syntax, zero refused: no option here takes it.
bool ParseCount(const char* text, uint64_t* count) {
  return perf::ParseCount(text, count) && *count != 0;
}

void Usage(FILE* to) {
  std::fprintf(to,
               "usage: perf_mpi [--mpi-only | --oxcl-only] [--colls LIST] [--min-seconds S]\n"
               "                [--iters N [--blocks K]] [count[K|M|G] ...]\n"
               "  counts are floats (programs' count); default 1M 4M 32M\n");
}

// Returns 0 on success, 2 on a usage error (reported on rank 0 only), 3 after --help.
int ParseOptions(int argc, char** argv, Options* opts) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool takes_value = arg == "--min-seconds" || arg == "--colls" || arg == "--blocks" ||
                             arg == "--iters";
    if (takes_value && i + 1 >= argc) {
      if (g_rank == 0) std::fprintf(stderr, "perf_mpi: %s needs a value\n", argv[i]);
      return 2;
    }
    if (arg == "--mpi-only") {
      opts->mpi_only = true;
    } else if (arg == "--min-seconds" && i + 1 < argc) {
      char* end = nullptr;
      errno = 0;
      opts->min_seconds = std::strtod(argv[++i], &end);
      if (end == argv[i] || *end != '\0' || errno != 0 || !(opts->min_seconds >= 0) || opts->min_seconds > 3600) {
        if (g_rank == 0) std::fprintf(stderr, "perf_mpi: bad --min-seconds '%s'\n", argv[i]);
        return 2;
      }
    } else if (arg == "--oxcl-only") {
      opts->oxcl_only = true;
    } else if (arg == "--colls" && i + 1 < argc) {
      std::string list = argv[++i];
      for (size_t start = 0;;) {
        const size_t comma = list.find(',', start);
        const std::string name =
            list.substr(start, comma == std::string::npos ? comma : comma - start);
        if (name != "allreduce" && name != "reducescatter" && name != "allgather" &&
            name != "alltoall") {
          if (g_rank == 0) std::fprintf(stderr, "perf_mpi: bad --colls '%s'\n", argv[i]);
          return 2;
        }
        opts->colls.push_back(name);
        if (comma == std::string::npos) break;
        start = comma + 1;
      }
    } else if (arg == "--blocks" && i + 1 < argc) {
      uint64_t n = 0;
      if (!ParseCount(argv[++i], &n) || n > 1000) {
        if (g_rank == 0) std::fprintf(stderr, "perf_mpi: bad --blocks '%s'\n", argv[i]);
        return 2;
      }
      opts->blocks = static_cast<int>(n);
    } else if (arg == "--iters" && i + 1 < argc) {
      uint64_t n = 0;
      if (!ParseCount(argv[++i], &n) || n > 1000000) {
        if (g_rank == 0) std::fprintf(stderr, "perf_mpi: bad --iters '%s'\n", argv[i]);
        return 2;
      }
      opts->iters = static_cast<int>(n);
    } else if (arg == "-h" || arg == "--help") {
      if (g_rank == 0) Usage(stdout);
      return 3;
    } else {
      uint64_t count = 0;
      // MPI counts are ints; the limit applies to both halves so that every row has both.
      if (!ParseCount(argv[i], &count) || count > static_cast<uint64_t>(INT_MAX)) {
        if (g_rank == 0) {
          std::fprintf(stderr, "perf_mpi: bad count '%s' (1 to %d floats)\n", argv[i], INT_MAX);
          Usage(stderr);
        }
        return 2;
      }
      opts->counts.push_back(count);
    }
  }
  if (opts->mpi_only && opts->oxcl_only) {
    if (g_rank == 0)
      std::fprintf(stderr, "perf_mpi: --mpi-only and --oxcl-only exclude each other\n");
    return 2;
  }
  if (opts->colls.empty()) opts->colls = {"allreduce", "reducescatter", "allgather", "alltoall"};
  if (opts->counts.empty())
    for (uint64_t m : {1, 4, 32}) opts->counts.push_back(m << 20);
  return 0;
}

// Integer-valued inputs small enough that every partial sum is exact in float, whatever the
// order of the reduction.
float Input(uint64_t i, int rank) {
  return static_cast<float>((i * 7 + static_cast<uint64_t>(rank)) % 1021);
}

using perf::Coll;
using perf::CollName;
using perf::Shape;
using perf::ShapeOf;
const Coll kColls[] = {Coll::kAllReduce, Coll::kReduceScatter, Coll::kAllGather, Coll::kAllToAll};

const char* MpiName(Coll c) {
  switch (c) {
    case Coll::kAllReduce: return "MPI_Allreduce";
    case Coll::kReduceScatter: return "MPI_Reduce_scatter_block";
    case Coll::kAllGather: return "MPI_Allgather";
    case Coll::kAllToAll: return "MPI_Alltoall";
  }
  return "?";
}

// The value element x of rank `me`'s output must hold.
float Expected(Coll coll, uint64_t x, int me, int nranks, uint64_t c) {
  double sum = 0;
  switch (coll) {
    case Coll::kAllReduce:
      for (int r = 0; r < nranks; ++r) sum += Input(x, r);
      return static_cast<float>(sum);
    case Coll::kReduceScatter:
      for (int r = 0; r < nranks; ++r) sum += Input(me * c + x, r);
      return static_cast<float>(sum);
    case Coll::kAllGather:  // block j is rank j's first c elements
      return Input(x % c, static_cast<int>(x / c));
    case Coll::kAllToAll:  // block j is block `me` of rank j's send buffer
      return Input(me * c + x % c, static_cast<int>(x / c));
  }
  return 0;
}

// Empty when out[0..elems) holds the expected values and out[elems], one past the last element,
// still holds the guard; otherwise what is wrong, so that a write past the end is caught as well.
std::string Mismatch(Coll coll, const float* out, const Shape& shape, int me, int nranks,
                     float guard) {
  char msg[160] = "";
  for (uint64_t i = 0; i < shape.out_elems; ++i) {
    const float want = Expected(coll, i, me, nranks, shape.call_count);
    if (out[i] != want) {
      std::snprintf(msg, sizeof msg, "element %llu is %g, expected %g",
                    static_cast<unsigned long long>(i), static_cast<double>(out[i]),
                    static_cast<double>(want));
      return msg;
    }
  }
  if (std::memcmp(&out[shape.out_elems], &guard, sizeof guard) != 0) {
    std::snprintf(msg, sizeof msg, "element %llu past the end was overwritten with %g",
                  static_cast<unsigned long long>(shape.out_elems),
                  static_cast<double>(out[shape.out_elems]));
    return msg;
  }
  return msg;
}

// Every process learns whether any failed, then all stop together with a message per culprit.
void AgreeOrFail(const std::string& what_text, uint64_t count, const std::string& mismatch) {
  const char* what = what_text.c_str();
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

// One timed block: all processes start together; rank 0's time counts, as in the programs, and
// every process gets it, so that all take the same decisions from it.
template <typename Op>
double SecondsPerOp(int iters, Op op) {
  CHECK_MPI(MPI_Barrier(MPI_COMM_WORLD));
  const double t0 = MPI_Wtime();
  op(iters);
  double elapsed = MPI_Wtime() - t0;
  CHECK_MPI(MPI_Bcast(&elapsed, 1, MPI_DOUBLE, 0, MPI_COMM_WORLD));
  return elapsed / iters;
}

// Without a block size: warm-up, a short estimate, then enough calls for min_seconds. With one:
// the programs' 5 warm-up calls, then the best of blocks of that many calls. Every process
// derives the same counts from the same times, so none waits in a call the others skip.
template <typename Op>
double Measure(double min_seconds, int block, int blocks, Op op) {
  if (block > 0) {
    op(5);
    double best = 0, spent = 0;
    for (int run = 0; (run < blocks || spent < min_seconds) && run < 1000; ++run) {
      const double t = SecondsPerOp(block, op);
      spent += t * block;
      if (run == 0 || t < best) best = t;
    }
    return best;
  }
  op(2);  // page faults, queue threads, MPI connections
  const double estimate = SecondsPerOp(2, op);
  double want = min_seconds / (estimate > 0 ? estimate : 1e-6);
  int iters = want < 3 ? 3 : (want > 10000 ? 10000 : static_cast<int>(want));
  return SecondsPerOp(iters, op);
}

struct Oxcl {
  oxclComm* comm = nullptr;
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
  // After the communicator, as the programs allocate theirs: the other process can map them.
  CHECK_RT(oxrtMalloc(&o.send, bytes));
  CHECK_RT(oxrtMalloc(&o.recv, bytes));
  CHECK_RT(oxrtMemcpy(o.send, input.data(), bytes, oxrtMemcpyHostToDevice));
  CHECK_RT(oxrtMemset(o.recv, 0, bytes));
  return o;
}

void FreeOxcl(Oxcl& o) {
  CHECK_CL(oxclDestroyComms(&o.comm, 1));
  CHECK_RT(oxrtFree(o.send));
  CHECK_RT(oxrtFree(o.recv));
}

void CallOxcl(Coll coll, Oxcl& o, const Shape& shape, const std::vector<const void*>& sends,
              const std::vector<void*>& recvs, const std::vector<uint32_t>& counts,
              const std::vector<oxclDataType_t>& types) {
  switch (coll) {
    case Coll::kAllReduce:
      CHECK_CL(oxclAllReduce(o.send, o.recv, shape.call_count, oxclFloat32, oxclSum, o.comm,
                             nullptr));
      break;
    case Coll::kReduceScatter:
      CHECK_CL(oxclReduceScatter(o.send, o.recv, shape.call_count, oxclFloat32, oxclSum, o.comm,
                                 nullptr));
      break;
    case Coll::kAllGather:
      CHECK_CL(oxclAllGather(o.send, o.recv, shape.call_count, oxclFloat32, o.comm, nullptr));
      break;
    case Coll::kAllToAll:
      CHECK_CL(oxclAlltoAllv(sends.data(), counts.data(), types.data(), recvs.data(),
                             counts.data(), types.data(), o.comm, nullptr));
      break;
  }
}

void CallMpi(Coll coll, const float* in, float* out, const Shape& shape) {
  const int c = static_cast<int>(shape.call_count);
  switch (coll) {
    case Coll::kAllReduce:
      CHECK_MPI(MPI_Allreduce(in, out, c, MPI_FLOAT, MPI_SUM, MPI_COMM_WORLD));
      break;
    case Coll::kReduceScatter:
      CHECK_MPI(MPI_Reduce_scatter_block(in, out, c, MPI_FLOAT, MPI_SUM, MPI_COMM_WORLD));
      break;
    case Coll::kAllGather:
      CHECK_MPI(MPI_Allgather(in, c, MPI_FLOAT, out, c, MPI_FLOAT, MPI_COMM_WORLD));
      break;
    case Coll::kAllToAll:
      CHECK_MPI(MPI_Alltoall(in, c, MPI_FLOAT, out, c, MPI_FLOAT, MPI_COMM_WORLD));
      break;
  }
}

double BusBandwidth(const Shape& shape, double seconds) {
  return seconds > 0 ? shape.bus_elems * sizeof(float) * shape.bus_factor / seconds : 0;
}

std::string Key(Coll coll, int n, uint64_t count, const char* what) {
  char key[160];
  std::snprintf(key, sizeof key, "mpi_%s_n%d_c%llu_%s", CollName(coll), n,
                static_cast<unsigned long long>(count), what);
  return key;
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
    return rc == 3 ? 0 : rc;
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
    std::printf("float sum, %d process%s, one rank each, out of place, null queue, "
                "at least %.2f s per point",
                nranks, nranks == 1 ? "" : "es", opts.min_seconds);
    if (opts.iters > 0) std::printf(", best block of %d calls", opts.iters);
    std::printf("\n");
    std::printf("%-14s %10s %14s %14s %14s %14s %10s\n", "collective", "count", "oxcl time(us)",
                "oxcl bw(GB/s)", "MPI time(us)", "MPI bw(GB/s)", "oxcl/MPI");
  }

  for (Coll coll : kColls) {
    if (std::find(opts.colls.begin(), opts.colls.end(), CollName(coll)) == opts.colls.end())
      continue;
    for (uint64_t count : opts.counts) {
      const Shape shape = ShapeOf(coll, nranks, count);
      // The per-peer arrays of the programs' default all-to-all call.
      const size_t step = shape.call_count * sizeof(float);
      std::vector<const void*> sends(nranks);
      std::vector<void*> recvs(nranks);
      std::vector<uint32_t> counts(nranks, static_cast<uint32_t>(shape.call_count));
      std::vector<oxclDataType_t> types(nranks, oxclFloat32);
      for (int j = 0; j < nranks && !opts.mpi_only; ++j) {
        sends[j] = static_cast<const char*>(oxcl.send) + j * step;
        recvs[j] = static_cast<char*>(oxcl.recv) + j * step;
      }
      const std::string name = CollName(coll);
      double oxcl_s = 0;
      if (!opts.mpi_only) {
        // Verified once before timing: a fast wrong answer is not a measurement.
        std::fill(host_out.begin(), host_out.end(), guard);
        CHECK_RT(oxrtMemcpy(oxcl.recv, host_out.data(), buffer_bytes, oxrtMemcpyHostToDevice));
        CallOxcl(coll, oxcl, shape, sends, recvs, counts, types);
        CHECK_RT(oxrtMemcpy(host_out.data(), oxcl.recv, buffer_bytes, oxrtMemcpyDeviceToHost));
        AgreeOrFail("oxcl " + name, count,
                    Mismatch(coll, host_out.data(), shape, g_rank, nranks, guard));
        oxcl_s = Measure(opts.min_seconds, opts.iters, opts.blocks, [&](int iters) {
          for (int i = 0; i < iters; ++i)
            CallOxcl(coll, oxcl, shape, sends, recvs, counts, types);
        });
      }

      // The reference is checked too, so the two columns compare two correct answers.
      double mpi_s = 0;
      if (!opts.oxcl_only) {
        std::fill(mpi_out.begin(), mpi_out.end(), guard);
        CallMpi(coll, input.data(), mpi_out.data(), shape);
        AgreeOrFail(MpiName(coll), count,
                    Mismatch(coll, mpi_out.data(), shape, g_rank, nranks, guard));
        mpi_s = Measure(opts.min_seconds, opts.iters, opts.blocks, [&](int iters) {
          for (int i = 0; i < iters; ++i) CallMpi(coll, input.data(), mpi_out.data(), shape);
        });
      }

      if (g_rank == 0) {
        const double mpi_bw = BusBandwidth(shape, mpi_s);
        if (opts.mpi_only) {
          std::printf("%-14s %10llu %14s %14s %14.1f %14.2f %10s\n", name.c_str(),
                      static_cast<unsigned long long>(count), "-", "-", mpi_s * 1e6,
                      mpi_bw / 1e9, "-");
        } else {
          // Time ratio, which equals the bus bandwidth ratio and stays defined for one process.
          const double ratio = oxcl_s > 0 ? mpi_s / oxcl_s : 0;
          if (opts.oxcl_only)
            std::printf("%-14s %10llu %14.1f %14.2f %14s %14s %10s\n", name.c_str(),
                        static_cast<unsigned long long>(count), oxcl_s * 1e6,
                        BusBandwidth(shape, oxcl_s) / 1e9, "-", "-", "-");
          else
            std::printf("%-14s %10llu %14.1f %14.2f %14.1f %14.2f %10.2f\n", name.c_str(),
                        static_cast<unsigned long long>(count), oxcl_s * 1e6,
                        BusBandwidth(shape, oxcl_s) / 1e9, mpi_s * 1e6, mpi_bw / 1e9, ratio);
          std::printf("RESULT %s %.6g\n", Key(coll, nranks, count, "oxcl_us").c_str(),
                      oxcl_s * 1e6);
          std::printf("RESULT %s %.6g\n", Key(coll, nranks, count, "oxcl_busbw").c_str(),
                      BusBandwidth(shape, oxcl_s) / 1e9);
        }
        if (!opts.oxcl_only) {
          std::printf("RESULT %s %.6g\n", Key(coll, nranks, count, "mpi_us").c_str(),
                      mpi_s * 1e6);
          std::printf("RESULT %s %.6g\n", Key(coll, nranks, count, "mpi_busbw").c_str(),
                      mpi_bw / 1e9);
        }
        std::fflush(stdout);
      }
    }
  }

  if (!opts.mpi_only) FreeOxcl(oxcl);
  MPI_Finalize();
  return 0;
}
