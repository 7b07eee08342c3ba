// The abstract collective, its registry, communicator set-up, the expected values of
// reductions, the chunked fill/check scheme and the result table shared by all collectives.
#ifndef OXCL_BENCHMARK_ALGORITHM_H_
#define OXCL_BENCHMARK_ALGORITHM_H_

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <type_traits>
#include <vector>

#include "common.h"
#include "context.h"
#include "datatype.h"
#include "log.h"
#include "oxcl.h"
#include "threadinfo.h"

namespace oxcl_benchmark {

// Elements per chunk of the fill and check work.
constexpr uint64_t kChunkElements = 1ull << 20;
// Thread pools per communicator.
constexpr uint64_t kPoolsPerComm = 10;

// The data patterns. Element values repeat after a short period, so that the fill copies one
// period over and over and the check generates the values it expects instead of storing them.
// Reductions of integers and of 32- and 64-bit floats send x % kReducePeriod at pattern index x;
// below 128, so that int8 holds every value.
constexpr uint64_t kReducePeriod = 127;
// Reductions of 16-bit floats send 1 + x % kHalfReducePeriod: small whole numbers, so that sums
// over ranks stay numbers the narrow formats hold exactly for longer.
constexpr uint64_t kHalfReducePeriod = 16;
// The blocks of an all-gather and of an all-to-all.
constexpr uint64_t kGatherPeriod = 127;
constexpr uint64_t kAllToAllPeriod = 256;
// The longest period: what a tile of expected values must hold beyond a check block.
constexpr uint64_t kMaxPatternPeriod = 256;
static_assert(kHalfReducePeriod <= kReducePeriod, "one array holds a period of either");
static_assert(kReducePeriod <= 128 && kGatherPeriod <= 128, "int8 must hold every value");
static_assert(kReducePeriod <= kMaxPatternPeriod && kGatherPeriod <= kMaxPatternPeriod &&
                  kAllToAllPeriod <= kMaxPatternPeriod,
              "a tile of expected values holds one period beyond its check block");

// The reduce pattern at pattern index x (x + r on rank r): the one definition that the fill
// sends and that the check's folds combine, so that the two cannot disagree.
constexpr uint64_t ReduceValue(bool half, uint64_t x) {
  return half ? x % kHalfReducePeriod + 1 : x % kReducePeriod;
}
constexpr uint64_t ReducePatternPeriod(bool half) {
  return half ? kHalfReducePeriod : kReducePeriod;
}

// Calls f(TypeTag<T>{}) with the host element type of a data type code; logs
// "Not supported data type" and fails for any other code.
template <typename T>
struct TypeTag {
  using type = T;
};
template <typename F>
benchmarkResult_t WithElementType(oxclDataType_t type, F&& f) {
  switch (type) {
    case oxclFloat16:
    case oxclBfloat16:
    case oxclUint16:
      return f(TypeTag<uint16_t>{});
    case oxclFloat32:
      return f(TypeTag<float>{});
    case oxclInt8:
      return f(TypeTag<int8_t>{});
    case oxclInt16:
      return f(TypeTag<int16_t>{});
    case oxclInt32:
      return f(TypeTag<int32_t>{});
    case oxclInt64:
      return f(TypeTag<int64_t>{});
    case oxclUint8:
      return f(TypeTag<uint8_t>{});
    case oxclUint32:
      return f(TypeTag<uint32_t>{});
    case oxclUint64:
      return f(TypeTag<uint64_t>{});
  }
  OXLOG(ERROR) << "Not supported data type";
  return BENCHMARK_FAILURE;
}

class Algorithm {
 public:
  Algorithm(const std::string& name, uint64_t col_num) : name(name), col_num(col_num) {}
  virtual ~Algorithm() = default;

