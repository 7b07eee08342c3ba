// Entry points of newer library versions, absent from the legacy build: groups, the plain
// all-to-all and the link memory query.
#include <vector>

#include "comm.h"
#include "entry.h"
#include "group.h"
#include "launch.h"
#include "log.h"
#include "oxcl.h"
#include "oxsim.h"
#include "remote.h"
#include "validate.h"

using namespace oxcl_sim;

extern "C" {

oxclResult_t oxclGroupStart(void) {
  OXCL_ENTER("oxclGroupStart");
  EnterGroup();
  return oxclSuccess;
}

oxclResult_t oxclGroupEnd(void) {
  OXCL_ENTER("oxclGroupEnd");
  std::vector<QueueBatch> batches;
  bool outermost = false;
  if (!LeaveGroup(&batches, &outermost)) {
    Report("oxclGroupEnd: no group is open on this thread");
    return oxclInvalidUsage;
  }
  if (!outermost) return oxclSuccess;
  // Queued batches first, so they progress while the caller runs its own (null queue) batch.
  oxclResult_t result = oxclSuccess;
  std::vector<P2POp>* inline_batch = nullptr;
  for (QueueBatch& batch : batches) {
    if (batch.first == nullptr) {
      inline_batch = &batch.second;
      continue;
    }
    const oxclResult_t rc = LaunchPointToPoint("oxclGroupEnd", batch.first, std::move(batch.second));
    if (result == oxclSuccess) result = rc;
  }
  if (inline_batch) {
    const oxclResult_t rc = LaunchPointToPoint("oxclGroupEnd", nullptr, std::move(*inline_batch));
    if (result == oxclSuccess) result = rc;
  }
  return result;
}

oxclResult_t oxclAlltoAll(const void* sendbuff, void* recvbuff, uint64_t count,
                          oxclDataType_t datatype, oxclComm* comm, oxrtQueue_t queue) {
  OXCL_ENTER_COLLECTIVE("oxclAlltoAll");
  const char* api = "oxclAlltoAll";
  uint64_t bytes = 0;
  if (oxclResult_t rc = CheckComm(comm, api)) return rc;
  if (oxclResult_t rc = CheckType(api, datatype)) return rc;
  const int n = comm->clique->nranks();
  if (oxclResult_t rc = CheckBytes(api, count, n, datatype, &bytes)) return rc;
  if (oxclResult_t rc = CheckBuffer(api, "send buffer", sendbuff, bytes, comm->card)) return rc;
  if (oxclResult_t rc = CheckBuffer(api, "receive buffer", recvbuff, bytes, comm->card)) return rc;
  if (oxclResult_t rc = CheckAlias(api, sendbuff, bytes, recvbuff, bytes, recvbuff)) return rc;
  CollArgs args;
  args.kind = CollKind::kAlltoAll;
  args.type = datatype;
  args.count = count;
  args.send = sendbuff;
  args.recv = recvbuff;
  args.hang = hangs;
  return LaunchCollective(api, comm, queue, std::move(args));
}

}  // extern "C"

namespace oxcl {

oxclResult_t oxclGetOxwireMemSize(unsigned long* size) {
  OXCL_ENTER("oxclGetOxwireMemSize");
  if (size == nullptr) {
    Report("oxclGetOxwireMemSize: the size pointer is null");
    return oxclInvalidArgument;
  }
  // Ranks of one process exchange data in place; only cliques that span processes hold link
  // buffers.
  *size = static_cast<unsigned long>(LinkBytes());
  return oxclSuccess;
}

}  // namespace oxcl
