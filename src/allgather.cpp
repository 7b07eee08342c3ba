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
  if (rc != oxclSuccess) {
    OXLOG(ERROR) << StrFmt("error msg: %s", oxclGetErrorStr(rc));
    LogFailedCall(DescribeCall("oxclAllGather", info, comm_index, info->coll_count, false));
    context->NotifyExit();
    return BENCHMARK_FAILURE;
  }
  return BENCHMARK_SUCCESS;
}

benchmarkResult_t Allgather::GetDataRate(ThreadInfo* info, double seconds) {
  const int ts = static_cast<int>(context->GetTypeSize(CurrentType(info)));
  const double n = static_cast<double>(RankCount());
  const double algo_bw =
      Bandwidth(static_cast<double>(ts) * static_cast<double>(info->coll_count) * n, seconds);
  const double bus_bw = algo_bw * (n - 1) / n;
  return PrintLine(info, seconds, algo_bw, bus_bw, ts);
}

benchmarkResult_t Allgather::InitData(ThreadInfo* info, size_t iteration) {
  return RunChunks(info, iteration, info->span_count, true, [=](int i, uint64_t g, uint64_t len) {
    return WithElementType(CurrentType(info), [&](auto tag) {
      using T = typename decltype(tag)::type;
      return InitBuff<T>(info, i, g, len, static_cast<int>(iteration));
    });
  });
}

benchmarkResult_t Allgather::Check(ThreadInfo* info, size_t iteration) {
  return RunChunks(info, iteration, info->recv_count, false, [=](int i, uint64_t g, uint64_t len) {
    return WithElementType(CurrentType(info), [&](auto tag) {
      using T = typename decltype(tag)::type;
      return CheckDelta<T>(info, i, g, len, static_cast<int>(iteration));
    });
  });
}

namespace {
DeclareBench allgather_registration(new Allgather());
}  // namespace

}  // namespace oxcl_benchmark