  virtual void SetContext(Context* ctx);
  // Gives back what the collective holds beyond the context's buffers (nothing so far).
  virtual void Release();
  // Creates every communicator of the process in one library call.
  virtual benchmarkResult_t InitComm(Context* ctx);
  // Waits for every queue of one worker thread.
  virtual benchmarkResult_t ThreadQueueSync(ThreadInfo* info);
  // One collective call on communicator comm_index of the thread.
  virtual benchmarkResult_t RunAlgo(ThreadInfo* info, void* sendbuff, void* recvbuff,
                                    int comm_index) = 0;
  // Derives send_count, recv_count, coll_count and span_count from count.
  virtual benchmarkResult_t SetParam(ThreadInfo* info) = 0;
  // Bandwidths from the time of one operation, then PrintLine: the algorithm bandwidth of
  // OperationBytes, the bus bandwidth that BusBandwidth derives from it.
  virtual benchmarkResult_t GetDataRate(ThreadInfo* info, double seconds);
  // The table in the collective's Layout.
  virtual benchmarkResult_t PrintTitle(ThreadInfo* info);
  virtual benchmarkResult_t PrintLine(ThreadInfo* info, double seconds, double algo_bw,
                                      double bus_bw, int type_size);
  // Clears the receive buffers and fills the send data (chunked over the thread pools).
  [[nodiscard]] virtual benchmarkResult_t InitData(ThreadInfo* info, size_t iteration) = 0;
  // Counts the received elements that differ from the expected values, which it generates.
  [[nodiscard]] virtual benchmarkResult_t Check(ThreadInfo* info, size_t iteration) = 0;
  virtual uint64_t GetColNum() { return col_num; }
  // True for the collectives that reduce (their rows have an operation).
  virtual bool Reduces() const { return false; }

  const std::string& GetName() const { return name; }
  void SetName(const std::string& new_name) { name = new_name; }
  Context* GetContext() const { return context; }

  // Expected result of the reduction over all ranks for elements g * 2^20 + [0, len) of
  // host buffer i; `start` shifts the pattern index (a reduce-scatter slice).
  template <typename T>
  benchmarkResult_t InitReduce(ThreadInfo* info, int i, uint64_t start, uint64_t g, uint64_t len);
  // The expected result of the reduction for each phase x of the send pattern (x < p):
  // period[x] = op over r = 0 .. n - 1 of ReduceValue(x + r). Writes and returns p, the
  // pattern's period (ReducePatternPeriod): period must hold kReducePeriod elements.
  template <typename T>
  uint64_t ReducePeriod(const ThreadInfo* info, T* period) const;

 protected:
  // Total rank count: threads x comms x processes.
  uint64_t RankCount() const;
  // The current step's data type, operation and mode.
  oxclDataType_t CurrentType(const ThreadInfo* info) const;
  oxclReduceOp_t CurrentOp(const ThreadInfo* info) const;
  bool CurrentInPlace(const ThreadInfo* info) const;
  // Global index, communicator, device and rank of communicator i of the thread.
  uint64_t GlobalIndex(const ThreadInfo* info, int i) const;
  oxclComm* CommOf(const ThreadInfo* info, int i) const;
  int DeviceOf(const ThreadInfo* info, int i) const;
  int RankOf(const ThreadInfo* info, int i) const;
  // "entry(card C, rank R, count N, type T[, op O], in place|out of place)" for the Error line
  // of a failed call on communicator i of the thread.
  std::string DescribeCall(const char* entry, const ThreadInfo* info, int i, uint64_t count,
                           bool with_op) const;
  // The end of RunAlgo: CheckStatus of the library call `entry` on communicator i, which a
  // failure names as DescribeCall does.
  benchmarkResult_t CheckCall(oxclResult_t rc, const char* entry, const ThreadInfo* info, int i,
                              uint64_t count, bool with_op) const {
    return CheckStatus(rc, context, [&] { return DescribeCall(entry, info, i, count, with_op); });
  }

  // True when the step's fill writes every element that the fill would first zero: in place,
  // where the send data starts where the received data does and is at least as long. Zeroing
  // those elements first would only double the fill's memory traffic.
  virtual bool FillCoversReceive(const ThreadInfo*) const { return false; }

  // Chunk scheme: splits `total` elements of every communicator of the thread into chunks of
  // 2^20 and runs task(i, g, len) on pool g mod 10 of communicator i, then waits for the pools.
  // With `fill`, first zeroes the thread's error counter and recv_count elements of each
  // receive buffer (at the iteration's offset), unless the fill covers them.
  using ChunkTask = std::function<benchmarkResult_t(int i, uint64_t g, uint64_t len)>;
  [[nodiscard]] benchmarkResult_t RunChunks(ThreadInfo* info, size_t iteration, uint64_t total,
                                            bool fill, const ChunkTask& task);

