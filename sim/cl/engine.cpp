#include "engine.h"

#include <string>

#include "algorithms.h"
#include "log.h"

namespace oxcl_sim {
namespace {

using UnitFn = void (*)(const Slot&, int, uint64_t);

UnitFn UnitFor(CollKind kind) {
  switch (kind) {
    case CollKind::kAllReduce: return RunAllReduceUnit;
    case CollKind::kReduceScatter: return RunReduceScatterUnit;
    case CollKind::kAllGather: return RunAllGatherUnit;
    case CollKind::kAlltoAll:
    case CollKind::kAlltoAllv: return RunAlltoAllUnit;
  }
  return nullptr;
}

// Runs on the last rank to arrive: checks that all ranks made the same call and plans it.
bool PlanCall(Slot& slot, int n, bool saturate, std::string* why) {
  const CollKind kind = slot.args[0]->kind;
  for (int r = 1; r < n; ++r) {
    if (slot.args[r]->kind != kind) {
      *why = std::string("rank ") + std::to_string(r) + " called " +
             CollName(slot.args[r]->kind) + " where rank 0 called " + CollName(kind);
      return false;
    }
  }
  slot.plan = Plan{};
  switch (kind) {
    case CollKind::kAllReduce: return PlanAllReduce(slot, n, saturate, why);
    case CollKind::kReduceScatter: return PlanReduceScatter(slot, n, saturate, why);
    case CollKind::kAllGather: return PlanAllGather(slot, n, why);
    case CollKind::kAlltoAll:
    case CollKind::kAlltoAllv: return PlanAlltoAll(slot, n, why);
  }
  return false;
}

// A rank leaves a slot it has arrived in. The last of all n frees the slot for operation
// seq + kSlots.
void Depart(Clique& clique, Slot& slot, uint64_t seq, int n) {
  if (slot.departed.fetch_add(1, std::memory_order_acq_rel) + 1 != n) return;
  slot.arrived.store(0, std::memory_order_relaxed);
  slot.verdict.store(0, std::memory_order_relaxed);
  // Only the ranges that were claimed from; with more ranks than units most stay at 0.
  for (Slot::Cursor& c : slot.cursors)
    if (c.next.load(std::memory_order_relaxed) != 0) c.next.store(0, std::memory_order_relaxed);
  slot.done.store(0, std::memory_order_relaxed);
  slot.departed.store(0, std::memory_order_relaxed);
  slot.seq.store(seq + Clique::kSlots, std::memory_order_release);
  clique.Notify();
}

// Leaves a slot after the clique broke. Other ranks may still be planning or working on
// units that read this rank's arguments and buffers, so wait until every rank that arrived
// has left too. A rank that arrives later sees the break before touching anything.
oxclResult_t Abandon(Clique& clique, Slot& slot, oxclResult_t code) {
  slot.departed.fetch_add(1, std::memory_order_seq_cst);
  clique.Notify();
  clique.AwaitAlways([&] {
    return slot.departed.load(std::memory_order_seq_cst) ==
           slot.arrived.load(std::memory_order_seq_cst);
  });
  return code;
}

}  // namespace

const char* CollName(CollKind kind) {
  switch (kind) {
    case CollKind::kAllReduce: return "oxclAllReduce";
    case CollKind::kReduceScatter: return "oxclReduceScatter";
    case CollKind::kAllGather: return "oxclAllGather";
    case CollKind::kAlltoAll: return "oxclAlltoAll";
    case CollKind::kAlltoAllv: return "oxclAlltoAllv";
  }
  return "unknown collective";
}

oxclResult_t RunCollective(Clique& clique, int rank, uint64_t seq, const CollArgs& args,
                           bool saturate) {
  const int n = clique.nranks();
  Slot& slot = clique.SlotFor(seq);
  // The slot still serves an operation kSlots earlier until all ranks have left it.
  if (oxclResult_t rc = clique.Await([&] {
        return slot.seq.load(std::memory_order_acquire) == seq;
      }))
    return rc;

  slot.args[rank] = &args;
  const bool last = slot.arrived.fetch_add(1, std::memory_order_seq_cst) == n - 1;
  if (clique.broken()) return Abandon(clique, slot, clique.BreakCode());
  if (last) {
    std::string why;
    const bool ok = PlanCall(slot, n, saturate, &why);
    if (!ok) Report("%s: operation %llu of the clique: %s", CollName(args.kind),
                    static_cast<unsigned long long>(seq), why.c_str());
    // The ranges once here, not per rank: many ranks would each divide n times per call.
    const uint64_t units = slot.plan.units, ranks = static_cast<uint64_t>(n);
    for (uint64_t r = 0; r <= ranks; ++r) slot.range_begin[r] = units * r / ranks;
    slot.verdict.store(ok ? 1 : 2, std::memory_order_release);
    clique.Notify();
  } else if (oxclResult_t rc = clique.Await([&] {
               return slot.verdict.load(std::memory_order_acquire) != 0;
             })) {
    return Abandon(clique, slot, rc);
  }
  if (slot.verdict.load(std::memory_order_acquire) == 2) {
    Depart(clique, slot, seq, n);
    return oxclInvalidUsage;
  }

  // Claim units until none is left: this rank's home range first, then the others' in turn,
  // so every rank's thread helps, whoever arrived first.
  const uint64_t units = slot.plan.units;
  const bool stream = slot.plan.stream;
  const UnitFn run = UnitFor(args.kind);
  bool stop = false;
  for (int k = 0, home = rank; k < n && !stop; ++k, home = home + 1 == n ? 0 : home + 1) {
    const uint64_t begin = slot.range_begin[home], size = slot.range_begin[home + 1] - begin;
    if (size == 0) continue;  // more ranks than units
    std::atomic<uint64_t>& cursor = slot.cursors[home].next;
    // A range already handed out costs a load, not a write to a shared line.
    while (cursor.load(std::memory_order_relaxed) < size) {
      const uint64_t taken = cursor.fetch_add(1, std::memory_order_relaxed);
      if (taken >= size) break;
      run(slot, n, begin + taken);
      // Streaming stores are weakly ordered: fence them before the unit counts as done.
      if (stream) StoreFence();
      if (slot.done.fetch_add(1, std::memory_order_acq_rel) + 1 == units) clique.Notify();
      if (clique.broken()) {
        stop = true;
        break;
      }
    }
  }
  if (oxclResult_t rc = clique.Await([&] {
        return slot.done.load(std::memory_order_acquire) == units;
      }))
    return Abandon(clique, slot, rc);
  Depart(clique, slot, seq, n);
  return oxclSuccess;
}

}  // namespace oxcl_sim
