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
  if (rc != oxclSuccess) {
    OXLOG(ERROR) << StrFmt("error msg: %s", oxclGetErrorStr(rc));
    LogFailedCall(DescribeCall("oxclAllReduce", info, comm_index, info->coll_count, true));
    context->NotifyExit();
    return BENCHMARK_FAILURE;
  }
  return BENCHMARK_SUCCESS;
}

benchmarkResult_t Allreduce::GetDataRate(ThreadInfo* info, double seconds) {
  const int s = static_cast<int>(context->GetTypeSize(CurrentType(info)));
  const double n = static_cast<double>(RankCount());
  const double algo_bw = Bandwidth(static_cast<double>(s) * static_cast<double>(info->count), seconds);
  const double bus_bw = ((n - 1) * 2 / n) * algo_bw;
  return PrintLine(info, seconds, algo_bw, bus_bw, s);
}

benchmarkResult_t Allreduce::InitData(ThreadInfo* info, size_t iteration) {
  return RunChunks(info, iteration, info->send_count, true, [=](int i, uint64_t g, uint64_t len) {
    return WithElementType(CurrentType(info), [&](auto tag) {
      using T = typename decltype(tag)::type;
      return InitBuff<T>(info, i, g, len, static_cast<int>(iteration));
    });
  });
}

benchmarkResult_t Allreduce::Check(ThreadInfo* info, size_t iteration) {
  return RunChunks(info, iteration, info->recv_count, false, [=](int i, uint64_t g, uint64_t len) {
    return WithElementType(CurrentType(info), [&](auto tag) {
      using T = typename decltype(tag)::type;
      return CheckDelta<T>(info, i, g, len, static_cast<int>(iteration));
    });
  });
}

// bench-reducescatter compiles this file for its base class and registers its own collective.
#ifndef OXCL_BENCHMARK_ALLREDUCE_BASE_ONLY
namespace {
DeclareBench allreduce_registration(new Allreduce());
}  // namespace
#endif

}  // namespace oxcl_benchmark
