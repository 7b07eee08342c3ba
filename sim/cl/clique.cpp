#include "clique.h"

#include <sys/random.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <unordered_map>

#include "log.h"

namespace oxcl_sim {
namespace {

// The layout inside the 136 bytes; the rest stays zero.
struct IdLayout {
  uint32_t magic;
  uint32_t version;
  uint64_t nonce;
  int64_t pid;
  int32_t world_rank;
  int32_t reserved;  // keeps the record free of padding
};
static_assert(sizeof(IdLayout) <= OXCL_CLIQUE_ID_BYTES, "clique id layout");

// How long oxclInitComms waits for the other ranks of this process to join.
constexpr std::chrono::seconds kJoinTimeout{30};

struct Registry {
  std::mutex mu;
  std::condition_variable joined;
  std::unordered_map<uint64_t, std::shared_ptr<Clique>> cliques;
};

Registry& TheRegistry() {
  // Never destroyed: communicators may be released from static destructors of other libraries.
  static Registry* registry = new Registry;
  return *registry;
}

}  // namespace

bool MakeCliqueId(oxclCliqueId* id, int32_t world_rank) {
  IdLayout layout{kCliqueMagic, kCliqueVersion, 0, static_cast<int64_t>(getpid()), world_rank, 0};
  // A zero nonce is allowed but improbable; a short read means no randomness to rely on.
  if (getrandom(&layout.nonce, sizeof layout.nonce, 0) != sizeof layout.nonce) return false;
  std::memset(id->internal, 0, sizeof id->internal);
  std::memcpy(id->internal, &layout, sizeof layout);
  return true;
}

bool ParseCliqueId(const oxclCliqueId& id, CliqueIdFields* fields) {
  IdLayout layout;
  std::memcpy(&layout, id.internal, sizeof layout);
  if (layout.magic != kCliqueMagic || layout.version != kCliqueVersion) return false;
  fields->magic = layout.magic;
  fields->version = layout.version;
  fields->nonce = layout.nonce;
  fields->pid = layout.pid;
  fields->world_rank = layout.world_rank;
  return true;
}

Clique::Clique(uint64_t nonce, int nranks, int64_t creator_pid)
    : joined(nranks, false),
      nonce_(nonce),
      nranks_(nranks),
      creator_pid_(creator_pid),
      yield_(static_cast<unsigned>(nranks) <= HostCores() ? WaitWord::kYield
                                                          : std::chrono::nanoseconds(0)),
      slots_(new Slot[kSlots]),
      channels_(new Channel[static_cast<size_t>(nranks) * nranks]) {
  const size_t n = static_cast<size_t>(nranks);
  for (int k = 0; k < kSlots; ++k) {
    Slot& slot = slots_[k];
    slot.seq.store(k, std::memory_order_relaxed);
    slot.args.assign(n, nullptr);
    slot.inputs.assign(n, nullptr);
    slot.outputs.assign(n, nullptr);
    slot.prefix.assign(n * (n + 1) / 2 + 1, 0);
    slot.cursors = std::vector<Slot::Cursor>(n);
    slot.range_begin.assign(n + 1, 0);
  }
}

void Clique::Break(oxclResult_t code) {
  int expected = 0;
  break_code_.compare_exchange_strong(expected, static_cast<int>(code), std::memory_order_seq_cst);
  Notify();
}

oxclResult_t JoinClique(const CliqueIdFields& id, int nranks, const int* ranks, int n,
                        std::shared_ptr<Clique>* out) {
  Registry& registry = TheRegistry();
  std::unique_lock<std::mutex> lock(registry.mu);
  std::shared_ptr<Clique>& entry = registry.cliques[id.nonce];
  if (!entry) entry = std::make_shared<Clique>(id.nonce, nranks, id.pid);
  std::shared_ptr<Clique> clique = entry;
  if (clique->nranks() != nranks) {
    Report("oxclInitComms: the clique has %d ranks, this call says %d", clique->nranks(), nranks);
    if (clique->joined_count == 0) registry.cliques.erase(id.nonce);
    return oxclInvalidArgument;
  }
  for (int i = 0; i < n; ++i) {
    if (clique->joined[ranks[i]]) {
      Report("oxclInitComms: rank %d of the clique already has a communicator", ranks[i]);
      for (int k = 0; k < i; ++k) clique->joined[ranks[k]] = false;
      clique->joined_count -= i;
      if (clique->joined_count == 0) registry.cliques.erase(id.nonce);
      return oxclInvalidUsage;
    }
    clique->joined[ranks[i]] = true;
  }
  clique->joined_count += n;
  clique->live_count += n;
  registry.joined.notify_all();
  const bool complete = registry.joined.wait_for(lock, kJoinTimeout, [&] {
    return clique->joined_count == nranks;
  });
  if (!complete) {
    Report("oxclInitComms: only %d of %d ranks joined the clique within %d s; ranks in other "
           "processes need MPI running before oxclGetCliqueId", clique->joined_count, nranks,
           static_cast<int>(kJoinTimeout.count()));
    for (int i = 0; i < n; ++i) clique->joined[ranks[i]] = false;
    clique->joined_count -= n;
    clique->live_count -= n;
    if (clique->joined_count == 0) registry.cliques.erase(id.nonce);
    return oxclNotSupported;
  }
  *out = std::move(clique);
  return oxclSuccess;
}

void LeaveClique(Clique* clique) {
  Registry& registry = TheRegistry();
  std::lock_guard<std::mutex> lock(registry.mu);
  if (--clique->live_count > 0) return;
  // The link between processes is not needed once no communicator of this process is left.
  std::atomic_store(&clique->link, std::shared_ptr<void>());
  auto it = registry.cliques.find(clique->nonce());
  if (it != registry.cliques.end() && it->second.get() == clique) registry.cliques.erase(it);
}

}  // namespace oxcl_sim
