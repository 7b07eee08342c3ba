// The device allocation table: every simulated device allocation of the process, with its card,
// so that any device range can be checked and each card's capacity enforced.
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <shared_mutex>
#include <vector>

#include "oxsim.h"

namespace oxsim {
namespace {

// Below this size an allocation comes from the heap; above it, from its own mapping, so that
// freed device memory goes back to the operating system at once.
constexpr size_t kMapThreshold = 64 << 10;
constexpr size_t kHugePage = 2 << 20;
// Device pointers are at least this aligned, as on a real card.
constexpr size_t kHeapAlign = 256;

struct Allocation {
  size_t bytes;        // requested size: the range that may be used
  int card;
  void* map_base;      // start of the mapping, null for heap blocks
  size_t map_bytes;
  int fd;              // memory file behind a shared mapping, -1 otherwise
  uint64_t serial;     // unique per allocation of this process
};

std::atomic<bool> share_memory{false};
std::atomic<uint64_t> next_serial{1};

struct Table {
  std::shared_mutex mutex;
  std::map<uintptr_t, Allocation> live;  // keyed by start address
  std::vector<uint64_t> used;            // per card, bytes requested and not freed
  uint64_t used_total = 0;               // the sum of `used`
};

// Never freed: queue threads may still touch device memory while the process exits.
Table& GetTable() {
  static Table* table = [] {
    auto* t = new Table;
    t->used.assign(static_cast<size_t>(DeviceCount()), 0);
    return t;
  }();
  return *table;
}

// Maps `bytes` of anonymous memory, 2 MiB aligned when large enough for huge pages. Only the
// pages touched are backed, so the virtual capacity of all cards may exceed the host's memory.
void* MapBlock(size_t bytes, void** base, size_t* mapped) {
  const int flags = MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE;
  if (bytes < kHugePage) {
    void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, flags, -1, 0);
    if (p == MAP_FAILED) return nullptr;
    *base = p;
    *mapped = bytes;
    return p;
  }
  const size_t rounded = (bytes + kHugePage - 1) & ~(kHugePage - 1);
  const size_t span = rounded + kHugePage;
  void* p = mmap(nullptr, span, PROT_READ | PROT_WRITE, flags, -1, 0);
  if (p == MAP_FAILED) return nullptr;
  const uintptr_t start = reinterpret_cast<uintptr_t>(p);
  const uintptr_t aligned = (start + kHugePage - 1) & ~(kHugePage - 1);
  // Trim the unaligned head and the tail beyond the rounded size.
  if (aligned > start) munmap(p, aligned - start);
  const uintptr_t end = start + span;
  if (end > aligned + rounded) munmap(reinterpret_cast<void*>(aligned + rounded), end - aligned - rounded);
  madvise(reinterpret_cast<void*>(aligned), rounded, MADV_HUGEPAGE);
  *base = reinterpret_cast<void*>(aligned);
  *mapped = rounded;
  return *base;
}

// Maps `bytes` of a new memory file, which other processes of this host can map as well.
// Null when no file can be made (the caller then falls back to anonymous memory).
void* MapSharedBlock(size_t bytes, void** base, size_t* mapped, int* fd) {
  const long page = sysconf(_SC_PAGESIZE);
  const size_t rounded = (bytes + page - 1) & ~static_cast<size_t>(page - 1);
  const int f = memfd_create("oxsim-device", MFD_CLOEXEC);
  if (f < 0) return nullptr;
  if (ftruncate(f, static_cast<off_t>(rounded)) != 0) {
    close(f);
    return nullptr;
  }
  void* p = mmap(nullptr, rounded, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_NORESERVE, f, 0);
  if (p == MAP_FAILED) {
    close(f);
    return nullptr;
  }
  *base = p;
  *mapped = rounded;
  *fd = f;
  return p;
}

void ReleaseBlock(void* ptr, const Allocation& a) {
  if (a.map_base)
    munmap(a.map_base, a.map_bytes);
  else
    free(ptr);
  if (a.fd >= 0) close(a.fd);
}

}  // namespace

uint64_t HostBackableBytes() {
  FILE* f = std::fopen("/proc/meminfo", "r");
  if (f == nullptr) return UINT64_MAX;
  unsigned long long available_kb = 0, swap_kb = 0;
  bool have_available = false;
  char line[256];
  while (std::fgets(line, sizeof(line), f) != nullptr) {
    if (std::sscanf(line, "MemAvailable: %llu kB", &available_kb) == 1) have_available = true;
    std::sscanf(line, "SwapFree: %llu kB", &swap_kb);
  }
  std::fclose(f);
  if (!have_available) return UINT64_MAX;
  // What the process holds resident can be given to new device memory only in the sense that
  // it is already backed; counting it keeps touched device memory from being counted twice
  // (once as live, once as missing from MemAvailable).
  unsigned long long size_pages = 0, resident_pages = 0;
  f = std::fopen("/proc/self/statm", "r");
  if (f != nullptr) {
    if (std::fscanf(f, "%llu %llu", &size_pages, &resident_pages) != 2) resident_pages = 0;
    std::fclose(f);
  }
  const uint64_t total = (static_cast<uint64_t>(available_kb) + swap_kb) * 1024 +
                         static_cast<uint64_t>(resident_pages) * sysconf(_SC_PAGESIZE);
  return total > kHostReserveBytes ? total - kHostReserveBytes : 0;
}

