// All-to-all (plain and -v): the work is the unordered rank pairs {i, j}, each cut into units.
// A unit moves both directions of its pair, so the in-place case (a rank's receive block from
// j is its send block to j) swaps the two blocks through tiles without any other buffer.
#include <algorithm>
#include <cstring>

#include "algorithms.h"
#include "dtype.h"
#include "engine.h"

namespace oxcl_sim {
namespace {

struct Block {
  const char* src;
  char* dst;
  uint64_t bytes;
};

// The block rank i sends to rank j.
Block BlockOf(const Slot& slot, int i, int j) {
  const CollArgs& from = *slot.args[i];
  const CollArgs& to = *slot.args[j];
  if (from.kind == CollKind::kAlltoAllv) {
    return {static_cast<const char*>(from.peers[j].send), static_cast<char*>(to.peers[i].recv),
            from.peers[j].send_bytes};
  }
  const uint64_t bytes = from.count * slot.plan.elem;
  return {static_cast<const char*>(from.send) + j * bytes, static_cast<char*>(to.recv) + i * bytes,
          bytes};
}

uint64_t UnitsOf(uint64_t bytes) { return (bytes + kUnitBytes - 1) / kUnitBytes; }

}  // namespace

bool PlanAlltoAll(Slot& slot, int n, std::string* why) {
  Plan& plan = slot.plan;
  if (slot.args[0]->kind == CollKind::kAlltoAll) {
    if (!SameCall(slot, n, false, why)) return false;
    plan.elem = TypeSize(slot.args[0]->type);
  } else {
    plan.elem = 1;
    for (int i = 0; i < n; ++i) {
      for (int j = 0; j < n; ++j) {
        const uint64_t sent = slot.args[i]->peers[j].send_bytes;
        const uint64_t expected = slot.args[j]->peers[i].recv_bytes;
        if (sent != expected) {
          *why = "rank " + std::to_string(i) + " sends " + std::to_string(sent) +
                 " bytes to rank " + std::to_string(j) + ", which expects " +
                 std::to_string(expected);
          return false;
        }
      }
    }
  }
  // Pairs in the order (0,0) (0,1) .. (0,n-1) (1,1) .. (n-1,n-1); prefix[p] is the first
  // unit of pair p.
  uint64_t total_bytes = 0;
  size_t p = 0;
  slot.prefix[0] = 0;
  for (int i = 0; i < n; ++i) {
    for (int j = i; j < n; ++j, ++p) {
      const uint64_t there = BlockOf(slot, i, j).bytes;
      const uint64_t back = i == j ? 0 : BlockOf(slot, j, i).bytes;
      total_bytes += there + back;
      slot.prefix[p + 1] = slot.prefix[p] + UnitsOf(std::max(there, back));
    }
  }
  plan.units = slot.prefix[p];
  plan.unit_size = kUnitBytes;
  plan.stream = total_bytes >= kStreamBytes;
  return true;
}

void RunAlltoAllUnit(const Slot& slot, int n, uint64_t unit) {
  const Plan& plan = slot.plan;
  const size_t pairs = static_cast<size_t>(n) * (n + 1) / 2;
  const uint64_t* prefix = slot.prefix.data();
  const size_t p = std::upper_bound(prefix, prefix + pairs + 1, unit) - prefix - 1;
  // Back from the pair index to (i, j): row i holds n - i pairs.
  int i = 0;
  size_t row_start = 0;
  while (row_start + (n - i) <= p) row_start += n - i++;
  const int j = i + static_cast<int>(p - row_start);
  const uint64_t begin = (unit - prefix[p]) * kUnitBytes;

  const Block there = BlockOf(slot, i, j);
  if (i == j) {
    // A rank's block to itself; in-place it is already where it belongs.
    if (there.src != there.dst && begin < there.bytes)
      StoreBytes(there.dst + begin, there.src + begin,
                 std::min(kUnitBytes, there.bytes - begin), plan.stream);
    return;
  }
  const Block back = BlockOf(slot, j, i);
  const uint64_t end_there = std::min(there.bytes, begin + kUnitBytes);
  const uint64_t end_back = std::min(back.bytes, begin + kUnitBytes);
  if (there.dst != back.src && back.dst != there.src) {
    // Out of place: no block is both read and written, so copy directly.
    if (begin < end_there)
      StoreBytes(there.dst + begin, there.src + begin, end_there - begin, plan.stream);
    if (begin < end_back)
      StoreBytes(back.dst + begin, back.src + begin, end_back - begin, plan.stream);
    return;
  }
  constexpr uint64_t kHalf = kTileBytes / 2;
  alignas(64) unsigned char tile_there[kHalf];
  alignas(64) unsigned char tile_back[kHalf];
  for (uint64_t pos = begin; pos < end_there || pos < end_back; pos += kHalf) {
    const uint64_t len_there = pos < end_there ? std::min(kHalf, end_there - pos) : 0;
    const uint64_t len_back = pos < end_back ? std::min(kHalf, end_back - pos) : 0;
    // Read both directions before writing either: each destination is the other's source.
    std::memcpy(tile_there, there.src + pos, len_there);
    std::memcpy(tile_back, back.src + pos, len_back);
    StoreBytes(there.dst + pos, tile_there, len_there, plan.stream);
    StoreBytes(back.dst + pos, tile_back, len_back, plan.stream);
  }
}

}  // namespace oxcl_sim
