// Internal to the transport of cliques that span processes: what its files share. Joining
// (remote_join.cpp) makes the link; the message path (remote_messages.cpp) and the direct
// same-host path (remote_direct.cpp) move the data of one operation over it; failures are
// passed on by remote_failure.cpp; remote.cpp is the transport that drives them.
#ifndef OX_SIM_CL_REMOTE_LINK_H_
#define OX_SIM_CL_REMOTE_LINK_H_

#include <mpi.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <utility>
#include <vector>

#include "clique.h"
#include "comm.h"
#include "oxcl.h"
#include "oxsim.h"

namespace oxcl_sim {
namespace remote {

using Clock = std::chrono::steady_clock;

// How long a process waits for the others to join a clique, and for any one message of an
// operation. A peer that died is normally ended by the launcher long before.
constexpr std::chrono::seconds kJoinTimeout{60};
constexpr std::chrono::seconds kMessageTimeout{120};
// How long a wait for messages yields its core before it sleeps, while the clique has more ranks
// than the host has cores.
constexpr std::chrono::milliseconds kOversubscribedYield{100};

// Reductions travel in chunks through a window of link buffers per direction, so the chain
// of processes works on several chunks at once.
constexpr uint64_t kChunkBytes = 1 << 20;
constexpr int kWindow = 4;
// MPI counts are ints: longer messages go as several pieces of at most this many bytes.
constexpr uint64_t kPieceBytes = 1 << 30;

extern std::atomic<uint64_t> link_bytes;

// A run of consecutive clique ranks held by one process; a reduction's partial result passes
// the runs in rank order.
struct Segment {
  int proc;
  int first;
  int end;
};

struct Link {
  MPI_Comm comm = MPI_COMM_NULL;
  void* memory = nullptr;  // kWindow receive buffers, then kWindow send buffers
  uint64_t bytes = 0;
  std::vector<Segment> segments;
  // All member processes run on this host and may read and write each other's memory, so
  // reductions take the direct path; pids per member process.
  bool peer_access = false;
  std::vector<int64_t> pids;
  // Set when an operation was abandoned with messages still in flight: MPI may still touch
  // the buffers, so they are never freed.
  std::atomic<bool> abandoned{false};
  // Set once the other processes were told that an operation failed here.
  std::atomic<bool> announced{false};

  // Device memory of other processes mapped here, by (pid, allocation serial). Only the
  // driving thread of an operation uses it, one operation at a time.
  struct Mapped {
    void* base;
    size_t bytes;
    uint64_t last_use;
  };
  std::map<std::pair<int64_t, uint64_t>, Mapped> mapped;
  uint64_t uses = 0;
  static constexpr size_t kMaxMapped = 32;

  // Returns where another process's memory file appears here, or null when it cannot be
  // mapped (the caller then copies through the kernel instead).
  char* Map(int64_t pid, const oxsim::SharedRange& range);

  // The unit counters of all-reduces on the direct path, in a small memory file of the first
  // member process, mapped by the others, so that every process keeps claiming units until
  // none is left instead of each taking a fixed share and waiting for the slowest. Up to
  // kClaimRanges processes, each process q has a range of the units and a counter of its own
  // (word kClaimStride * q, a cache line apart): it claims from its own range first, then
  // helps with the others'. With more processes, word 0 alone counts all the units. A counter
  // only grows: operation k claims tickets [base, base + units of the range), base being
  // range_base[q] or claims_base, and each process draws one ticket beyond them before it
  // moves on. Null until this process has created (first member) or mapped it.
  std::atomic<uint64_t>* claims = nullptr;
  int claims_fd = -1;  // the first member's own file, -1 elsewhere
  uint64_t claims_base = 0;
  static constexpr size_t kClaimsBytes = 4096;
  static constexpr size_t kClaimStride = 8;
  static constexpr size_t kClaimRanges = kClaimsBytes / sizeof(uint64_t) / kClaimStride;
  uint64_t range_base[kClaimRanges] = {};

  char* RecvBuffer(int k) const { return static_cast<char*>(memory) + k * kChunkBytes; }
  char* SendBuffer(int k) const {
    return static_cast<char*>(memory) + (kWindow + k) * kChunkBytes;
  }

