// The all-reduce collective, the send pattern, expected values and element check that the
// reduce-scatter collective shares with it, and the element helpers of every data check.
#ifndef OXCL_BENCHMARK_ALLREDUCE_H_
#define OXCL_BENCHMARK_ALLREDUCE_H_

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <sstream>
#include <string>
#include <type_traits>

#include "algorithm.h"

namespace oxcl_benchmark {

class Allreduce : public Algorithm {
 public:
  Allreduce() : Allreduce("AllReduce", 12) {}

  benchmarkResult_t SetParam(ThreadInfo* info) override;
  benchmarkResult_t RunAlgo(ThreadInfo* info, void* sendbuff, void* recvbuff,
                            int comm_index) override;
  benchmarkResult_t InitData(ThreadInfo* info, size_t iteration) override {
    return ChunkWork<true>(this, info, iteration, info->send_count);
  }
  benchmarkResult_t Check(ThreadInfo* info, size_t iteration) override {
    return ChunkWork<false>(this, info, iteration, info->recv_count);
  }
  bool Reduces() const override { return true; }
  // In place the send data (recv_count elements or more) fills the receive buffer from its start.
  bool FillCoversReceive(const ThreadInfo* info) const override { return CurrentInPlace(info); }

  // Fills chunk g (len elements) of communicator i's send data.
  template <typename T>
  benchmarkResult_t InitBuff(ThreadInfo* info, int i, uint64_t g, uint64_t len, int iteration);
  // Compares chunk g (len elements) of communicator i's received data with the expected values.
  template <typename T>
  benchmarkResult_t CheckDelta(ThreadInfo* info, int i, uint64_t g, uint64_t len, int iteration);

 protected:
  Allreduce(const std::string& name, uint64_t col_num) : Algorithm(name, col_num) {}

  // Every rank's part is reduced on its way round and the result passed round again.
  double BusBandwidth(double algo_bw, double n) const override {
    return ((n - 1) * 2 / n) * algo_bw;
  }

