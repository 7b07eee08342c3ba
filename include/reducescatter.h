// The reduce-scatter collective: the all-reduce send pattern and check, narrowed to the slice
// of the reduction that each rank receives.
#ifndef OXCL_BENCHMARK_REDUCESCATTER_H_
#define OXCL_BENCHMARK_REDUCESCATTER_H_

#include "allreduce.h"

namespace oxcl_benchmark {

class Reducescatter : public Allreduce {
 public:
  Reducescatter() : Allreduce("ReduceScatter", 12) {}

  benchmarkResult_t SetParam(ThreadInfo* info) override;
  benchmarkResult_t RunAlgo(ThreadInfo* info, void* sendbuff, void* recvbuff,
                            int comm_index) override;

 protected:
  // One rank's whole send vector is what moves.
  double OperationBytes(const ThreadInfo* info, double s, double n) const override {
    return s * static_cast<double>(info->recv_count) * n;
  }
  double BusBandwidth(double algo_bw, double n) const override { return ((n - 1) / n) * algo_bw; }
  // Rank r reduces slice r of the send vector: its pattern starts at element r x c.
  uint64_t ResultStart(const ThreadInfo* info, int i) const override {
    return info->recv_count * static_cast<uint64_t>(RankOf(info, i));
  }
  // In place the slice stays at its own position inside the full buffer.
  uint64_t ResultOffset(const ThreadInfo* info, int i) const override {
    return CurrentInPlace(info) ? ResultStart(info, i) : 0;
  }
};

}  // namespace oxcl_benchmark

#endif  // OXCL_BENCHMARK_REDUCESCATTER_H_