  // Column layout of a result table; the four collectives differ only in these formats.
  struct TableLayout {
    bool redop;                 // a reduce operation column follows the type
    const char* title_head;     // "bytes", "count", "type" [, "redop"]
    const char* title_group;    // the four titles of one mode group
    const char* row_head;       // bytes, count, type [, redop]
    const char* row_group;      // latency, algo_bw, bus_bw, errors
  };
  static const TableLayout kReduceLayout;
  static const TableLayout kGatherLayout;
  // The columns of this collective's table: those of a reduction or of a gather.
  virtual const TableLayout& Layout() const { return Reduces() ? kReduceLayout : kGatherLayout; }
  benchmarkResult_t PrintTableTitle(ThreadInfo* info, const TableLayout& layout);
  benchmarkResult_t PrintTableLine(ThreadInfo* info, const TableLayout& layout, double seconds,
                                   double algo_bw, double bus_bw, int type_size);
  // GB/s of `bytes` moved in `seconds`; 0 when no time was measured (a loop count of 0).
  static double Bandwidth(double bytes, double seconds);
  // Bytes that one rank's operation moves, with elements of s bytes among n ranks: by default
  // the step's count of elements.
  virtual double OperationBytes(const ThreadInfo* info, double s, double n) const;
  // The bus bandwidth of algo_bw among n ranks: by default (n - 1) / n of it, each rank
  // taking in the parts of the n - 1 others.
  virtual double BusBandwidth(double algo_bw, double n) const { return algo_bw * (n - 1) / n; }

  // InitData (kFill) or Check of a collective C whose chunk work is its own InitBuff<T> and
  // CheckDelta<T>: the chunk scheme over `total` elements of every communicator, T being the
  // host element type of the step's data type.
  template <bool kFill, typename C>
  benchmarkResult_t ChunkWork(C* self, ThreadInfo* info, size_t iteration, uint64_t total) {
    return RunChunks(info, iteration, total, kFill, [=](int i, uint64_t g, uint64_t len) {
      return WithElementType(CurrentType(info), [&](auto tag) {
        using T = typename decltype(tag)::type;
        const int at = static_cast<int>(iteration);
        if constexpr (kFill) {
          return self->template InitBuff<T>(info, i, g, len, at);
        } else {
          return self->template CheckDelta<T>(info, i, g, len, at);
        }
      });
    });
  }
  // Records one mismatching element: a Debug line, the thread's error count and `failed`.
  void CountMismatch(const ThreadInfo* info, uint64_t index, const std::string& expect,
                     const std::string& data, int rank, bool inplace);

  Context* context = nullptr;
  std::string name;
  uint64_t col_num;
};

class AlgorithmManager {
 public:
  // The process-wide registry; created on first use.
  static std::vector<Algorithm*>& BenchMap();
};

// The program's one registration object: owns the collective until process exit.
class DeclareBench {
 public:
  explicit DeclareBench(Algorithm* algorithm);
  ~DeclareBench();
  DeclareBench(const DeclareBench&) = delete;
  DeclareBench& operator=(const DeclareBench&) = delete;