bool DeviceAlloc(int card, size_t bytes, void** ptr, HostShortage* host_short) {
  if (!ptr || card < 0 || card >= DeviceCount()) return false;
  Table& t = GetTable();
  // Mappings are only backed when touched, so without this a request far beyond the host's
  // memory succeeds and the process is killed at the first write. Small blocks come from the
  // heap, which fails on its own, and reading /proc for each would only cost time.
  const uint64_t backable = bytes >= kMapThreshold ? HostBackableBytes() : UINT64_MAX;
  {
    // Reserve first, so concurrent allocations on one card cannot overshoot its capacity.
    std::unique_lock<std::shared_mutex> lock(t.mutex);
    uint64_t& used = t.used[static_cast<size_t>(card)];
    if (bytes > DeviceMemory() - used) return false;
    if (bytes > backable || t.used_total > backable - bytes) {
      if (host_short != nullptr) *host_short = HostShortage{true, t.used_total, backable};
      return false;
    }
    used += bytes;
    t.used_total += bytes;
  }
  Allocation a{bytes, card, nullptr, 0, -1, next_serial.fetch_add(1)};
  void* p = nullptr;
  // Without a memory file (none wanted, or none to be had) large blocks are anonymous.
  if (bytes >= kMapThreshold && share_memory.load(std::memory_order_relaxed))
    p = MapSharedBlock(bytes, &a.map_base, &a.map_bytes, &a.fd);
  if (p == nullptr && bytes >= kMapThreshold) {
    p = MapBlock(bytes, &a.map_base, &a.map_bytes);
  } else if (p == nullptr) {
    // Zero bytes still take a block, so the pointer is unique and can be freed.
    const size_t rounded = ((bytes ? bytes : 1) + kHeapAlign - 1) & ~(kHeapAlign - 1);
    p = aligned_alloc(kHeapAlign, rounded);
  }
  std::unique_lock<std::shared_mutex> lock(t.mutex);
  if (!p) {
    t.used[static_cast<size_t>(card)] -= bytes;
    t.used_total -= bytes;
    return false;
  }
  t.live.emplace(reinterpret_cast<uintptr_t>(p), a);
  *ptr = p;
  return true;
}

bool DeviceFree(void* ptr) {
  Table& t = GetTable();
  Allocation a;
  {
    std::unique_lock<std::shared_mutex> lock(t.mutex);
    const auto it = t.live.find(reinterpret_cast<uintptr_t>(ptr));
    if (!ptr || it == t.live.end()) return false;
    a = it->second;
    t.live.erase(it);
    t.used[static_cast<size_t>(a.card)] -= a.bytes;
    t.used_total -= a.bytes;
  }
  ReleaseBlock(ptr, a);
  return true;
}

// The live allocation holding [ptr, ptr + bytes), and ptr's offset in it; null when none
// does. The caller holds the table's lock.
static const Allocation* Holder(Table& t, const void* ptr, size_t bytes, uintptr_t* offset) {
  if (!ptr) return nullptr;
  const uintptr_t start = reinterpret_cast<uintptr_t>(ptr);
  // The allocation that could hold ptr is the last one starting at or before it.
  auto it = t.live.upper_bound(start);
  if (it == t.live.begin()) return nullptr;
  --it;
  *offset = start - it->first;
  // Written as a subtraction so that a huge byte count cannot wrap around.
  if (*offset > it->second.bytes || bytes > it->second.bytes - *offset) return nullptr;
  return &it->second;
}

bool FindRange(const void* ptr, size_t bytes, int* card) {
  Table& t = GetTable();
  std::shared_lock<std::shared_mutex> lock(t.mutex);
  uintptr_t offset = 0;
  const Allocation* a = Holder(t, ptr, bytes, &offset);
  if (!a) return false;
  if (card) *card = a->card;
  return true;
}

void ShareDeviceMemory() { share_memory.store(true); }

bool FindSharedRange(const void* ptr, size_t bytes, SharedRange* out) {
  Table& t = GetTable();
  std::shared_lock<std::shared_mutex> lock(t.mutex);
  uintptr_t offset = 0;
  const Allocation* a = Holder(t, ptr, bytes, &offset);
  if (!a || a->fd < 0) return false;
  out->fd = a->fd;
  out->serial = a->serial;
  out->offset = offset;
  out->file_bytes = a->map_bytes;
  return true;
}

bool CheckDeviceRange(const char* entry, const char* role, const void* ptr, size_t bytes,
                      int* card) {
  if (FindRange(ptr, bytes, card)) return true;
  Complain("%s: %s range 0x%" PRIxPTR " + %zu bytes is not inside a device allocation", entry,
           role, reinterpret_cast<uintptr_t>(ptr), bytes);
  return false;
}

bool CardUsage(int card, uint64_t* used, uint64_t* total) {
  if (card < 0 || card >= DeviceCount()) return false;
  Table& t = GetTable();
  std::shared_lock<std::shared_mutex> lock(t.mutex);
  if (used) *used = t.used[static_cast<size_t>(card)];
  if (total) *total = DeviceMemory();
  return true;
}

}  // namespace oxsim
