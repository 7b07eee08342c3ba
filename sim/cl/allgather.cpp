// All-gather: the n x c element range is split into units; each piece comes from one rank's
// send block, is read once and stored to all n outputs.
#include <algorithm>
#include <cstring>

#include "algorithms.h"
#include "dtype.h"
#include "engine.h"

namespace oxcl_sim {

bool PlanAllGather(Slot& slot, int n, std::string* why) {
  if (!SameCall(slot, n, false, why)) return false;
  const CollArgs& a = *slot.args[0];
  Plan& plan = slot.plan;
  plan.elem = TypeSize(a.type);
  plan.unit_size = kUnitBytes / plan.elem;
  const uint64_t total = a.count * n;
  plan.units = (total + plan.unit_size - 1) / plan.unit_size;
  plan.stream = total * plan.elem * n >= kStreamBytes;
  return true;
}

void RunAllGatherUnit(const Slot& slot, int n, uint64_t unit) {
  const Plan& plan = slot.plan;
  const uint64_t c = slot.args[0]->count;
  const uint64_t first = unit * plan.unit_size;
  const uint64_t end = std::min(c * n, first + plan.unit_size);
  const uint64_t tile_elems = kTileBytes / plan.elem;
  alignas(64) unsigned char tile[kTileBytes];
  for (uint64_t pos = first; pos < end;) {
    const uint64_t owner = pos / c;
    const uint64_t len = std::min({tile_elems, end - pos, (owner + 1) * c - pos});
    const size_t bytes = len * plan.elem;
    // Through the tile: in-place, the owner's block already sits in its own output.
    std::memcpy(tile, static_cast<const char*>(slot.args[owner]->send) +
                          (pos - owner * c) * plan.elem, bytes);
    for (int r = 0; r < n; ++r)
      StoreBytes(static_cast<char*>(slot.args[r]->recv) + pos * plan.elem, tile, bytes,
                 plan.stream);
    pos += len;
  }
}

}  // namespace oxcl_sim
