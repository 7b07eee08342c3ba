// What the two tight-loop harnesses share: the collectives they time, how the programs turn a
// count into each call's arguments and bandwidths, and the count syntax of their options.
#ifndef OXCL_TOOLS_PERF_PERF_COMMON_H_
#define OXCL_TOOLS_PERF_PERF_COMMON_H_

#include <cerrno>
#include <cstdint>
#include <cstdlib>

namespace perf {

enum class Coll { kAllReduce, kReduceScatter, kAllGather, kAllToAll };

inline const char* CollName(Coll c) {
  switch (c) {
    case Coll::kAllReduce: return "allreduce";
    case Coll::kReduceScatter: return "reducescatter";
    case Coll::kAllGather: return "allgather";
    case Coll::kAllToAll: return "alltoall";
  }
  return "?";
}

// The per-rank counts of one float operation of n ranks, as the programs' SetParam derives
// them from their count.
struct Shape {
  uint64_t call_count;  // the count argument (per peer block for the three block collectives)
  uint64_t out_elems;   // elements of the receive buffer the operation writes
  uint64_t bus_elems;   // elements of the algorithm bandwidth's byte count
  double bus_factor;    // bus bandwidth / algorithm bandwidth
  double traffic;       // single-pass bytes read + written by all ranks together
};

inline Shape ShapeOf(Coll coll, int n, uint64_t count) {
  const double nd = n;
  const uint64_t c = count / static_cast<uint64_t>(n);
  const double s = sizeof(float);
  switch (coll) {
    case Coll::kAllReduce:
      return {count, count, count, 2.0 * (nd - 1) / nd, 2.0 * nd * s * count};
    case Coll::kReduceScatter:
      // n inputs of n*c read, n outputs of c written.
      return {c, c, c * n, (nd - 1) / nd, (nd * nd * c + nd * c) * s};
    case Coll::kAllGather:
      // n blocks of c read, n*n blocks written.
      return {c, c * n, c * n, (nd - 1) / nd, (nd * c + nd * nd * c) * s};
    case Coll::kAllToAll:
      // n*n blocks, each read once and written once.
      return {c, c * n, c * n, (nd - 1) / nd, 2.0 * nd * nd * c * s};
  }
  return {0, 0, 0, 0, 0};
}

// "123", "4K", "8M", "1G" (powers of 1024); false for anything else or overflow.
inline bool ParseCount(const char* text, uint64_t* count) {
  if (text[0] == '\0' || text[0] == '-') return false;
  errno = 0;
  char* end = nullptr;
  const unsigned long long value = std::strtoull(text, &end, 10);
  if (end == text || errno != 0) return false;
  unsigned shift = 0;
  if (*end == 'K' || *end == 'k') shift = 10, ++end;
  else if (*end == 'M' || *end == 'm') shift = 20, ++end;
  else if (*end == 'G' || *end == 'g') shift = 30, ++end;
  if (*end != '\0' || value > (UINT64_MAX >> shift)) return false;
  *count = static_cast<uint64_t>(value) << shift;
  return true;
}

}  // namespace perf

#endif  // OXCL_TOOLS_PERF_PERF_COMMON_H_