 private:
  Algorithm* algorithm;
};

namespace pattern_detail {

// Elements copied at a time when a period is repeated: a stretch that stays in the first-level
// cache while it is copied again and again.
constexpr uint64_t kTileElements = 8192;
// Elements compared at a time before a block is walked element by element.
constexpr uint64_t kCheckBlockElements = 4096;

// Copies `bytes` from src to dst with stores that bypass the cache where the processor has
// them: for buffers that are read again only after much other data has passed through.
void StreamCopy(void* dst, const void* src, size_t bytes);

// out[k] = period[(phase + k) % p] for k in [0, len). Every data pattern repeats after a few
// elements (kReducePeriod and the others), so one period is copied in and the rest is copied
// from the start of out, which already holds whole periods in the right phase. With `stream`
// the repeated stretch is built apart and stored around the cache (see StreamCopy).
template <typename T>
void FillPeriodic(T* out, uint64_t len, const T* period, uint64_t p, uint64_t phase,
                  bool stream = false) {
  if (len == 0 || p == 0) return;
  phase %= p;
  const uint64_t span = p * std::max<uint64_t>(1, kTileElements / p);
  if (stream && len > span) {
    T tile[kTileElements];
    FillPeriodic(tile, span, period, p, phase);
    for (uint64_t done = 0; done < len; done += span) {
      StreamCopy(out + done, tile, std::min(span, len - done) * sizeof(T));
    }
    return;
  }
  uint64_t done = std::min(len, p - phase);
  std::memcpy(out, period + phase, done * sizeof(T));
  const uint64_t wrap = std::min(len - done, phase);
  std::memcpy(out + done, period, wrap * sizeof(T));
  done += wrap;
  // From here on `done` is a multiple of p until the last, possibly partial, copy.
  while (done < len) {
    const uint64_t m = std::min({done, span, len - done});
    std::memcpy(out + done, out, m * sizeof(T));
    done += m;
  }
}

// Bytes of a chunk that a task passes through its host array at a time: few enough that the
// array is still in the core's second-level cache when it is read back, so the check's own
// traffic is the device buffers' alone.
constexpr uint64_t kPieceBytes = uint64_t{256} << 10;
template <typename T>
constexpr uint64_t PieceElements() {
  return kPieceBytes / sizeof(T);
}
// A fill's piece: the whole periods of p elements in a piece, so that every piece starts at the
// same phase of the pattern.
template <typename T>
constexpr uint64_t FillPieceElements(uint64_t p) {
  return PieceElements<T>() / p * p;
}

// Host arrays of the chunk tasks, shared by all pool threads of the process and handed out
// last-released first: the array a task gets is then most often one that another task has just
// used and that is still in the cache, instead of one of twenty per-thread arrays that were
// all pushed out by the chunks in between. Acquire returns nullptr when memory is exhausted.
struct Staging {
  void* data = nullptr;
  size_t capacity = 0;
};
Staging AcquireStaging(size_t bytes);
void ReleaseStaging(Staging staging);
// Arrays made from now on hold at least `bytes` (the largest chunk of the run), so that one
// array serves every step of a sweep: a step that needs more than the last one would otherwise
// map fresh memory and fault it in again. Kept arrays that are smaller are freed; the size
// only grows.
void ReserveStaging(size_t bytes);
// Frees every kept array and forgets the reserved size, at the end of a run. Arrays still out
// are freed or kept as usual when they come back.
void ReleaseAllStaging();

// True when the two byte ranges differ anywhere (the C library's memcmp, which picks the
// widest vectors of the processor at run time).
bool BytesDiffer(const void* a, const void* b, size_t bytes);

// The expected values of a check, generated from one period of their pattern instead of being
// stored and read back: value k of the run at phase q is period[(q + k) % p]. The tile holds
// whole periods from phase 0 and a check block beyond the last phase, so that At(q) lines up
// with the pattern for kCheckBlockElements elements.
template <typename T>
class PatternTile {
 public:
  static constexpr uint64_t kMaxPeriod = kMaxPatternPeriod;
  PatternTile(const T* period, uint64_t p) : p_(p) {
    FillPeriodic(tile_, kCheckBlockElements + p, period, p, 0);
  }
  const T* At(uint64_t phase) const { return tile_ + phase % p_; }

