// The all-gather collective, and the exact check that the all-to-all
// collective shares with it.
#ifndef OXCL_BENCHMARK_ALLGATHER_H_
#define OXCL_BENCHMARK_ALLGATHER_H_

#include <cstdint>

#include "algorithm.h"
#include "allreduce.h"

namespace oxcl_benchmark {

class Allgather : public Algorithm {
 public:
  Allgather() : Algorithm("AllGather", 11) {}

  benchmarkResult_t SetParam(ThreadInfo* info) override;
  benchmarkResult_t RunAlgo(ThreadInfo* info, void* sendbuff, void* recvbuff,
                            int comm_index) override;
  benchmarkResult_t InitData(ThreadInfo* info, size_t iteration) override {
    return ChunkWork<true>(this, info, iteration, info->span_count);
  }
  benchmarkResult_t Check(ThreadInfo* info, size_t iteration) override {
    return ChunkWork<false>(this, info, iteration, info->recv_count);
  }

  // Fills chunk g (len elements) of communicator i's gathered buffer: its part of this rank's
  // block on the device.
  template <typename T>
  benchmarkResult_t InitBuff(ThreadInfo* info, int i, uint64_t g, uint64_t len, int iteration);
  template <typename T>
  benchmarkResult_t CheckDelta(ThreadInfo* info, int i, uint64_t g, uint64_t len, int iteration);

  // Value v of the gather pattern for element k of rank r's block (o: 1 out of place).
  static uint64_t BlockValue(uint64_t k, uint64_t r, uint64_t o) {
    return (k + r + o) % kGatherPeriod;
  }
  // Expected value of element x of the gathered buffer of n blocks of c elements.
  static uint64_t GatheredValue(uint64_t x, uint64_t c, uint64_t n, uint64_t o) {
    return (x % c + (x / c) % n + o) % kGatherPeriod;
  }

 protected:
  // The n blocks of the gathered buffer.
  double OperationBytes(const ThreadInfo* info, double s, double n) const override {
    return s * static_cast<double>(info->coll_count) * n;
  }
};

template <typename T>
benchmarkResult_t Allgather::InitBuff(ThreadInfo* info, int i, uint64_t g, uint64_t len,
                                      int iteration) {
  const oxclDataType_t type = CurrentType(info);
  const unsigned ts = context->GetTypeSize(type);
  const bool inplace = CurrentInPlace(info);
  const uint64_t o = inplace ? 0 : 1;
  const uint64_t off = info->GetAddrOffset(context, iteration);
  const uint64_t start = g * kChunkElements;
  const uint64_t r = static_cast<uint64_t>(RankOf(info, i));
  const uint64_t c = info->send_count;
  // Only this rank's block is sent; the check generates the gathered values it expects.
  if (start >= c) return BENCHMARK_SUCCESS;
  T period[kGatherPeriod];
  check_detail::StoreCounting(type, period);
  const uint64_t m = std::min(len, c - start);
  // In place the block sits at its own position of the gathered buffer.
  char* dst = inplace ? static_cast<char*>(info->recv_buffs[i]) + r * info->coll_count * ts
                      : static_cast<char*>(info->send_buffs[i]);
  dst += (start + off) * ts;
  check_detail::FillDevice(dst, m, period, kGatherPeriod, BlockValue(start, r, o), ts);
  return BENCHMARK_SUCCESS;
}

// Compares chunk g of communicator i's receive buffer exactly with the values its blocks of c
// elements must hold: within a block the values run on through period[0, p), and the block
// holding element x starts it at phase phase_of(x). Data is only moved, so any bit that differs
// is a fault (a sign flipped on zero or a NaN included). mismatch(index, expect, data) records
// one wrong element.
template <typename T, typename P, typename F>
benchmarkResult_t CheckExact(Context* context, ThreadInfo* info, int i, uint64_t g, uint64_t len,
                             int iteration, oxclDataType_t type, int device, const T* period,
                             uint64_t p, uint64_t c, P&& phase_of, F&& mismatch) {
  const unsigned ts = context->GetTypeSize(type);
  const uint64_t off = info->GetAddrOffset(context, iteration);
  oxrtError_t code = oxrtSetDevice(device);
  if (code != oxrtSuccess) check_detail::RtFatal(code, StrFmt("oxrtSetDevice(card %d)", device));
  const uint64_t piece = std::min(len, pattern_detail::PieceElements<T>());
  const check_detail::HostArray<T> data_array(piece, ts, "CheckDelta");
  T* data = data_array.get();
  if (len != 0 && data == nullptr) return BENCHMARK_FAILURE;
  const uint64_t start = g * kChunkElements;
  const char* src = static_cast<const char*>(info->recv_buffs[i]) + (start + off) * ts;
  const pattern_detail::PatternTile<T> expected(period, p);
  for (uint64_t a = 0; a < len && c != 0; a += piece) {
    const uint64_t first = start + a, m = std::min(piece, len - a);
    check_detail::CopyToHost(data, src + a * ts, m, ts, device);
    for (uint64_t x = first; x < first + m;) {
      const uint64_t end = std::min(first + m, (x / c + 1) * c);
      const uint64_t at = x - first;
      pattern_detail::VisitDifferingBlocks(expected, phase_of(x), data + at, end - x,
                                           [&](uint64_t k, T e) {
        if (!check_detail::SameBits(e, data[at + k])) {
          mismatch(x + k, check_detail::Show<T>(type, e),
                   check_detail::Show<T>(type, data[at + k]));
        }
      });
      x = end;
    }
  }
  return BENCHMARK_SUCCESS;
}

template <typename T>
benchmarkResult_t Allgather::CheckDelta(ThreadInfo* info, int i, uint64_t g, uint64_t len,
                                        int iteration) {
  const oxclDataType_t type = CurrentType(info);
  const int r = RankOf(info, i);
  const bool inplace = CurrentInPlace(info);
  const uint64_t o = inplace ? 0 : 1;
  const uint64_t c = info->send_count, n = RankCount();
  T period[kGatherPeriod];
  check_detail::StoreCounting(type, period);
  return CheckExact<T>(context, info, i, g, len, iteration, type, DeviceOf(info, i), period,
                       kGatherPeriod, c, [&](uint64_t x) { return GatheredValue(x, c, n, o); },
                       [&](uint64_t index, const std::string& e, const std::string& d) {
                         CountMismatch(info, index, e, d, r, inplace);
                       });
}

}  // namespace oxcl_benchmark

#endif  // OXCL_BENCHMARK_ALLGATHER_H_
