#include "remote.h"

#include <mpi.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "dtype.h"
#include "log.h"
#include "p2p.h"
#include "remote_link.h"

namespace oxcl_sim {
namespace {

using namespace remote;

// The local ranks' calls must agree before anything moves; the other processes' calls are
// checked by the sizes of what arrives.
bool SameLocalCall(const Operation& op, std::string* why) {
  const CollArgs& f = op.first();
  for (size_t i = 1; i < op.local.size(); ++i) {
    const CollArgs& a = *op.local[i];
    const bool reduction = f.kind == CollKind::kAllReduce || f.kind == CollKind::kReduceScatter;
    if (a.kind != f.kind || (f.kind != CollKind::kAlltoAllv &&
                             (a.type != f.type || a.count != f.count ||
                              (reduction && a.op != f.op)))) {
      *why = "rank " + std::to_string(op.members.local_ranks[i]) + " called " +
             CollName(a.kind) + " (" + TypeName(a.type) + ", " + std::to_string(a.count) +
             ") where rank " + std::to_string(op.members.local_ranks[0]) + " called " +
             CollName(f.kind) + " (" + TypeName(f.type) + ", " + std::to_string(f.count) + ")";
      return false;
    }
  }
  return true;
}

oxclResult_t Drive(Clique& clique, Link& link, Slot& slot, bool saturate) {
  Operation op{clique, link, clique.members, {}};
  for (int r : clique.members.local_ranks) op.local.push_back(slot.args[r]);
  std::string why;
  if (!SameLocalCall(op, &why)) {
    Report("%s: %s", CollName(op.first().kind), why.c_str());
    return oxclInvalidUsage;
  }
  switch (op.first().kind) {
    case CollKind::kAllReduce:
    case CollKind::kReduceScatter:
      return link.peer_access ? DriveDirectReduction(op, saturate) : DriveReduction(op, saturate);
    case CollKind::kAllGather: return link.peer_access ? DriveDirectMoves(op) : DriveAllGather(op);
    case CollKind::kAlltoAll:
    case CollKind::kAlltoAllv:
      return link.peer_access ? DriveDirectMoves(op) : DriveAlltoAll(op);
  }
  return oxclInternalError;
}

std::shared_ptr<Link> LinkOf(Clique& clique) {
  return std::static_pointer_cast<Link>(std::atomic_load(&clique.link));
}

class Remote final : public Transport {
 public:
  // The ranks of this process meet in the operation's slot; the last to arrive drives the
  // whole exchange for all of them while the others wait.
  oxclResult_t Collective(oxclComm& comm, uint64_t seq, const CollArgs& args,
                          bool saturate) override {
    Clique& clique = *comm.clique;
    const int local = static_cast<int>(clique.members.local_ranks.size());
    Slot& slot = clique.SlotFor(seq);
    if (oxclResult_t rc = clique.Await([&] {
          return slot.seq.load(std::memory_order_acquire) == seq;
        }))
      return rc;
    slot.args[comm.rank] = &args;
    const bool driver = slot.arrived.fetch_add(1, std::memory_order_seq_cst) == local - 1;
    if (driver) {
      oxclResult_t rc = clique.BreakCode();
      if (rc == oxclSuccess) {
        std::shared_ptr<Link> link = LinkOf(clique);
        rc = link ? Drive(clique, *link, slot, saturate) : oxclInvalidUsage;
        // The processes no longer agree on what comes next: no later operation of the clique
        // can succeed, here or there.
        if (link && rc != oxclSuccess) Fail(clique, *link, rc);
      }
      slot.verdict.store(1 + static_cast<int>(rc), std::memory_order_release);
      clique.Notify();
    } else {
      // Before the driver exists a break ends the wait; once it does, it reads this rank's
      // buffers until it reports, which it does promptly after a break.
      const bool reported = clique.Await([&] {
        return slot.verdict.load(std::memory_order_acquire) != 0;
      }) == oxclSuccess;
      if (!reported) {
        if (slot.arrived.load(std::memory_order_seq_cst) < local) return clique.BreakCode();
        clique.AwaitAlways([&] { return slot.verdict.load(std::memory_order_acquire) != 0; });
      }
    }
    const oxclResult_t rc =
        static_cast<oxclResult_t>(slot.verdict.load(std::memory_order_acquire) - 1);
    if (slot.departed.fetch_add(1, std::memory_order_acq_rel) + 1 == local) {
      slot.arrived.store(0, std::memory_order_relaxed);
      slot.verdict.store(0, std::memory_order_relaxed);
      slot.departed.store(0, std::memory_order_relaxed);
      slot.seq.store(seq + Clique::kSlots, std::memory_order_release);
      clique.Notify();
    }
    return rc;
  }

  // Sends and receives with ranks of other processes are MPI messages, posted before the
  // exchange between ranks of this process runs, and completed after it.
  oxclResult_t PointToPoint(const std::vector<P2POp>& ops, const RecvDone& done) override {
    std::vector<P2POp> here;
    struct Remote {
      const P2POp* op;
      std::shared_ptr<Link> link;
      std::vector<char> stage;
    };
    std::vector<Remote> away;
    for (const P2POp& op : ops) {
      const Membership& m = op.comm->clique->members;
      if (!m.spans_processes() || m.proc_of_rank[op.peer] == m.self) here.push_back(op);
      else away.push_back({&op, LinkOf(*op.comm->clique), {}});
    }
    for (const Remote& r : away)
      if (!r.link) return oxclInvalidUsage;
    std::vector<std::unique_ptr<Exchange>> exchanges;
    std::vector<std::pair<Exchange*, size_t>> handles;
    for (Remote& r : away) {
      const P2POp& op = *r.op;
      Clique& clique = *op.comm->clique;
      exchanges.push_back(std::make_unique<Exchange>(clique, *r.link, "oxclSend/oxclRecv"));
      const int n = clique.nranks();
      const uint64_t bytes = op.count * TypeSize(op.type);
      const int proc = clique.members.proc_of_rank[op.peer];
      if (op.is_send) {
        handles.emplace_back(exchanges.back().get(),
                             exchanges.back()->Send(op.buf, bytes, proc, op.comm->rank * n + op.peer));
        continue;
      }
      // A receive into memory that a send of this call still exposes waits in a copy.
      bool overlap = false;
      for (const P2POp& s : ops)
        overlap |= s.is_send && Overlap(static_cast<const char*>(s.buf), s.count * TypeSize(s.type),
                                        static_cast<const char*>(op.buf), bytes);
      void* into = op.buf;
      if (overlap) {
        r.stage.resize(bytes);
        into = r.stage.data();
      }
      handles.emplace_back(exchanges.back().get(),
                           exchanges.back()->Recv(into, bytes, proc, op.peer * n + op.comm->rank));
    }
    oxclResult_t result = here.empty() ? oxclSuccess : RunPointToPoint(here, done);
    for (size_t i = 0; i < away.size(); ++i) {
      const oxclResult_t rc = handles[i].first->Wait(handles[i].second);
      if (result == oxclSuccess) result = rc;
    }
    if (result != oxclSuccess) {
      for (Remote& r : away) Fail(*r.op->comm->clique, *r.link, result);
      return result;
    }
    for (Remote& r : away) {
      if (r.op->is_send) continue;
      if (!r.stage.empty()) std::memcpy(r.op->buf, r.stage.data(), r.stage.size());
      if (done) done(*r.op);
    }
    return oxclSuccess;
  }
};

}  // namespace

Transport& RemoteTransport() {
  static Remote* transport = new Remote;
  return *transport;
}

}  // namespace oxcl_sim
