// bench-reducescatter: every rank contributes n slices and receives the reduction of its own.
#include "reducescatter.h"

namespace oxcl_benchmark {

benchmarkResult_t Reducescatter::SetParam(ThreadInfo* info) {
  const uint64_t c = info->count / RankCount();
  info->recv_count = info->coll_count = c;
  info->send_count = info->span_count = RankCount() * c;
  return BENCHMARK_SUCCESS;
}

benchmarkResult_t Reducescatter::RunAlgo(ThreadInfo* info, void* sendbuff, void* recvbuff,
                                         int comm_index) {
  const oxclDataType_t type = CurrentType(info);
  char* recv = static_cast<char*>(recvbuff);
  if (CurrentInPlace(info)) recv += ResultStart(info, comm_index) * context->GetTypeSize(type);
  const oxclResult_t rc = oxclReduceScatter(sendbuff, recv, info->recv_count, type,
                                            CurrentOp(info), CommOf(info, comm_index),
                                            info->queues[comm_index]);
  return CheckCall(rc, "oxclReduceScatter", info, comm_index, info->recv_count, true);
}

}  // namespace oxcl_benchmark