  // Where this rank's result lies: the element the expected values start from in the pattern,
  // and the element of the receive buffer the result starts at (both 0 for all-reduce).
  virtual uint64_t ResultStart(const ThreadInfo*, int) const { return 0; }
  virtual uint64_t ResultOffset(const ThreadInfo*, int) const { return 0; }
};

namespace check_detail {

// Ends the process after a failed device call inside a chunk task: the chunk's data would be
// meaningless and the worker cannot be told from a pool thread.
[[noreturn]] inline void RtFatal(oxrtError_t code, const std::string& call = std::string()) {
  OXLOG(ERROR) << StrFmt("error msg: %s", oxrtGetErrorName(code));
  LogFailedCall(call);
  FatalExit(1);
}

// Relative difference of a received element d from the expected e. The magnitude of e is the
// denominator, so negative expected values are checked too, and the difference is formed wide
// enough that no non-zero difference of a narrow type folds to zero or a negative value.
template <typename T>
double RelativeDiff(oxclDataType_t type, T e, T d) {
  double ev, diff;
  if (type == oxclFloat16 || type == oxclBfloat16) {
    const bool half = type == oxclFloat16;
    const float fe = half ? half2float(static_cast<uint16_t>(e)) : bf16Tofloat(static_cast<uint16_t>(e));
    const float fd = half ? half2float(static_cast<uint16_t>(d)) : bf16Tofloat(static_cast<uint16_t>(d));
    diff = std::fabs(fe - fd);
    ev = fe;
  } else if constexpr (std::is_integral<T>::value) {
    using U = typename std::make_unsigned<T>::type;
    const U du = static_cast<U>(d), eu = static_cast<U>(e);
    diff = static_cast<double>(d > e ? static_cast<U>(du - eu) : static_cast<U>(eu - du));
    ev = static_cast<double>(e);
  } else {
    diff = std::fabs(static_cast<double>(d) - static_cast<double>(e));
    ev = static_cast<double>(e);
  }
  return diff / (std::fabs(ev) + 1e-9);
}

// True when the two elements have the same bit pattern.
template <typename T>
bool SameBits(T a, T b) {
  return std::memcmp(&a, &b, sizeof(T)) == 0;
}

// True for a float16 element at or beyond the largest finite magnitude, 65504 (NaN is not).
template <typename T>
bool AtHalfBound(T v) {
  return std::fabs(half2float(static_cast<uint16_t>(v))) >= 65504.0f;
}

// An element as the mismatch line shows it: 16-bit floats as their value, bytes as characters.
template <typename T>
std::string Show(oxclDataType_t type, T v) {
  std::ostringstream os;
  if (type == oxclFloat16) os << half2float(static_cast<uint16_t>(v));
  else if (type == oxclBfloat16) os << bf16Tofloat(static_cast<uint16_t>(v));
  else if constexpr (sizeof(T) == 1) os << static_cast<char>(v);
  else os << v;
  return os.str();
}

// A small non-negative integer as an element of the type: 16-bit floats by their bit patterns,
// the others by conversion (so int8 holds v - 256 for v >= 128).
template <typename T>
T Store(oxclDataType_t type, uint64_t v) {
  if (type == oxclFloat16) return static_cast<T>(float2half(static_cast<float>(v)));
  if (type == oxclBfloat16) return static_cast<T>(float2bf16_rn(static_cast<float>(v)));
  return static_cast<T>(v);
}

// period[v] = v for v in [0, P): one period of a pattern that counts up, as elements of the type.
template <typename T, uint64_t P>
void StoreCounting(oxclDataType_t type, T (&period)[P]) {
  for (uint64_t v = 0; v < P; ++v) period[v] = Store<T>(type, v);
}

// Copies host array `src` of len elements to the device; a failure ends the process.
template <typename T>
void CopyToDevice(void* dst, const T* src, uint64_t len, unsigned type_size) {
  const oxrtError_t code = oxrtMemcpy(dst, src, len * type_size, oxrtMemcpyHostToDevice);
  if (code != oxrtSuccess) {
    check_detail::RtFatal(code, StrFmt("oxrtMemcpy(host to device, %llu bytes)",
                                       static_cast<unsigned long long>(len * type_size)));
  }
}

// Copies len elements of card `device` to host array dst; a failure ends the process.
template <typename T>
void CopyToHost(T* dst, const void* src, uint64_t len, unsigned type_size, int device) {
  const oxrtError_t code = oxrtMemcpy(dst, src, len * type_size, oxrtMemcpyDeviceToHost);
  if (code != oxrtSuccess) {
    check_detail::RtFatal(code, StrFmt("oxrtMemcpy(card %d to host, %llu bytes)", device,
                                       static_cast<unsigned long long>(len * type_size)));
  }
}

// A host array of len elements for one chunk task, given back when it goes out of scope. A
// failed allocation is logged and leaves get() null; the caller decides what that means.
template <typename T>
class HostArray {
 public:
  HostArray(uint64_t len, unsigned type_size, const char* where)
      : staging(pattern_detail::AcquireStaging(len * sizeof(T))) {
    if (staging.data == nullptr) {
      OXLOG(ERROR) << "failed to malloc host memory of data in " << where
                   << ", buffer size:" << len * type_size;
    }
  }
  ~HostArray() { pattern_detail::ReleaseStaging(staging); }
  HostArray(const HostArray&) = delete;
  HostArray& operator=(const HostArray&) = delete;
  T* get() const { return static_cast<T*>(staging.data); }

