// Reduce-scatter: the n x c element range is split into units; each piece of a unit lies in
// one rank's slice, is reduced from all n inputs in rank order and stored to that rank only.
#include <algorithm>

#include "algorithms.h"
#include "dtype.h"
#include "engine.h"

namespace oxcl_sim {

bool PlanReduceScatter(Slot& slot, int n, bool saturate, std::string* why) {
  if (!SameCall(slot, n, true, why)) return false;
  const CollArgs& a = *slot.args[0];
  Plan& plan = slot.plan;
  plan.elem = TypeSize(a.type);
  plan.fold = GetFold(a.type, a.op, saturate);
  plan.unit_size = kUnitBytes / plan.elem;
  const uint64_t total = a.count * n;
  plan.units = (total + plan.unit_size - 1) / plan.unit_size;
  plan.stream = total * plan.elem >= kStreamBytes;
  for (int r = 0; r < n; ++r) slot.inputs[r] = slot.args[r]->send;
  return true;
}

void RunReduceScatterUnit(const Slot& slot, int n, uint64_t unit) {
  const Plan& plan = slot.plan;
  const uint64_t c = slot.args[0]->count;
  const uint64_t first = unit * plan.unit_size;
  const uint64_t end = std::min(c * n, first + plan.unit_size);
  const uint64_t tile_elems = kTileBytes / plan.elem;
  alignas(64) unsigned char tile[kTileBytes];
  for (uint64_t pos = first; pos < end;) {
    const uint64_t owner = pos / c;
    const uint64_t len = std::min({tile_elems, end - pos, (owner + 1) * c - pos});
    plan.fold(slot.inputs.data(), n, pos, len, tile);
    // In-place, the owner's output is its own input at this very position, read just above.
    StoreBytes(static_cast<char*>(slot.args[owner]->recv) + (pos - owner * c) * plan.elem,
               tile, len * plan.elem, plan.stream);
    pos += len;
  }
}

}  // namespace oxcl_sim
