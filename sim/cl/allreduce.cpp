// All-reduce: each unit of the element range is reduced from all n inputs in rank order and
// stored to all n outputs, so about 2nS bytes move for n ranks of S bytes.
#include <algorithm>

#include "algorithms.h"
#include "dtype.h"
#include "engine.h"

namespace oxcl_sim {

bool PlanAllReduce(Slot& slot, int n, bool saturate, std::string* why) {
  if (!SameCall(slot, n, true, why)) return false;
  const CollArgs& a = *slot.args[0];
  Plan& plan = slot.plan;
  plan.elem = TypeSize(a.type);
  plan.fold = GetFold(a.type, a.op, saturate);
  plan.unit_size = kUnitBytes / plan.elem;
  plan.units = (a.count + plan.unit_size - 1) / plan.unit_size;
  plan.stream = a.count * plan.elem * n >= kStreamBytes;
  // Streamed outputs go through the tiles, whose copies make whole aligned lines.
  plan.fold_store =
      plan.stream || n > kFoldStoreRanks ? nullptr : GetFoldStore(a.type, a.op, saturate);
  for (int r = 0; r < n; ++r) {
    slot.inputs[r] = slot.args[r]->send;
    slot.outputs[r] = slot.args[r]->recv;
  }
  return true;
}

void RunAllReduceUnit(const Slot& slot, int n, uint64_t unit) {
  const Plan& plan = slot.plan;
  const uint64_t count = slot.args[0]->count;
  const uint64_t first = unit * plan.unit_size;
  const uint64_t end = std::min(count, first + plan.unit_size);
  if (plan.fold_store != nullptr) {
    plan.fold_store(slot.inputs.data(), n, first, end - first, slot.outputs.data(), n);
    return;
  }
  const uint64_t tile_elems = kTileBytes / plan.elem;
  alignas(64) unsigned char tile[kTileBytes];
  for (uint64_t pos = first; pos < end; pos += tile_elems) {
    const uint64_t len = std::min(tile_elems, end - pos);
    // Reduce into the tile first: an output may be some rank's input (in-place).
    plan.fold(slot.inputs.data(), n, pos, len, tile);
    for (int r = 0; r < n; ++r)
      StoreBytes(static_cast<char*>(slot.outputs[r]) + pos * plan.elem, tile,
                 len * plan.elem, plan.stream);
  }
}

}  // namespace oxcl_sim