 private:
  pattern_detail::Staging staging;
};

// Writes len elements of the pattern period[(phase + k) % p] to device memory at dst, through
// one host array of whole periods: every piece then starts at the phase of the first, so the
// array is filled once for the whole chunk. A failed allocation ends the process.
template <typename T>
void FillDevice(char* dst, uint64_t len, const T* period, uint64_t p, uint64_t phase,
                unsigned type_size) {
  if (len == 0) return;
  const uint64_t piece = std::min(len, pattern_detail::FillPieceElements<T>(p));
  const HostArray<T> host_array(piece, type_size, "InitBuff");
  T* host = host_array.get();
  if (host == nullptr) FatalExit(1);
  pattern_detail::FillPeriodic(host, piece, period, p, phase);
  for (uint64_t a = 0; a < len; a += piece) {
    CopyToDevice(dst + a * type_size, host, std::min(piece, len - a), type_size);
  }
}

}  // namespace check_detail

template <typename T>
benchmarkResult_t Allreduce::InitBuff(ThreadInfo* info, int i, uint64_t g, uint64_t len,
                                      int iteration) {
  const oxclDataType_t type = CurrentType(info);
  const unsigned s = context->GetTypeSize(type);
  const bool inplace = CurrentInPlace(info);
  const uint64_t o = info->GetAddrOffset(context, iteration);
  char* dst = static_cast<char*>(inplace ? info->recv_buffs[i] : info->send_buffs[i]) + o * s +
              g * kChunkElements * sizeof(T);
  const uint64_t r = static_cast<uint64_t>(RankOf(info, i));
  const uint64_t shift = inplace ? 0 : 1;
  const bool float16 = type == oxclFloat16 || type == oxclBfloat16;
  // One period of the pattern, repeated over the chunk. The expected values are not stored:
  // the check generates them from their own period (ReducePeriod).
  const uint64_t p = ReducePatternPeriod(float16);
  T period[kReducePeriod];
  for (uint64_t v = 0; v < p; ++v) {
    period[v] = check_detail::Store<T>(type, ReduceValue(float16, v));
  }
  check_detail::FillDevice(dst, len, period, p, (g * kChunkElements + r + shift) % p, s);
  return BENCHMARK_SUCCESS;
}

template <typename T>
benchmarkResult_t Allreduce::CheckDelta(ThreadInfo* info, int i, uint64_t g, uint64_t len,
                                        int iteration) {
  const oxclDataType_t type = CurrentType(info);
  const unsigned s = context->GetTypeSize(type);
  const bool inplace = CurrentInPlace(info);
  const uint64_t o = info->GetAddrOffset(context, iteration);
  const int r = RankOf(info, i);
  oxrtError_t code = oxrtSetDevice(DeviceOf(info, i));
  if (code != oxrtSuccess) {
    check_detail::RtFatal(code, StrFmt("oxrtSetDevice(card %d)", DeviceOf(info, i)));
  }
  const uint64_t piece = std::min(len, pattern_detail::PieceElements<T>());
  const check_detail::HostArray<T> data_array(piece, s, "CheckDelta");
  T* data = data_array.get();
  if (len != 0 && data == nullptr) return BENCHMARK_FAILURE;
  const char* src = static_cast<const char*>(info->recv_buffs[i]) +
                    (o + ResultOffset(info, i)) * s + g * kChunkElements * sizeof(T);
  // Element x of this rank's result is the reduction at pattern index x + ResultStart (+ 1 out
  // of place), which repeats with the pattern's period.
  T period[kReducePeriod];
  const uint64_t p = ReducePeriod<T>(info, period);
  const pattern_detail::PatternTile<T> expected(period, p);
  const uint64_t phase = g * kChunkElements + ResultStart(info, i) + (inplace ? 0 : 1);
  // Cards of this family saturate float16 at the largest finite value instead of following
  // the host model: an element at that bound, expected or received, cannot be compared. Every
  // other element still is.
  const bool saturating =
      type == oxclFloat16 && context->card_name.find("OPU1") != std::string::npos;
  // Where every bit of the result is known, any difference is a fault; elsewhere libraries
  // may round differently and the tolerance applies, but a NaN never passes it.
  const bool exact =
      ExactReduction(type, CurrentOp(info), RankCount(), context->check_exact);
  const double tolerance = GetDelta(type);
  for (uint64_t a = 0; a < len; a += piece) {
    const uint64_t m = std::min(piece, len - a);
    check_detail::CopyToHost(data, src + a * s, m, s, DeviceOf(info, i));
    pattern_detail::VisitDifferingBlocks(expected, (phase + a) % p, data, m, [&](uint64_t k, T e) {
      if (saturating && (check_detail::AtHalfBound(e) || check_detail::AtHalfBound(data[k]))) {
        return;
      }
      if (exact ? !check_detail::SameBits(e, data[k])
                : !(check_detail::RelativeDiff<T>(type, e, data[k]) <= tolerance)) {
        CountMismatch(info, g * kChunkElements + a + k, check_detail::Show<T>(type, e),
                      check_detail::Show<T>(type, data[k]), r, inplace);
      }
    });
  }
  return BENCHMARK_SUCCESS;
}

}  // namespace oxcl_benchmark

#endif  // OXCL_BENCHMARK_ALLREDUCE_H_
