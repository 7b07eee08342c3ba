// The all-to-all collective with its three interfaces, its data pattern and its check.
#ifndef OXCL_BENCHMARK_ALLTOALL_H_
#define OXCL_BENCHMARK_ALLTOALL_H_

#include <cstdint>

#include "allgather.h"

namespace oxcl_benchmark {

class AllToAll : public Algorithm {
 public:
  AllToAll() : Algorithm("AlltoAll", 11) {}

  benchmarkResult_t SetParam(ThreadInfo* info) override;
  benchmarkResult_t RunAlgo(ThreadInfo* info, void* sendbuff, void* recvbuff,
                            int comm_index) override;
  benchmarkResult_t InitData(ThreadInfo* info, size_t iteration) override {
    return ChunkWork<true>(this, info, iteration, info->send_count);
  }
  benchmarkResult_t Check(ThreadInfo* info, size_t iteration) override {
    return ChunkWork<false>(this, info, iteration, info->recv_count);
  }
  // In place the send vector is the receive vector.
  bool FillCoversReceive(const ThreadInfo* info) const override { return CurrentInPlace(info); }

  // Fills chunk g (len elements) of communicator i's send data.
  template <typename T>
  benchmarkResult_t InitBuff(ThreadInfo* info, int i, uint64_t g, uint64_t len, int iteration);
  template <typename T>
  benchmarkResult_t CheckDelta(ThreadInfo* info, int i, uint64_t g, uint64_t len, int iteration);

  // Value of element p of rank r's send data (o: 1 out of place).
  static uint64_t SendValue(uint64_t p, uint64_t r, uint64_t o) {
    return (p + r + o) % kAllToAllPeriod;
  }
  // Expected element x of rank r's receive buffer: block x / c comes from rank x / c, which sent
  // its block r there.
  static uint64_t ReceivedValue(uint64_t x, uint64_t c, uint64_t r, uint64_t n, uint64_t o) {
    return (x % c + c * r + (x / c) % n + o) % kAllToAllPeriod;
  }

 protected:
  // The whole send vector, one block to each rank.
  double OperationBytes(const ThreadInfo* info, double s, double) const override {
    return s * static_cast<double>(info->span_count);
  }
  const TableLayout& Layout() const override { return kLayout; }

 private:
  static const TableLayout kLayout;
  benchmarkResult_t RunGroup(ThreadInfo* info, char* send, char* recv, int peers, uint64_t step,
                             oxclComm* comm, OXqueue_st* queue);
};

template <typename T>
benchmarkResult_t AllToAll::InitBuff(ThreadInfo* info, int i, uint64_t g, uint64_t len,
                                     int iteration) {
  const oxclDataType_t type = CurrentType(info);
  const unsigned ts = context->GetTypeSize(type);
  const bool inplace = CurrentInPlace(info);
  const uint64_t o = inplace ? 0 : 1;
  const uint64_t off = info->GetAddrOffset(context, iteration);
  const uint64_t start = g * kChunkElements;
  const uint64_t r = static_cast<uint64_t>(RankOf(info, i));
  char* dst = static_cast<char*>(inplace ? info->recv_buffs[i] : info->send_buffs[i]) +
              (start + off) * ts;
  T period[kAllToAllPeriod];
  check_detail::StoreCounting(type, period);
  // The check generates the values it expects (ReceivedValue).
  check_detail::FillDevice(dst, len, period, kAllToAllPeriod, SendValue(start, r, o), ts);
  return BENCHMARK_SUCCESS;
}

template <typename T>
benchmarkResult_t AllToAll::CheckDelta(ThreadInfo* info, int i, uint64_t g, uint64_t len,
                                       int iteration) {
  // In place is checked too: the library must deliver the same blocks whichever buffer they
  // are sent from, and a mode left unchecked would show zero errors for data never compared.
  const oxclDataType_t type = CurrentType(info);
  const int r = RankOf(info, i);
  const bool inplace = CurrentInPlace(info);
  const uint64_t o = inplace ? 0 : 1;
  const uint64_t c = info->coll_count, n = RankCount();
  const uint64_t rank = static_cast<uint64_t>(r);
  T period[kAllToAllPeriod];
  check_detail::StoreCounting(type, period);
  return CheckExact<T>(context, info, i, g, len, iteration, type, DeviceOf(info, i), period,
                       kAllToAllPeriod, c,
                       [&](uint64_t x) { return ReceivedValue(x, c, rank, n, o); },
                       [&](uint64_t index, const std::string& e, const std::string& d) {
                         CountMismatch(info, index, e, d, r, inplace);
                       });
}

}  // namespace oxcl_benchmark

#endif  // OXCL_BENCHMARK_ALLTOALL_H_
