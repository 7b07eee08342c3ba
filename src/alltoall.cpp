// bench-alltoall: every rank sends one block to every rank and receives one from each, through
// the interface that BENCHMARK_ALLTOALL_API selects.
#include "alltoall.h"

#include <vector>

#include "dl_wrapper.h"

namespace oxcl_benchmark {

namespace {
// After a failed run-time bound entry point, whose wrapper has already said why: which one.
void LogWrapperFailure(const char* entry) {
  OXLOG(ERROR) << StrFmt("error msg: %s return error or load symbol error", entry);
}
}  // namespace

const Algorithm::TableLayout AllToAll::kLayout = {
    false, "# %11s %12s %11s   ", " %16s %17s %16s %15s  ", "  %11li %12li %11s   ",
    " %16.3lf %17.2lf %16.2lf %15li  "};

benchmarkResult_t AllToAll::SetParam(ThreadInfo* info) {
  const uint64_t n = RankCount();
  const uint64_t t = n * (info->count / n);
  info->send_count = info->recv_count = info->span_count = t;
  info->coll_count = t / n;
  return BENCHMARK_SUCCESS;
}

benchmarkResult_t AllToAll::RunAlgo(ThreadInfo* info, void* sendbuff, void* recvbuff,
                                    int comm_index) {
  oxclComm* comm = CommOf(info, comm_index);
  OXqueue_st* queue = info->queues[comm_index];
  const oxclDataType_t type = CurrentType(info);
  int peers = 0;
  const oxclResult_t count_rc = oxclGetCommCount(&peers, comm);
  if (count_rc != oxclSuccess) {
    OxclFatal(__FILE__, __LINE__, count_rc,
              StrFmt("oxclGetCommCount(card %d, rank %d)", DeviceOf(info, comm_index),
                     RankOf(info, comm_index)));
  }
  const uint64_t step = info->coll_count * context->GetTypeSize(type);
  char* send = static_cast<char*>(sendbuff);
  char* recv = static_cast<char*>(recvbuff);
  if (context->alltoall_api == 1) {
    const benchmarkResult_t r =
        oxclAlltoAll_dl(send, recv, info->coll_count, type, comm, queue, context);
    if (r != BENCHMARK_SUCCESS) {
      LogWrapperFailure("oxclAlltoAll");
      LogFailedCall(DescribeCall("oxclAlltoAll", info, comm_index, info->coll_count, false));
    }
    return r;
  }
  if (context->alltoall_api == 2) return RunGroup(info, send, recv, peers, step, comm, queue);
  const size_t p = peers > 0 ? static_cast<size_t>(peers) : 0;
  std::vector<const void*> send_addr(p);
  std::vector<void*> recv_addr(p);
  std::vector<uint32_t> send_counts(p, static_cast<uint32_t>(info->coll_count));
  std::vector<uint32_t> recv_counts(p, static_cast<uint32_t>(info->coll_count));
  std::vector<oxclDataType_t> send_types(p, type), recv_types(p, type);
  for (size_t j = 0; j < p; ++j) {
    send_addr[j] = send + j * step;
    recv_addr[j] = recv + j * step;
  }
  const oxclResult_t rc =
      oxclAlltoAllv(send_addr.data(), send_counts.data(), send_types.data(), recv_addr.data(),
                    recv_counts.data(), recv_types.data(), comm, queue);
  return CheckCall(rc, "oxclAlltoAllv", info, comm_index, info->coll_count, false);
}

benchmarkResult_t AllToAll::RunGroup(ThreadInfo* info, char* send, char* recv, int peers,
                                     uint64_t step, oxclComm* comm, OXqueue_st* queue) {
  const oxclDataType_t type = CurrentType(info);
  benchmarkResult_t r = oxclGroupStart_dl(context);
  if (r != BENCHMARK_SUCCESS) {
    LogWrapperFailure("oxclGroupStart");
    return r;
  }
  for (int j = 0; j < peers; ++j) {
    const uint64_t at = static_cast<uint64_t>(j) * step;
    oxclResult_t rc = oxclSend(send + at, info->coll_count, type, j, comm, queue);
    if (rc == oxclSuccess) rc = oxclRecv(recv + at, info->coll_count, type, j, comm, queue);
    if (rc != oxclSuccess) {
      return CheckStatus(rc, context, [&] {
        return StrFmt("oxclSend/oxclRecv(peer %d, count %llu, type %s)", j,
                      static_cast<unsigned long long>(info->coll_count),
                      context->data_type_names[info->type_index].c_str());
      });
    }
  }
  r = oxclGroupEnd_dl(context);
  if (r != BENCHMARK_SUCCESS) LogWrapperFailure("oxclGroupEnd");
  return r;
}

}  // namespace oxcl_benchmark
