// The library's entry points: fault injection, argument checks, then the engine.
#include <unistd.h>

#include <vector>

#include "comm.h"
#include "dtype.h"
#include "entry.h"
#include "group.h"
#include "launch.h"
#include "log.h"
#include "oxcl.h"
#include "oxsim.h"
#include "remote.h"
#include "validate.h"

using namespace oxcl_sim;

namespace {

#ifdef OXCL_SIM_LEGACY
constexpr int kVersion[3] = {1, 6, 0};
#else
constexpr int kVersion[3] = {1, 12, 0};
#endif

}  // namespace

extern "C" {

oxclResult_t oxclGetCliqueId(oxclCliqueId* clique_id) {
  OXCL_ENTER("oxclGetCliqueId");
  if (clique_id == nullptr) {
    Report("oxclGetCliqueId: the clique id pointer is null");
    return oxclInvalidArgument;
  }
  if (!MakeCliqueId(clique_id, WorldRank())) {
    Report("oxclGetCliqueId: no random nonce available");
    return oxclSystemError;
  }
  return oxclSuccess;
}

oxclResult_t oxclInitComms(oxclComm** comms, int n, const int* devs, const int* ranks, int nranks,
                           oxclCliqueId clique_id) {
  OXCL_ENTER("oxclInitComms");
  const char* api = "oxclInitComms";
  if (comms == nullptr || devs == nullptr || ranks == nullptr) {
    Report("%s: the communicator, card and rank arrays must not be null", api);
    return oxclInvalidArgument;
  }
  if (n < 1 || nranks < n) {
    Report("%s: %d communicators for a clique of %d ranks", api, n, nranks);
    return oxclInvalidArgument;
  }
  std::vector<bool> seen(nranks, false);
  for (int i = 0; i < n; ++i) {
    if (ranks[i] < 0 || ranks[i] >= nranks || seen[ranks[i]]) {
      Report("%s: rank %d (entry %d) is out of range 0 to %d or given twice", api, ranks[i], i,
             nranks - 1);
      return oxclInvalidArgument;
    }
    seen[ranks[i]] = true;
    if (devs[i] < 0 || devs[i] >= oxsim::DeviceCount()) {
      Report("%s: card %d (entry %d) does not exist; %d cards are visible", api, devs[i], i,
             oxsim::DeviceCount());
      return oxclInvalidArgument;
    }
  }
  CliqueIdFields id;
  if (!ParseCliqueId(clique_id, &id)) {
    Report("%s: the clique id was not made by oxclGetCliqueId", api);
    return oxclInvalidArgument;
  }
  // Under MPI with several processes, a call that brings only some of the ranks shares the
  // clique with other processes; without MPI the missing ranks can only be this process's.
  const bool several = SeveralProcesses();
  if (id.pid != getpid() && !several) {
    Report("%s: the clique was made by process %lld, and MPI does not run several processes "
           "here; start the processes with an MPI launcher", api, static_cast<long long>(id.pid));
    return oxclInvalidUsage;
  }
  std::shared_ptr<Clique> clique;
  const bool remote = several && n < nranks;
  if (oxclResult_t rc = remote ? JoinRemoteClique(id, nranks, ranks, n, devs[0], &clique)
                               : JoinClique(id, nranks, ranks, n, &clique))
    return rc;
  for (int i = 0; i < n; ++i) {
    comms[i] = NewComm(clique, ranks[i], devs[i]);
    if (remote) comms[i]->transport = &RemoteTransport();
  }
  return oxclSuccess;
}

oxclResult_t oxclSetCommConfig(oxclComm* comm, const oxclCommConfig_t* config) {
  OXCL_ENTER("oxclSetCommConfig");
  if (oxclResult_t rc = CheckComm(comm, "oxclSetCommConfig")) return rc;
  if (config == nullptr) {
    Report("oxclSetCommConfig: the configuration pointer is null");
    return oxclInvalidArgument;
  }
  if ((config->flags & ~OXCL_COMM_CONFIG_PRIORITY) != 0) {
    Report("oxclSetCommConfig: unknown flag bits 0x%x", config->flags & ~OXCL_COMM_CONFIG_PRIORITY);
    return oxclInvalidArgument;
  }
  // Priority only orders work on real link hardware; the flags are kept for inspection.
  comm->flags.store(config->flags, std::memory_order_relaxed);
  return oxclSuccess;
}

oxclResult_t oxclDestroyComms(oxclComm** comms, int n) {
  OXCL_ENTER("oxclDestroyComms");
  if (n < 0 || (n > 0 && comms == nullptr)) {
    Report("oxclDestroyComms: %d communicators from a %s array", n, comms ? "valid" : "null");
    return oxclInvalidArgument;
  }
  oxclResult_t result = oxclSuccess;
  // Destroy every valid handle even when one of them is bad.
  for (int i = 0; i < n; ++i) {
    oxclComm* comm = comms[i];
    oxclResult_t rc = oxclSuccess;
    if (comm == nullptr || comm->magic != oxclComm::kMagic) {
      rc = CheckComm(comm, "oxclDestroyComms");
    } else if (!RetireComm(comm)) {
      Report("oxclDestroyComms: communicator %p (rank %d) was destroyed already",
             static_cast<void*>(comm), comm->rank);
      rc = oxclInvalidUsage;
    }
    if (result == oxclSuccess) result = rc;
  }
  return result;
}

oxclResult_t oxclAbortComm(oxclComm* comm) {
  OXCL_ENTER("oxclAbortComm");
  if (comm == nullptr || comm->magic != oxclComm::kMagic ||
      comm->destroyed.load(std::memory_order_acquire))
    return CheckComm(comm, "oxclAbortComm");
  // The clique cannot complete anything without this rank: every rank waiting fails.
  comm->clique->Break(oxclAborted);
  oxsim::ReleaseHangs();
  return oxclSuccess;
}

oxclResult_t oxclGetCommCount(int* count, const oxclComm* comm) {
  OXCL_ENTER("oxclGetCommCount");
  if (count == nullptr) {
    Report("oxclGetCommCount: the count pointer is null");
    return oxclInvalidArgument;
  }
  if (comm == nullptr || comm->magic != oxclComm::kMagic ||
      comm->destroyed.load(std::memory_order_acquire))
    return CheckComm(comm, "oxclGetCommCount");
  *count = comm->clique->nranks();
  return oxclSuccess;
}

oxclResult_t oxclAllReduce(const void* sendbuff, void* recvbuff, uint64_t count,
                           oxclDataType_t datatype, oxclReduceOp_t op, oxclComm* comm,
                           oxrtQueue_t queue) {
  OXCL_ENTER_COLLECTIVE("oxclAllReduce");
  const char* api = "oxclAllReduce";
  uint64_t bytes = 0;
  if (oxclResult_t rc = CheckComm(comm, api)) return rc;
  if (oxclResult_t rc = CheckType(api, datatype)) return rc;
  if (oxclResult_t rc = CheckOp(api, op)) return rc;
  if (oxclResult_t rc = CheckBytes(api, count, 1, datatype, &bytes)) return rc;
  if (oxclResult_t rc = CheckBuffer(api, "send buffer", sendbuff, bytes, comm->card)) return rc;
  if (oxclResult_t rc = CheckBuffer(api, "receive buffer", recvbuff, bytes, comm->card)) return rc;
  if (oxclResult_t rc = CheckAlias(api, sendbuff, bytes, recvbuff, bytes, recvbuff)) return rc;
  CollArgs args;
  args.kind = CollKind::kAllReduce;
  args.type = datatype;
  args.op = op;
  args.count = count;
  args.send = sendbuff;
  args.recv = recvbuff;
  args.hang = hangs;
  return LaunchCollective(api, comm, queue, std::move(args));
}

oxclResult_t oxclReduceScatter(const void* sendbuff, void* recvbuff, uint64_t recvcount,
                               oxclDataType_t datatype, oxclReduceOp_t op, oxclComm* comm,
                               oxrtQueue_t queue) {
  OXCL_ENTER_COLLECTIVE("oxclReduceScatter");
  const char* api = "oxclReduceScatter";
  uint64_t send_bytes = 0, recv_bytes = 0;
  if (oxclResult_t rc = CheckComm(comm, api)) return rc;
  if (oxclResult_t rc = CheckType(api, datatype)) return rc;
  if (oxclResult_t rc = CheckOp(api, op)) return rc;
  const int n = comm->clique->nranks();
  if (oxclResult_t rc = CheckBytes(api, recvcount, n, datatype, &send_bytes)) return rc;
  recv_bytes = send_bytes / n;
  if (oxclResult_t rc = CheckBuffer(api, "send buffer", sendbuff, send_bytes, comm->card))
    return rc;
  if (oxclResult_t rc = CheckBuffer(api, "receive buffer", recvbuff, recv_bytes, comm->card))
    return rc;
  // In place, the receive block is this rank's slice of the send vector.
  const void* in_place = static_cast<const char*>(recvbuff) - comm->rank * recv_bytes;
  if (oxclResult_t rc = CheckAlias(api, sendbuff, send_bytes, recvbuff, recv_bytes, in_place))
    return rc;
  CollArgs args;
  args.kind = CollKind::kReduceScatter;
  args.type = datatype;
  args.op = op;
  args.count = recvcount;
  args.send = sendbuff;
  args.recv = recvbuff;
  args.hang = hangs;
  return LaunchCollective(api, comm, queue, std::move(args));
}

oxclResult_t oxclAllGather(const void* sendbuff, void* recvbuff, uint64_t sendcount,
                           oxclDataType_t datatype, oxclComm* comm, oxrtQueue_t queue) {
  OXCL_ENTER_COLLECTIVE("oxclAllGather");
  const char* api = "oxclAllGather";
  uint64_t recv_bytes = 0;
  if (oxclResult_t rc = CheckComm(comm, api)) return rc;
  if (oxclResult_t rc = CheckType(api, datatype)) return rc;
  const int n = comm->clique->nranks();
  if (oxclResult_t rc = CheckBytes(api, sendcount, n, datatype, &recv_bytes)) return rc;
  const uint64_t send_bytes = recv_bytes / n;
  if (oxclResult_t rc = CheckBuffer(api, "send buffer", sendbuff, send_bytes, comm->card))
    return rc;
  if (oxclResult_t rc = CheckBuffer(api, "receive buffer", recvbuff, recv_bytes, comm->card))
    return rc;
  // In place, the send block already sits at this rank's position of the receive buffer.
  const void* in_place = static_cast<const char*>(recvbuff) + comm->rank * send_bytes;
  if (oxclResult_t rc = CheckAlias(api, sendbuff, send_bytes, recvbuff, recv_bytes, in_place))
    return rc;
  CollArgs args;
  args.kind = CollKind::kAllGather;
  args.type = datatype;
  args.count = sendcount;
  args.send = sendbuff;
  args.recv = recvbuff;
  args.hang = hangs;
  return LaunchCollective(api, comm, queue, std::move(args));
}

oxclResult_t oxclAlltoAllv(const void* const* sendbuffs, const uint32_t* sendcounts,
                           const oxclDataType_t* sendtypes, void* const* recvbuffs,
                           const uint32_t* recvcounts, const oxclDataType_t* recvtypes,
                           oxclComm* comm, oxrtQueue_t queue) {
  OXCL_ENTER_COLLECTIVE("oxclAlltoAllv");
  const char* api = "oxclAlltoAllv";
  if (oxclResult_t rc = CheckComm(comm, api)) return rc;
  if (!sendbuffs || !sendcounts || !sendtypes || !recvbuffs || !recvcounts || !recvtypes) {
    Report("%s: the six per-peer arrays must not be null", api);
    return oxclInvalidArgument;
  }
  const int n = comm->clique->nranks();
  CollArgs args;
  args.kind = CollKind::kAlltoAllv;
  args.peers.resize(n);
  for (int j = 0; j < n; ++j) {
    PeerBlock& peer = args.peers[j];
    if (oxclResult_t rc = CheckType(api, sendtypes[j])) return rc;
    if (oxclResult_t rc = CheckType(api, recvtypes[j])) return rc;
    // 32-bit counts of at most 8-byte elements cannot overflow.
    peer.send_bytes = static_cast<uint64_t>(sendcounts[j]) * TypeSize(sendtypes[j]);
    peer.recv_bytes = static_cast<uint64_t>(recvcounts[j]) * TypeSize(recvtypes[j]);
    peer.send = sendbuffs[j];
    peer.recv = recvbuffs[j];
    peer.recv_type = recvtypes[j];
    if (oxclResult_t rc = CheckBuffer(api, "send block", peer.send, peer.send_bytes, comm->card))
      return rc;
    if (oxclResult_t rc = CheckBuffer(api, "receive block", peer.recv, peer.recv_bytes,
                                      comm->card))
      return rc;
  }
  args.type = recvtypes[0];
  args.hang = hangs;
  return LaunchCollective(api, comm, queue, std::move(args));
}

oxclResult_t oxclSend(const void* sendbuff, uint64_t count, oxclDataType_t datatype, int peer,
                      oxclComm* comm, oxrtQueue_t queue) {
  OXCL_ENTER("oxclSend");
  P2POp op;
  if (oxclResult_t rc = PrepareP2P("oxclSend", true, sendbuff, count, datatype, peer, comm, &op))
    return rc;
  if (InGroup()) {
    AddToGroup(queue, op);
    return oxclSuccess;
  }
  if (peer == comm->rank) {
    Report("oxclSend: rank %d sends to itself outside a group, which can never complete", peer);
    return oxclInvalidUsage;
  }
  return LaunchPointToPoint("oxclSend", queue, {op});
}

oxclResult_t oxclRecv(void* recvbuff, uint64_t count, oxclDataType_t datatype, int peer,
                      oxclComm* comm, oxrtQueue_t queue) {
  OXCL_ENTER("oxclRecv");
  P2POp op;
  if (oxclResult_t rc = PrepareP2P("oxclRecv", false, recvbuff, count, datatype, peer, comm, &op))
    return rc;
  if (InGroup()) {
    AddToGroup(queue, op);
    return oxclSuccess;
  }
  if (peer == comm->rank) {
    Report("oxclRecv: rank %d receives from itself outside a group, which can never complete",
           peer);
    return oxclInvalidUsage;
  }
  return LaunchPointToPoint("oxclRecv", queue, {op});
}

const char* oxclGetErrorStr(oxclResult_t result) {
  switch (result) {
    case oxclSuccess: return "no error";
    case oxclUnhandledOxrtError: return "unhandled runtime error";
    case oxclSystemError: return "system error";
    case oxclInternalError: return "internal error";
    case oxclInvalidArgument: return "invalid argument";
    case oxclInvalidUsage: return "invalid usage";
    case oxclRemoteError: return "remote error: a rank of the clique failed or left";
    case oxclAborted: return "the communicator was aborted";
    case oxclNotSupported: return "not supported";
    case oxclNumResults: break;
  }
  return "unknown oxcl result code";
}

oxclResult_t oxclGetLibVersion(int* major, int* minor, int* patch) {
  OXCL_ENTER("oxclGetLibVersion");
  if (!major || !minor || !patch) {
    Report("oxclGetLibVersion: the version pointers must not be null");
    return oxclInvalidArgument;
  }
  *major = kVersion[0];
  *minor = kVersion[1];
  *patch = kVersion[2];
  return oxclSuccess;
}

}  // extern "C"
