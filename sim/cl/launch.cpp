#include "launch.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>
#include <utility>

#include "comm.h"
#include "corrupt.h"
#include "dtype.h"
#include "log.h"
#include "oxsim.h"
#include "rt_internal.h"
#include "validate.h"

namespace oxcl_sim {
namespace {

using Clock = std::chrono::steady_clock;

// Bytes that the benchmark's bus-bandwidth formula counts for one rank's call.
double BusBytes(const CollArgs& a, int n, int rank) {
  const double block = static_cast<double>(a.count) * TypeSize(a.type);
  switch (a.kind) {
    case CollKind::kAllReduce: return 2.0 * (n - 1) / n * block;
    case CollKind::kReduceScatter:
    case CollKind::kAllGather:
    case CollKind::kAlltoAll: return (n - 1) * block;
    case CollKind::kAlltoAllv: {
      double bytes = 0;
      for (int j = 0; j < n; ++j)
        if (j != rank) bytes += static_cast<double>(a.peers[j].send_bytes);
      return bytes;
    }
  }
  return 0;
}

// Element `index` of a call's received data: its address and type, or a null address when
// the call received fewer elements.
struct ElementAt {
  void* at = nullptr;
  oxclDataType_t type = oxclFloat32;
};

ElementAt InBuffer(void* buf, oxclDataType_t type, uint64_t elements, uint64_t index) {
  if (index >= elements) return {};
  return {static_cast<char*>(buf) + index * TypeSize(type), type};
}

ElementAt Locate(const CollArgs& a, int n, uint64_t index) {
  switch (a.kind) {
    case CollKind::kAllReduce:
    case CollKind::kReduceScatter:
      return InBuffer(a.recv, a.type, a.count, index);
    case CollKind::kAllGather:
    case CollKind::kAlltoAll:
      return InBuffer(a.recv, a.type, a.count * n, index);
    case CollKind::kAlltoAllv:
      // The receive buffer of an all-to-all-v is its peers' blocks, one after the other.
      for (const PeerBlock& peer : a.peers) {
        const uint64_t elements = peer.recv_bytes / TypeSize(peer.recv_type);
        if (index < elements) return InBuffer(peer.recv, peer.recv_type, elements, index);
        index -= elements;
      }
      return {};
  }
  return {};
}

// Elements as they were before a call, for the `drop` items that restore them afterwards.
struct KeptElement {
  uint64_t index = 0;
  unsigned char bytes[8] = {};
};
using KeptElements = std::vector<KeptElement>;

template <class F>
KeptElements KeepForDrop(const char* api, int rank, F&& locate) {
  KeptElements kept;
  for (uint64_t index : oxsim::DropIndices(api, rank)) {
    const ElementAt e = locate(index);
    if (e.at == nullptr) continue;
    kept.push_back({index, {}});
    std::memcpy(kept.back().bytes, e.at, TypeSize(e.type));
  }
  return kept;
}

// Applies a `corrupt:` fault to the received data of a completed call; `locate` finds an
// element of it, `received` is its element count for the message.
template <class F>
void MaybeCorrupt(const char* api, int rank, uint64_t received, const KeptElements& kept,
                  F&& locate) {
  uint64_t index = 0;
  oxsim::CorruptHow how;
  if (!oxsim::CorruptAfter(api, rank, &index, &how)) return;
  const ElementAt e = locate(index);
  if (e.at == nullptr) {
    Report("%s: rank %d: corrupt fault: element %llu is beyond the %llu received; nothing "
           "changed", api, rank, static_cast<unsigned long long>(index),
           static_cast<unsigned long long>(received));
    return;
  }
  const void* before = nullptr;
  for (const KeptElement& k : kept)
    if (k.index == index) before = k.bytes;
  std::string why;
  if (!CorruptElement(e.at, e.type, how, before, &why)) {
    Report("%s: rank %d: corrupt fault: %s; nothing changed", api, rank, why.c_str());
  }
}

uint64_t ReceivedElements(const CollArgs& a, int n) {
  if (a.kind == CollKind::kAlltoAllv) {
    uint64_t elements = 0;
    for (const PeerBlock& peer : a.peers) elements += peer.recv_bytes / TypeSize(peer.recv_type);
    return elements;
  }
  return a.kind == CollKind::kAllGather || a.kind == CollKind::kAlltoAll ? a.count * n : a.count;
}

oxclResult_t ExecuteCollective(oxclComm* comm, const CollArgs& args, bool queued) {
  const Clock::time_point start = Clock::now();
  const char* api = CollName(args.kind);
  if (comm->destroyed.load(std::memory_order_acquire)) {
    Report("%s: rank %d: the communicator was destroyed before the operation ran", api,
           comm->rank);
    return oxclInvalidUsage;
  }
  const uint64_t seq = comm->executed.fetch_add(1, std::memory_order_relaxed);
  const int n = comm->clique->nranks();
  auto locate = [&](uint64_t index) { return Locate(args, n, index); };
  // Peers learn this rank's buffers only from the call below, so nothing has written them yet.
  const KeptElements kept = KeepForDrop(api, comm->rank, locate);
  const oxclResult_t rc =
      comm->transport->Collective(*comm, seq, args, oxsim::SaturatingCard());
  if (rc != oxclSuccess) {
    // Callers of a null queue get the code itself; a queue only reports a launch failure.
    if (queued && rc != oxclAborted)
      Report("%s: rank %d: %s", api, comm->rank, oxclGetErrorStr(rc));
    return rc;
  }
  oxsim::NoteRankCount(n);
  MaybeCorrupt(api, comm->rank, ReceivedElements(args, n), kept, locate);
  oxsim::ModelWait(start, BusBytes(args, n, comm->rank));
  return oxclSuccess;
}

oxclResult_t ExecutePointToPoint(const char* api, const std::vector<P2POp>& ops, bool queued) {
  const Clock::time_point start = Clock::now();
  for (const P2POp& op : ops) {
    if (op.comm->destroyed.load(std::memory_order_acquire)) {
      Report("%s: rank %d: the communicator was destroyed before the operation ran", api,
             op.comm->rank);
      return oxclInvalidUsage;
    }
  }
  // One thread may drive communicators of several cliques in one group; if any of them spans
  // processes, its transport handles the whole exchange (it runs the local part too).
  Transport* transport = ops.front().comm->transport;
  for (const P2POp& op : ops)
    if (op.comm->transport != &InProcessTransport()) transport = op.comm->transport;
  std::vector<KeptElements> kept(ops.size());
  for (size_t i = 0; i < ops.size(); ++i) {
    if (ops[i].is_send) continue;
    kept[i] = KeepForDrop("oxclRecv", ops[i].comm->rank, [&](uint64_t index) {
      return InBuffer(ops[i].buf, ops[i].type, ops[i].count, index);
    });
  }
  const oxclResult_t rc = transport->PointToPoint(ops, [&](const P2POp& op) {
    oxsim::NoteRankCount(op.comm->clique->nranks());
    static const KeptElements kNone;
    const KeptElements* before = &kNone;
    for (size_t i = 0; i < ops.size(); ++i)
      if (!ops[i].is_send && ops[i].buf == op.buf && ops[i].comm == op.comm) before = &kept[i];
    MaybeCorrupt("oxclRecv", op.comm->rank, op.count, *before, [&](uint64_t index) {
      return InBuffer(op.buf, op.type, op.count, index);
    });
  });
  if (rc != oxclSuccess) {
    if (queued && rc != oxclAborted) Report("%s: %s", api, oxclGetErrorStr(rc));
    return rc;
  }
  // Per rank, the larger of what it sent to and received from other ranks; the exchange lasts
  // as long as its busiest rank.
  std::vector<std::pair<const oxclComm*, std::pair<double, double>>> ranks;
  for (const P2POp& op : ops) {
    if (op.peer == op.comm->rank) continue;
    auto it = std::find_if(ranks.begin(), ranks.end(),
                           [&](const auto& entry) { return entry.first == op.comm; });
    if (it == ranks.end()) it = ranks.insert(ranks.end(), {op.comm, {0.0, 0.0}});
    const double bytes = static_cast<double>(op.count) * TypeSize(op.type);
    (op.is_send ? it->second.first : it->second.second) += bytes;
  }
  double bus = 0;
  for (const auto& entry : ranks)
    bus = std::max({bus, entry.second.first, entry.second.second});
  oxsim::ModelWait(start, bus);
  return oxclSuccess;
}

// The code a queue's sync reports for a failed operation.
int QueueCode(oxclResult_t rc) { return rc == oxclSuccess ? 0 : oxrtErrorLaunchFailure; }

oxclResult_t Submit(const char* api, oxrtQueue_t queue, std::function<int()> work) {
  const oxrtError_t rc = oxsim::QueueSubmit(queue, std::move(work));
  if (rc == oxrtSuccess) return oxclSuccess;
  Report("%s: the queue %p does not accept work (%s)", api, static_cast<void*>(queue),
         oxrtGetErrorName(rc));
  return oxclInvalidArgument;
}

}  // namespace

oxclResult_t LaunchCollective(const char* api, oxclComm* comm, oxrtQueue_t queue, CollArgs args) {
  if (args.hang) {
    // The call never joins its clique; the other ranks wait for it until the abort breaks it.
    if (queue == nullptr) {
      oxsim::AwaitRelease();
      return oxclAborted;
    }
    return Submit(api, queue, [] {
      oxsim::AwaitRelease();
      return QueueCode(oxclAborted);
    });
  }
  if (queue == nullptr) return ExecuteCollective(comm, args, false);
  return Submit(api, queue, [comm, args = std::move(args)] {
    return QueueCode(ExecuteCollective(comm, args, true));
  });
}

oxclResult_t LaunchPointToPoint(const char* api, oxrtQueue_t queue, std::vector<P2POp> ops) {
  if (ops.empty()) return oxclSuccess;
  if (queue == nullptr) return ExecutePointToPoint(api, ops, false);
  return Submit(api, queue, [api, ops = std::move(ops)] {
    return QueueCode(ExecutePointToPoint(api, ops, true));
  });
}

oxclResult_t PrepareP2P(const char* api, bool is_send, const void* buf, uint64_t count,
                        oxclDataType_t type, int peer, oxclComm* comm, P2POp* op) {
  if (oxclResult_t rc = CheckComm(comm, api)) return rc;
  if (oxclResult_t rc = CheckType(api, type)) return rc;
  if (oxclResult_t rc = CheckPeer(api, peer, comm->clique->nranks())) return rc;
  uint64_t bytes = 0;
  if (oxclResult_t rc = CheckBytes(api, count, 1, type, &bytes)) return rc;
  if (oxclResult_t rc = CheckBuffer(api, is_send ? "send buffer" : "receive buffer", buf, bytes,
                                    comm->card))
    return rc;
  op->is_send = is_send;
  op->comm = comm;
  op->buf = const_cast<void*>(buf);
  op->count = count;
  op->type = type;
  op->peer = peer;
  return oxclSuccess;
}

}  // namespace oxcl_sim
