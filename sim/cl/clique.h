// A clique: the ranks that one clique id connects. Ranks of this process meet here, through a
// process-wide registry keyed by the id's nonce, and exchange data directly in memory.
#ifndef OX_SIM_CL_CLIQUE_H_
#define OX_SIM_CL_CLIQUE_H_

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "op.h"
#include "oxcl.h"
#include "reduce.h"
#include "waitword.h"

namespace oxcl_sim {

// ---- clique id: magic, format version, random nonce, creating process ----
struct CliqueIdFields {
  uint32_t magic = 0;
  uint32_t version = 0;
  uint64_t nonce = 0;
  int64_t pid = 0;
  int32_t world_rank = -1;  // the creator's rank among the MPI processes, -1 without MPI
};
constexpr uint32_t kCliqueMagic = 0x4C43584F;  // "OXCL" in memory order
constexpr uint32_t kCliqueVersion = 2;

// Fills id with a fresh identifier (new nonce, this process, its MPI rank or -1). False when
// no randomness.
bool MakeCliqueId(oxclCliqueId* id, int32_t world_rank);
// Reads the fields of an id; false when its magic or version is not ours.
bool ParseCliqueId(const oxclCliqueId& id, CliqueIdFields* fields);

// ---- collective rendezvous: one slot per operation in flight ----

// How the ranks split one collective into units of work; written by the last rank to arrive.
struct Plan {
  uint64_t units = 0;       // units to claim
  uint64_t unit_size = 0;   // elements per unit (bytes for all-to-all)
  size_t elem = 0;          // element size in bytes
  FoldFn fold = nullptr;    // reductions only
  // All-reduce of outputs that stay in the cache: the fold stored straight to the outputs.
  FoldStoreFn fold_store = nullptr;
  bool stream = false;      // outputs bypass the cache
};

struct Slot {
  // Sequence number of the operation this slot serves now; advanced by kSlots when the last
  // rank leaves, which frees the slot for the operation kSlots later.
  std::atomic<uint64_t> seq{0};
  std::atomic<int> arrived{0};
  std::atomic<int> verdict{0};  // 0 pending, 1 go, 2 the ranks' calls disagree
  std::vector<const CollArgs*> args;  // one per rank, valid until that rank leaves
  std::vector<const void*> inputs;    // reductions: each rank's send buffer
  std::vector<void*> outputs;         // all-reduce: each rank's receive buffer
  std::vector<uint64_t> prefix;       // all-to-all: first unit of each rank pair
  Plan plan;
  // Units are claimed from per-rank home ranges: rank r first takes the units of its own
  // range [units * r / n, units * (r + 1) / n), then helps with the others'. The same rank,
  // and so the same core, touches the same data call after call, which keeps data that fits a
  // core's cache in that cache; a rank that is late still has its range taken by the others.
  struct alignas(64) Cursor {
    std::atomic<uint64_t> next{0};  // units of the range handed out so far
  };
  std::vector<Cursor> cursors;  // one per rank
  std::vector<uint64_t> range_begin;  // first unit of each rank's range, then units: n + 1
  alignas(64) std::atomic<uint64_t> done{0};  // units finished
  std::atomic<int> active{0};                 // threads inside the claim loop
  std::atomic<int> departed{0};
};

// ---- point-to-point: one channel per ordered pair of ranks ----
struct SendPost {
  const void* buf = nullptr;
  uint64_t bytes = 0;
  uint64_t count = 0;
  oxclDataType_t type = oxclFloat32;
  // 0 posted, 1 taken by the receiver, 2 copied, 3 refused (the receive did not match)
  std::atomic<int> state{0};
  SendPost* next = nullptr;  // channel order, guarded by the channel's lock
};

// Posted sends in order, oldest first; a receive takes the oldest.
struct Channel {
  std::mutex mu;
  SendPost* head = nullptr;
  SendPost* tail = nullptr;
  std::atomic<uint32_t> pending{0};  // posts in the list, readable without the lock
};

// Where the ranks of a clique live when it spans several processes; empty otherwise.
struct Membership {
  std::vector<int> procs;         // MPI ranks of the member processes, ascending
  std::vector<int> proc_of_rank;  // per clique rank: index into procs
  std::vector<int> local_ranks;   // ranks of this process, ascending
  int self = 0;                   // index of this process in procs
  bool spans_processes() const { return !proc_of_rank.empty(); }
};

class Clique {
 public:
  static constexpr int kSlots = 8;

  Clique(uint64_t nonce, int nranks, int64_t creator_pid);
  Clique(const Clique&) = delete;
  Clique& operator=(const Clique&) = delete;

  // Returns the total rank count.
  int nranks() const { return nranks_; }
  uint64_t nonce() const { return nonce_; }
  int64_t creator_pid() const { return creator_pid_; }

  // Returns the slot that serves operation `seq`.
  Slot& SlotFor(uint64_t seq) { return slots_[seq % kSlots]; }
  // Returns the channel that carries sends from rank src to rank dst.
  Channel& ChannelOf(int src, int dst) { return channels_[static_cast<size_t>(src) * nranks_ + dst]; }

  // Wakes every rank waiting in an operation of this clique.
  void Notify() { word_.NotifyAll(); }
  // Waits until done() holds: oxclSuccess, or the break code when the clique broke first.
  template <class Done>
  oxclResult_t Await(Done done) {
    if (word_.Await(done, [this] { return broken(); }, yield_)) return oxclSuccess;
    return BreakCode();
  }
  // Waits until done() holds, whether or not the clique broke (for waits that always end).
  template <class Done>
  void AwaitAlways(Done done) {
    word_.Await(done, [] { return false; }, yield_);
  }

  // Breaks the clique for good: every waiting and later operation fails with `code`
  // (oxclAborted after an abort, oxclRemoteError when a rank left). The first code stays.
  void Break(oxclResult_t code);
  bool broken() const { return break_code_.load(std::memory_order_seq_cst) != 0; }
  oxclResult_t BreakCode() const {
    return static_cast<oxclResult_t>(break_code_.load(std::memory_order_seq_cst));
  }

  // Fixed before the clique's communicators exist; read-only afterwards.
  Membership members;
  // Owned by the transport between processes (link buffers, MPI communicator).
  std::shared_ptr<void> link;

  // Join bookkeeping, guarded by the registry's lock.
  std::vector<bool> joined;
  int joined_count = 0;
  int live_count = 0;

 private:
  const uint64_t nonce_;
  const int nranks_;
  const int64_t creator_pid_;
  // Waits yield before they sleep only while every rank can have a core of its own; with
  // more ranks than cores the rank waited for may need this very core.
  const std::chrono::nanoseconds yield_;
  WaitWord word_;
  std::atomic<int> break_code_{0};
  std::unique_ptr<Slot[]> slots_;
  std::unique_ptr<Channel[]> channels_;
};

// Adds ranks[0..n) of this process to the clique named by id (made for nranks ranks) and
// waits until every rank of the clique has joined. On success *clique is the shared clique.
oxclResult_t JoinClique(const CliqueIdFields& id, int nranks, const int* ranks, int n,
                        std::shared_ptr<Clique>* clique);
// Marks one rank of the clique gone; the registry forgets the clique with its last rank.
void LeaveClique(Clique* clique);

}  // namespace oxcl_sim

#endif  // OX_SIM_CL_CLIQUE_H_