 private:
  T tile_[kCheckBlockElements + kMaxPeriod];
  uint64_t p_;
};

// Calls visit(k, e), in increasing k, for every element k of each block of kCheckBlockElements
// of data[0, len) that holds at least one element whose bit pattern differs from the expected
// e, the pattern starting at `phase`. Elements with equal patterns cannot fail any check (their
// difference is zero, or NaN for a NaN), so only those blocks need the exact element test.
template <typename T, typename F>
void VisitDifferingBlocks(const PatternTile<T>& expected, uint64_t phase, const T* data,
                          uint64_t len, F&& visit) {
  for (uint64_t b = 0; b < len; b += kCheckBlockElements) {
    const uint64_t m = std::min(kCheckBlockElements, len - b);
    const T* e = expected.At(phase + b);
    if (!BytesDiffer(e, data + b, m * sizeof(T))) continue;
    for (uint64_t k = 0; k < m; ++k) visit(b + k, e[k]);
  }
}

}  // namespace pattern_detail

namespace reduce_detail {

// Start value per operation: sum 0, prod 1, max 0, min 255 (above every pattern value).
constexpr int kIdentity[4] = {0, 1, 0, 255};
static_assert(kIdentity[3] >= static_cast<int>(ReduceValue(false, kReducePeriod - 1)) &&
                  kIdentity[3] >= static_cast<int>(ReduceValue(true, kHalfReducePeriod - 1)),
              "min starts above every value of the reduce pattern");

// Integer arithmetic that wraps like the card's instead of overflowing.
template <typename T>
T Apply(int op, T acc, T c) {
  if constexpr (std::is_integral<T>::value) {
    using U = typename std::make_unsigned<T>::type;
    switch (op) {
      case oxclProd:
        return static_cast<T>(static_cast<U>(static_cast<U>(acc) * static_cast<U>(c)));
      case oxclMax:
        return acc < c ? c : acc;
      case oxclMin:
        return acc > c ? c : acc;
      default:
        return static_cast<T>(static_cast<U>(static_cast<U>(acc) + static_cast<U>(c)));
    }
  } else {
    switch (op) {
      case oxclProd:
        return acc * c;
      case oxclMax:
        return acc < c ? c : acc;
      case oxclMin:
        return acc > c ? c : acc;
      default:
        return acc + c;
    }
  }
}

inline int StartValue(int op) { return (op >= 0 && op <= 3) ? kIdentity[op] : 0; }

// The folds over ranks r of f(x + r), one per kind of element, so that the kind is chosen once
// per chunk and not per element.
inline uint16_t FoldFloat16(bool half, int op, uint64_t x, uint64_t n) {
  auto to_bits = [half](float v) {
    return static_cast<uint16_t>(half ? float2half(v) : float2bf16_rn(v));
  };
  auto to_float = [half](uint16_t b) { return half ? half2float(b) : bf16Tofloat(b); };
  uint16_t acc = to_bits(static_cast<float>(StartValue(op)));
  for (uint64_t r = 0; r < n; ++r) {
    float c = static_cast<float>(ReduceValue(true, x + r));
    acc = to_bits(Apply<float>(op, to_float(acc), c));
  }
  return acc;
}

inline int32_t FoldByte(bool is_signed, bool saturate, int op, uint64_t x, uint64_t n) {
  int32_t acc = StartValue(op);
  for (uint64_t r = 0; r < n; ++r) {
    int32_t v = Apply<int32_t>(op, acc, static_cast<int32_t>(ReduceValue(false, x + r)));
    if (saturate) {
      acc = is_signed ? (v < -128 ? -128 : (v > 127 ? 127 : v))
                      : (static_cast<uint32_t>(v) > 255u ? 255 : v);
    } else {
      acc = is_signed ? static_cast<int8_t>(v) : (v & 0xFF);
    }
  }
  return acc;
}

template <typename T>
T FoldPlain(int op, uint64_t x, uint64_t n) {
  T acc = static_cast<T>(StartValue(op));
  for (uint64_t r = 0; r < n; ++r) {
    acc = Apply<T>(op, acc, static_cast<T>(ReduceValue(false, x + r)));
  }
  return acc;
}

}  // namespace reduce_detail

template <typename T>
uint64_t Algorithm::ReducePeriod(const ThreadInfo* info, T* period) const {
  const int op = static_cast<int>(CurrentOp(info));
  const oxclDataType_t type = CurrentType(info);
  const uint64_t n = RankCount();
  // The fold depends on the pattern index only modulo the pattern's period.
  if (type == oxclFloat16 || type == oxclBfloat16) {
    const bool half = type == oxclFloat16;
    for (uint64_t x = 0; x < kHalfReducePeriod; ++x) {
      period[x] = static_cast<T>(reduce_detail::FoldFloat16(half, op, x, n));
    }
    return kHalfReducePeriod;
  }
  if (type == oxclInt8 || type == oxclUint8) {
    const bool saturate = context->card_name.find("OPU150") != std::string::npos ||
                          context->card_name.find("OPU190") != std::string::npos;
    for (uint64_t x = 0; x < kReducePeriod; ++x) {
      period[x] = static_cast<T>(reduce_detail::FoldByte(type == oxclInt8, saturate, op, x, n));
    }
    return kReducePeriod;
  }
  for (uint64_t x = 0; x < kReducePeriod; ++x) period[x] = reduce_detail::FoldPlain<T>(op, x, n);
  return kReducePeriod;
}

template <typename T>
benchmarkResult_t Algorithm::InitReduce(ThreadInfo* info, int i, uint64_t start, uint64_t g,
                                        uint64_t len) {
  const int op = static_cast<int>(CurrentOp(info));
  if (op < 0 || op > 3) {
    for (uint64_t k = 0; k < len; ++k) OXLOG(ERROR) << op << ": wrong reduce operation\n";
  }
  T period[kReducePeriod] = {};
  const uint64_t p = ReducePeriod<T>(info, period);
  const uint64_t base = g * kChunkElements + start + (CurrentInPlace(info) ? 0 : 1);
  T* expected = static_cast<T*>(info->host_buffs[i]) + g * kChunkElements;
  pattern_detail::FillPeriodic(expected, len, period, p, base % p, true);
  return BENCHMARK_SUCCESS;
}

}  // namespace oxcl_benchmark

#endif  // OXCL_BENCHMARK_ALGORITHM_H_
