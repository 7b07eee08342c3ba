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
  if (rc != oxclSuccess) {
    OXLOG(ERROR) << StrFmt("error msg: %s", oxclGetErrorStr(rc));
    LogFailedCall(DescribeCall("oxclReduceScatter", info, comm_index, info->recv_count, true));
    context->NotifyExit();
    return BENCHMARK_FAILURE;
  }
  return BENCHMARK_SUCCESS;
}

benchmarkResult_t Reducescatter::GetDataRate(ThreadInfo* info, double seconds) {
  const int s = static_cast<int>(context->GetTypeSize(CurrentType(info)));
  const double n = static_cast<double>(RankCount());
  // One rank's whole send vector is what moves.
  const double algo_bw =
      Bandwidth(static_cast<double>(s) * static_cast<double>(info->recv_count) * n, seconds);
  const double bus_bw = ((n - 1) / n) * algo_bw;
  return PrintLine(info, seconds, algo_bw, bus_bw, s);
}

namespace {
DeclareBench reducescatter_registration(new Reducescatter());
}  // namespace

}  // namespace oxcl_benchmark
