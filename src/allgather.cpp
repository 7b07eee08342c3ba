// bench-allgather: every rank contributes one block and receives the blocks of all ranks.
#include "allgather.h"

namespace oxcl_benchmark {

benchmarkResult_t Allgather::SetParam(ThreadInfo* info) {
  const uint64_t n = RankCount();
  const uint64_t c = info->count / n;
  info->send_count = info->coll_count = c;
  info->recv_count = info->span_count = n * c;
  return BENCHMARK_SUCCESS;
}

benchmarkResult_t Allgather::RunAlgo(ThreadInfo* info, void* sendbuff, void* recvbuff,
                                     int comm_index) {
  const oxclDataType_t type = CurrentType(info);
  const char* send = static_cast<const char*>(sendbuff);
  // In place the library reads this rank's block from its position in the receive buffer.
  if (CurrentInPlace(info)) {
    send += static_cast<uint64_t>(RankOf(info, comm_index)) * info->coll_count *
            context->GetTypeSize(type);
  }
  const oxclResult_t rc = oxclAllGather(send, recvbuff, info->coll_count, type,
                                        CommOf(info, comm_index), info->queues[comm_index]);
  return CheckCall(rc, "oxclAllGather", info, comm_index, info->coll_count, false);
}

}  // namespace oxcl_benchmark
