// bench-allreduce: every rank contributes the whole vector and receives the whole reduction.
#include "allreduce.h"

namespace oxcl_benchmark {

benchmarkResult_t Allreduce::SetParam(ThreadInfo* info) {
  info->send_count = info->recv_count = info->coll_count = info->span_count = info->count;
  return BENCHMARK_SUCCESS;
}

benchmarkResult_t Allreduce::RunAlgo(ThreadInfo* info, void* sendbuff, void* recvbuff,
                                     int comm_index) {
  const oxclResult_t rc = oxclAllReduce(sendbuff, recvbuff, info->coll_count, CurrentType(info),
                                        CurrentOp(info), CommOf(info, comm_index),
                                        info->queues[comm_index]);
  return CheckCall(rc, "oxclAllReduce", info, comm_index, info->coll_count, true);
}

}  // namespace oxcl_benchmark