  ~Link();
};

bool MpiRunning();

// ---- messages of one operation ----

inline int TagBase(int n, int cls) { return cls * n * n; }
enum : int {
  kTagP2P = 0,
  kTagPartial = 1,
  kTagFinal = 2,
  kTagGather = 3,
  kTagAlltoAll = 4,
  kTagBuffers = 5,
  kTagDone = 6,
  kTagFailed = 7,
};
constexpr int kTagClasses = 8;

// ---- failures (remote_failure.cpp) ----

// Tells the clique's other processes that an operation failed here, so that they stop
// waiting for messages that will never come; it stays unreceived, and every later wait of
// theirs sees it too.
void AnnounceFailure(Clique& clique, Link& link);
// True once another process announced a failure in this clique.
bool OtherFailed(Clique& clique, Link& link, int* who);
// After a failed operation between processes: the others hear of it (unless they told us),
// and the clique breaks.
void Fail(Clique& clique, Link& link, oxclResult_t rc);

// ---- messages (remote_exchange.cpp) ----

// One message: one or more MPI requests (pieces) and, for receives, the bytes expected.
struct Message {
  std::vector<MPI_Request> requests;
  uint64_t bytes = 0;
  bool receive = false;
  int peer = 0;  // MPI rank of the other side, in the clique's communicator
};

class Exchange {
 public:
  Exchange(Clique& clique, Link& link, const char* api)
      : clique_(clique), link_(link), api_(api) {}
  Exchange(const Exchange&) = delete;
  Exchange& operator=(const Exchange&) = delete;

  // Abandons whatever is still in flight (after a failure): receives are cancelled and the
  // link's buffers are never freed, since MPI may still read or write them.
  ~Exchange();

  // Starts a send or a receive of `bytes` with process `proc` (index into the members) and
  // returns its handle.
  size_t Send(const void* buf, uint64_t bytes, int proc, int tag) {
    return Post(const_cast<void*>(buf), bytes, proc, tag, false);
  }
  size_t Recv(void* buf, uint64_t bytes, int proc, int tag) {
    return Post(buf, bytes, proc, tag, true);
  }

  // Waits for one message; a receive must bring exactly the bytes expected.
  oxclResult_t Wait(size_t handle);
  oxclResult_t WaitAll();

 private:
  size_t Post(void* buf, uint64_t bytes, int proc, int tag, bool receive);
  // Tests every unfinished piece of m: *done_all stays true when none is left, *completed
  // counts the pieces that finished now.
  oxclResult_t Complete(Message& m, bool* done_all, int* completed);
  // Waits for messages [first, end).
  oxclResult_t WaitRange(size_t first, size_t end);

  Clique& clique_;
  Link& link_;
  const char* api_;
  std::vector<Message> messages_;
};

// ---- one collective, driven by the last local rank to arrive ----

struct Operation {
  Clique& clique;
  Link& link;
  const Membership& members;
  std::vector<const CollArgs*> local;  // per local rank, in rank order
  const CollArgs& first() const { return *local.front(); }
  int n() const { return clique.nranks(); }
  int self() const { return members.self; }
  int ProcOf(int rank) const { return members.proc_of_rank[rank]; }
  bool Local(int rank) const { return ProcOf(rank) == self(); }
  const CollArgs& ArgsOf(int rank) const {
    const auto& lr = members.local_ranks;
    return *local[std::lower_bound(lr.begin(), lr.end(), rank) - lr.begin()];
  }
};

struct PairBlock {
  const char* send;
  uint64_t send_bytes;
  char* recv;
  uint64_t recv_bytes;
};

// What rank `from` sends to `to` and what it receives from `to`.
PairBlock BlockOf(const CollArgs& a, int to);

bool Overlap(const char* a, uint64_t an, const char* b, uint64_t bn);

// ---- the message path (remote_messages.cpp) ----

// Reductions: every chunk of the vector is folded in rank order along the segments (each
// process folds its ranks onto the partial result of the ranks before them and passes it on),
// so results are bit for bit those of one process. The process of the last segment then
// hands the chunk to everyone (all-reduce) or each piece to its owner (reduce-scatter).
oxclResult_t DriveReduction(Operation& op, bool saturate);
// All-gather: every local block goes once to every other process, which lands it in its first
// local rank's output; blocks then spread to the other local outputs in memory.
oxclResult_t DriveAllGather(Operation& op);
// All-to-all (plain and -v): blocks between processes are messages, blocks between ranks of
// this process are copies. A rank whose receive blocks overlap its send blocks (in place)
// sends from a copy.
oxclResult_t DriveAlltoAll(Operation& op);

// ---- the direct same-host path (remote_direct.cpp) ----

// Reductions between processes of one host: like the in-process engine, each element is
// folded once from all n inputs in rank order and stored to its outputs, every process taking
// a share of the units and reading (writing) the other processes' buffers directly. The
// processes first swap their buffer addresses, which also shows that every call matches,
// and finally tell each other that their share is done.
oxclResult_t DriveDirectReduction(Operation& op, bool saturate);
// All-gather and all-to-all between processes of one host: every process copies the blocks
// its own ranks receive straight out of the senders' memory, so each block moves once and no
// process writes another's memory. The processes swap the addresses of their blocks first,
// which also shows whether the calls match, and finally tell each other that they are done
// reading. Buffers that overlap their own receive blocks (in-place all-to-all) could be
// overwritten while a peer still reads them: then every process takes the message path.
oxclResult_t DriveDirectMoves(Operation& op);

}  // namespace remote
}  // namespace oxcl_sim

#endif  // OX_SIM_CL_REMOTE_LINK_H_
