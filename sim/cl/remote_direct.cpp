#include <fcntl.h>
#include <sys/mman.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "dtype.h"
#include "engine.h"
#include "log.h"
#include "reduce.h"
#include "remote_link.h"

namespace oxcl_sim {
namespace remote {

namespace {

// Maps `bytes` of the memory file that process `pid` holds open as descriptor `fd`; null when
// it cannot be reached.
void* MapPeerFile(int64_t pid, int fd, size_t bytes) {
  const std::string path = "/proc/" + std::to_string(pid) + "/fd/" + std::to_string(fd);
  const int f = open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (f < 0) return nullptr;
  void* base = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, f, 0);
  close(f);
  return base == MAP_FAILED ? nullptr : base;
}

}  // namespace

char* Link::Map(int64_t pid, const oxsim::SharedRange& range) {
  if (range.fd < 0) return nullptr;
  const auto key = std::make_pair(pid, range.serial);
  auto it = mapped.find(key);
  if (it == mapped.end()) {
    // Freed allocations keep their pages alive while mapped: drop the least used.
    if (mapped.size() >= kMaxMapped) {
      auto oldest = mapped.begin();
      for (auto m = mapped.begin(); m != mapped.end(); ++m)
        if (m->second.last_use < oldest->second.last_use) oldest = m;
      munmap(oldest->second.base, oldest->second.bytes);
      mapped.erase(oldest);
    }
    void* base = MapPeerFile(pid, range.fd, range.file_bytes);
    if (base == nullptr) return nullptr;
    it = mapped.emplace(key, Mapped{base, range.file_bytes, 0}).first;
  }
  it->second.last_use = ++uses;
  return static_cast<char*>(it->second.base) + range.offset;
}

// Moves bytes between this process and process `pid` (read: remote to local), completing
// partial transfers; false with errno set when the kernel refuses.
bool PeerCopy(bool read, int64_t pid, void* local, const void* remote, uint64_t bytes) {
  uint64_t done = 0;
  while (done < bytes) {
    iovec l{static_cast<char*>(local) + done, bytes - done};
    iovec r{const_cast<char*>(static_cast<const char*>(remote)) + done, bytes - done};
    const ssize_t got = read ? process_vm_readv(static_cast<pid_t>(pid), &l, 1, &r, 1, 0)
                             : process_vm_writev(static_cast<pid_t>(pid), &l, 1, &r, 1, 0);
    if (got <= 0) {
      if (got == 0) errno = EFAULT;
      return false;
    }
    done += static_cast<uint64_t>(got);
  }
  return true;
}

// Where a buffer can be mapped from, as four words: memory file (-1 when it cannot be mapped),
// allocation serial, offset in the file, file size.
void PushRange(std::vector<uint64_t>& words, const void* buf, uint64_t bytes) {
  oxsim::SharedRange range;
  if (bytes == 0 || !oxsim::FindSharedRange(buf, bytes, &range)) range = oxsim::SharedRange();
  words.insert(words.end(), {static_cast<uint64_t>(static_cast<int64_t>(range.fd)), range.serial,
                             range.offset, range.file_bytes});
}

oxsim::SharedRange RangeAt(const std::vector<uint64_t>& words, size_t at) {
  oxsim::SharedRange x;
  x.fd = static_cast<int>(static_cast<int64_t>(words[at]));
  x.serial = words[at + 1];
  x.offset = words[at + 2];
  x.file_bytes = words[at + 3];
  return x;
}

// The direct paths' first step: every process sends the others its words (`head` words, then
// `per_rank` words per rank it holds) and receives theirs, indexed by process.
oxclResult_t SwapWords(Operation& op, Exchange& ex, const std::vector<uint64_t>& mine,
                       size_t head, size_t per_rank,
                       std::vector<std::vector<uint64_t>>* theirs) {
  const int n = op.n();
  const size_t procs = op.members.procs.size();
  theirs->assign(procs, {});
  std::vector<int> ranks_of(procs, 0);
  for (int r = 0; r < n; ++r) ++ranks_of[op.ProcOf(r)];
  for (size_t p = 0; p < procs; ++p) {
    if (static_cast<int>(p) == op.self()) continue;
    (*theirs)[p].resize(head + per_rank * ranks_of[p]);
    ex.Send(mine.data(), mine.size() * 8, static_cast<int>(p), TagBase(n, kTagBuffers));
    ex.Recv((*theirs)[p].data(), (*theirs)[p].size() * 8, static_cast<int>(p),
            TagBase(n, kTagBuffers));
  }
  return ex.WaitAll();
}

// The direct paths' last step: the processes swap their verdicts once their work is done, so a
// failure anywhere fails everyone and nobody leaves while another still uses its buffers.
oxclResult_t FinishDirect(Operation& op, Exchange& ex, int64_t status) {
  StoreFence();
  const size_t procs = op.members.procs.size();
  std::vector<int64_t> verdicts(procs, oxclSuccess);
  for (size_t p = 0; p < procs; ++p) {
    if (static_cast<int>(p) == op.self()) continue;
    ex.Send(&status, sizeof status, static_cast<int>(p), TagBase(op.n(), kTagDone));
    ex.Recv(&verdicts[p], sizeof verdicts[p], static_cast<int>(p), TagBase(op.n(), kTagDone));
  }
  if (oxclResult_t rc = ex.WaitAll()) return rc;
  if (status != oxclSuccess) return static_cast<oxclResult_t>(status);
  for (int64_t v : verdicts)
    if (v != oxclSuccess) return oxclRemoteError;
  return oxclSuccess;
}

// Reductions between processes of one host: like the in-process engine, each element is
// folded once from all n inputs in rank order and stored to its outputs, every process taking
// a share of the units and reading (writing) the other processes' buffers directly. The
// processes first swap their buffer addresses, which also shows that every call matches,
// and finally tell each other that their share is done.
namespace {

// A reduction between processes of one host, from this process's side: every rank's buffers
// as their owners see them, where the other processes' buffers appear here, and the share of
// the work that falls to this process.
class DirectReduction {
 public:
  DirectReduction(Operation& op, bool saturate)
      : op_(op), a_(op.first()), scatter_(a_.kind == CollKind::kReduceScatter), n_(op.n()),
        elem_(TypeSize(a_.type)), fold_(GetFold(a_.type, a_.op, saturate)),
        send_(n_), recv_(n_), send_map_(n_, nullptr), recv_map_(n_, nullptr) {
    for (size_t i = 0; i < op.local.size(); ++i) {
      send_[op.members.local_ranks[i]] = static_cast<const char*>(op.local[i]->send);
      recv_[op.members.local_ranks[i]] = static_cast<char*>(op.local[i]->recv);
    }
  }

  // Words before the ranks' in Words(), and per rank: the rank, its send and receive
  // addresses, and where each can be mapped from (four words each, see PushRange).
  static constexpr size_t kHeadWords = 6;
  static constexpr size_t kWordsPerRank = 11;

  // This process's words: kind, type, operation, count (the call, which must match), whether
  // it reaches the unit counter and, from the first member, the counter's file descriptor;
  // then kWordsPerRank per local rank.
  std::vector<uint64_t> Words() const {
    const uint64_t send_bytes = (scatter_ ? a_.count * n_ : a_.count) * elem_;
    std::vector<uint64_t> words{static_cast<uint64_t>(a_.kind), static_cast<uint64_t>(a_.type),
                                static_cast<uint64_t>(a_.op), a_.count,
                                op_.link.claims != nullptr ? 1u : 0u,
                                static_cast<uint64_t>(static_cast<int64_t>(op_.link.claims_fd))};
    for (size_t i = 0; i < op_.local.size(); ++i) {
      words.push_back(static_cast<uint64_t>(op_.members.local_ranks[i]));
      words.push_back(reinterpret_cast<uintptr_t>(op_.local[i]->send));
      words.push_back(reinterpret_cast<uintptr_t>(op_.local[i]->recv));
      PushRange(words, op_.local[i]->send, send_bytes);
      PushRange(words, op_.local[i]->recv, a_.count * elem_);
    }
    return words;
  }

  // Takes in the words of the other processes; a call that differs from this one's fails.
  int64_t Learn(const std::vector<uint64_t>& mine,
                const std::vector<std::vector<uint64_t>>& theirs) {
    // Every process sees every flag, so all of them choose the same split of the units. A
    // counter mapped now counts from the next call on, when the others know of it.
    claim_ = mine[4] != 0;
    for (size_t p = 0; p < theirs.size(); ++p)
      if (static_cast<int>(p) != op_.self()) claim_ = claim_ && theirs[p][4] != 0;
    if (op_.link.claims == nullptr && op_.self() != 0) MapClaims(theirs[0]);
    for (size_t p = 0; p < theirs.size(); ++p) {
      if (static_cast<int>(p) == op_.self()) continue;
      const std::vector<uint64_t>& w = theirs[p];
      if (!std::equal(w.begin(), w.begin() + 4, mine.begin())) {
        Report("%s: process %d called %s (%s, %s, %llu) where this one called %s (%s, %s, %llu)",
               CollName(a_.kind), op_.members.procs[p], CollName(static_cast<CollKind>(w[0])),
               TypeName(static_cast<oxclDataType_t>(w[1])),
               OpName(static_cast<oxclReduceOp_t>(w[2])), static_cast<unsigned long long>(w[3]),
               CollName(a_.kind), TypeName(a_.type), OpName(a_.op),
               static_cast<unsigned long long>(a_.count));
        return oxclInvalidUsage;
      }
      for (size_t k = kHeadWords; k + kWordsPerRank <= w.size(); k += kWordsPerRank) {
        const int r = static_cast<int>(w[k]);
        send_[r] = reinterpret_cast<const char*>(static_cast<uintptr_t>(w[k + 1]));
        recv_[r] = reinterpret_cast<char*>(static_cast<uintptr_t>(w[k + 2]));
        const int64_t pid = op_.link.pids[p];
        send_map_[r] = op_.link.Map(pid, RangeAt(w, k + 3));
        recv_map_[r] = scatter_ ? nullptr : op_.link.Map(pid, RangeAt(w, k + 7));
      }
    }
    return oxclSuccess;
  }

  // Reduces this process's share: for all-reduce the units it claims from the shared
  // counters, or an even split of them over the processes while some process cannot reach the
  // counter; for reduce-scatter the parts its own ranks receive, so that it only ever writes
  // its own memory.
  int64_t Run() {
    const uint64_t unit = kUnitBytes / elem_;
    if (scatter_) {
      for (int r : op_.members.local_ranks)
        if (int64_t status = ReduceRange(r * a_.count, (r + 1) * a_.count)) return status;
      return oxclSuccess;
    }
    const uint64_t units = (a_.count + unit - 1) / unit;
    const uint64_t p = static_cast<uint64_t>(op_.self()), procs = op_.members.procs.size();
    if (!claim_)
      return ReduceRange(std::min(a_.count, units * p / procs * unit),
                         std::min(a_.count, units * (p + 1) / procs * unit));
    // No process claims for the next call before every process has drawn its last ticket of
    // this one: the next call's swap of words waits for everybody's end of this one.
    if (procs > Link::kClaimRanges) {
      const uint64_t first = op_.link.claims_base;
      op_.link.claims_base = first + units + procs;
      return ClaimFrom(op_.link.claims, first, 0, units, unit);
    }
    // Every process draws from every range with units, one ticket beyond them each, so all
    // of them move each range's base alike.
    for (uint64_t k = 0; k < procs; ++k) {
      const uint64_t q = (p + k) % procs;
      const uint64_t lo = units * q / procs, size = units * (q + 1) / procs - lo;
      if (size == 0) continue;
      const uint64_t first = op_.link.range_base[q];
      op_.link.range_base[q] = first + size + procs;
      if (int64_t status = ClaimFrom(op_.link.claims + q * Link::kClaimStride, first, lo, size,
                                     unit))
        return status;
    }
    return oxclSuccess;
  }

 private:
  // Maps the first member's unit counter, named in its words; left unmapped (the even split
  // stays) when that fails.
  void MapClaims(const std::vector<uint64_t>& first_words) {
    const int fd = static_cast<int>(static_cast<int64_t>(first_words[5]));
    if (fd < 0) return;
    void* base = MapPeerFile(op_.link.pids[0], fd, Link::kClaimsBytes);
    op_.link.claims = static_cast<std::atomic<uint64_t>*>(base);
  }

  static constexpr uint64_t kUnitBytes = 128 * 1024;

  // Reduces the units [lo, lo + size) as tickets [first, first + size) of `counter` come in,
  // until a ticket beyond them.
  int64_t ClaimFrom(std::atomic<uint64_t>* counter, uint64_t first, uint64_t lo, uint64_t size,
                    uint64_t unit) {
    for (;;) {
      const uint64_t ticket = counter->fetch_add(1, std::memory_order_acq_rel);
      if (ticket >= first + size) return oxclSuccess;
      if (ticket < first) {
        Report("%s: unit counter at %llu, below this call's first unit %llu", CollName(a_.kind),
               static_cast<unsigned long long>(ticket), static_cast<unsigned long long>(first));
        return oxclInternalError;
      }
      const uint64_t begin = (lo + ticket - first) * unit;
      if (int64_t status = ReduceRange(begin, std::min(a_.count, begin + unit))) return status;
    }
  }

  int64_t ReduceRange(uint64_t begin, uint64_t end) {
    const uint64_t unit = kUnitBytes / elem_;
    // Outputs behind the kernel take the whole unit in one copy, so it is kept; otherwise
    // each tile goes out at once from a tile that stays in the first-level cache, as in the
    // in-process engine.
    bool by_kernel = false;
    for (int r = 0; r < n_ && !scatter_; ++r) by_kernel |= !op_.Local(r) && !recv_map_[r];
    if (by_kernel) result_.resize(kUnitBytes);
    alignas(64) char tile_buf[kTileBytes];
    in_.resize(n_);
    for (uint64_t lo = begin; lo < end; lo += unit) {
      const uint64_t len = std::min(unit, end - lo);
      if (int64_t status = GatherInputs(lo, len)) return status;
      const uint64_t tile = kTileBytes / elem_;
      for (uint64_t pos = 0; pos < len; pos += tile) {
        const uint64_t m = std::min(tile, len - pos);
        char* into = by_kernel ? result_.data() + pos * elem_ : tile_buf;
        fold_(in_.data(), n_, pos, m, into);
        StoreDirect(lo + pos, m, into);
      }
      if (by_kernel)
        if (int64_t status = StoreByKernel(lo, len)) return status;
    }
    return oxclSuccess;
  }

  // Points in_ at every rank's elements [lo, lo + len): in place where this process reaches
  // them, otherwise copied through the kernel into the stage.
  int64_t GatherInputs(uint64_t lo, uint64_t len) {
    for (int r = 0; r < n_; ++r) {
      const char* src = send_[r] + lo * elem_;
      if (op_.Local(r) || send_map_[r]) {
        in_[r] = op_.Local(r) ? src : send_map_[r] + lo * elem_;
        continue;
      }
      stage_.resize(static_cast<size_t>(n_) * kUnitBytes);
      char* dst = stage_.data() + static_cast<size_t>(r) * kUnitBytes;
      if (!PeerCopy(true, op_.link.pids[op_.ProcOf(r)], dst, src, len * elem_)) {
        Report("%s: reading rank %d's input from process %lld failed: %s", CollName(a_.kind), r,
               static_cast<long long>(op_.link.pids[op_.ProcOf(r)]), std::strerror(errno));
        return oxclSystemError;
      }
      in_[r] = dst;
    }
    return oxclSuccess;
  }

  // Stores the reduced elements [lo, lo + len), at `tile`, to their owner (reduce-scatter, a
  // rank of this process) or to every rank's output that this process reaches directly.
  void StoreDirect(uint64_t lo, uint64_t len, const char* tile) {
    if (scatter_) {
      const int owner = static_cast<int>(lo / a_.count);
      std::memcpy(recv_[owner] + (lo - owner * a_.count) * elem_, tile, len * elem_);
      return;
    }
    // Outputs nobody reads soon bypass the cache, as in the in-process engine.
    const bool stream = a_.count * elem_ * n_ >= kStreamBytes;
    for (int r = 0; r < n_; ++r) {
      if (op_.Local(r))
        StoreBytes(recv_[r] + lo * elem_, tile, len * elem_, stream);
      else if (recv_map_[r])
        StoreBytes(recv_map_[r] + lo * elem_, tile, len * elem_, stream);
    }
  }

  // Writes the reduced unit [lo, lo + len) into the outputs of other processes that are not
  // mapped here, through the kernel.
  int64_t StoreByKernel(uint64_t lo, uint64_t len) {
    if (scatter_) return oxclSuccess;
    for (int r = 0; r < n_; ++r) {
      if (op_.Local(r) || recv_map_[r]) continue;
      if (!PeerCopy(false, op_.link.pids[op_.ProcOf(r)], result_.data(), recv_[r] + lo * elem_,
                    len * elem_)) {
        Report("%s: writing rank %d's output in process %lld failed: %s", CollName(a_.kind), r,
               static_cast<long long>(op_.link.pids[op_.ProcOf(r)]), std::strerror(errno));
        return oxclSystemError;
      }
    }
    return oxclSuccess;
  }

  Operation& op_;
  const CollArgs& a_;
  const bool scatter_;
  const int n_;
  const size_t elem_;
  const FoldFn fold_;
  std::vector<const char*> send_;
  std::vector<char*> recv_;
  // Other processes' buffers as mapped here; null where only kernel copies reach them.
  std::vector<const char*> send_map_;
  std::vector<char*> recv_map_;
  std::vector<char> stage_, result_;
  std::vector<const void*> in_;
  bool claim_ = false;  // all-reduce units come from the shared counter
};

// The first member process's unit counter, made at its first reduction when the processes
// map each other's memory; the others map it when they learn of it.
void MakeClaims(Operation& op) {
  Link& link = op.link;
  if (link.claims != nullptr || link.claims_fd >= 0 || op.self() != 0 || !oxsim::PeerMap()) return;
  const int fd = memfd_create("oxsim-claims", MFD_CLOEXEC);
  if (fd < 0) return;
  void* base = ftruncate(fd, Link::kClaimsBytes) == 0
                   ? mmap(nullptr, Link::kClaimsBytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0)
                   : MAP_FAILED;
  if (base == MAP_FAILED) {
    close(fd);
    return;
  }
  // A new file reads as zeros: the counter starts at ticket 0, as link.claims_base does.
  static_assert(std::atomic<uint64_t>::is_always_lock_free, "the counter is shared by processes");
  link.claims = static_cast<std::atomic<uint64_t>*>(base);
  link.claims_fd = fd;
}

}  // namespace

oxclResult_t DriveDirectReduction(Operation& op, bool saturate) {
  Exchange ex(op.clique, op.link, CollName(op.first().kind));
  MakeClaims(op);
  DirectReduction reduction(op, saturate);
  const std::vector<uint64_t> mine = reduction.Words();
  std::vector<std::vector<uint64_t>> theirs;
  if (oxclResult_t rc = SwapWords(op, ex, mine, DirectReduction::kHeadWords,
                                  DirectReduction::kWordsPerRank, &theirs))
    return rc;
  int64_t status = reduction.Learn(mine, theirs);
  if (status == oxclSuccess) status = reduction.Run();
  // Everyone's share is written once every process has said so; a failure anywhere fails all.
  return FinishDirect(op, ex, status);
}

namespace {

// All-gather or all-to-all between processes of one host, from this process's side.
class DirectMoves {
 public:
  explicit DirectMoves(Operation& op)
      : op_(op), a_(op.first()), n_(op.n()), gather_(a_.kind == CollKind::kAllGather),
        record_(n_, {-1, 0}) {}

  // Words per rank in Words(): the rank, and per peer j: the address and size of the block to
  // j, the size expected from j, and the four words of where the block to j can be mapped from.
  size_t WordsPerRank() const { return 1 + 7 * static_cast<size_t>(n_); }

  // This process's words: kind, type, count (zero for the -v form), whether a send block here
  // overlaps a receive block; then WordsPerRank() per local rank.
  std::vector<uint64_t> Words() const {
    uint64_t overlap = 0;
    std::vector<uint64_t> words{static_cast<uint64_t>(a_.kind), static_cast<uint64_t>(a_.type),
                                a_.kind == CollKind::kAlltoAllv ? 0 : a_.count, 0};
    for (size_t i = 0; i < op_.local.size(); ++i) {
      const CollArgs& args = *op_.local[i];
      const int rank = op_.members.local_ranks[i];
      words.push_back(static_cast<uint64_t>(rank));
      // All-gather sends the same buffer to everyone: one lookup of where it can be mapped.
      std::vector<uint64_t> gather_range;
      if (gather_) PushRange(gather_range, args.send, Outgoing(args, 0).second);
      for (int j = 0; j < n_; ++j) {
        const auto out = Outgoing(args, j);
        words.insert(words.end(), {reinterpret_cast<uintptr_t>(out.first), out.second,
                                   Incoming(args, j).second});
        if (gather_)
          words.insert(words.end(), gather_range.begin(), gather_range.end());
        else
          PushRange(words, out.first, out.second);
        if (!overlap) overlap = SendOverlaps(args, rank, out);
      }
    }
    words[3] = overlap;
    return words;
  }

  // Takes in the other processes' words; a call that differs from this one's fails. Sets
  // *overlap when any process has a send block overlapping its receive blocks.
  int64_t Learn(const std::vector<uint64_t>& mine,
                const std::vector<std::vector<uint64_t>>& theirs, bool* overlap) {
    theirs_ = &theirs;
    *overlap = mine[3] != 0;
    for (size_t p = 0; p < theirs.size(); ++p) {
      if (static_cast<int>(p) == op_.self()) continue;
      const std::vector<uint64_t>& w = theirs[p];
      if (!std::equal(w.begin(), w.begin() + 3, mine.begin())) {
        Report("%s: process %d called %s (%s, %llu) where this one called %s (%s, %llu)",
               CollName(a_.kind), op_.members.procs[p], CollName(static_cast<CollKind>(w[0])),
               TypeName(static_cast<oxclDataType_t>(w[1])), static_cast<unsigned long long>(w[2]),
               CollName(a_.kind), TypeName(a_.type), static_cast<unsigned long long>(mine[2]));
        return oxclInvalidUsage;
      }
      *overlap = *overlap || w[3] != 0;
      for (size_t k = 4; k + WordsPerRank() <= w.size(); k += WordsPerRank()) {
        if (w[k] >= static_cast<uint64_t>(n_) || op_.ProcOf(static_cast<int>(w[k])) != int(p)) {
          Report("%s: process %d sent the blocks of rank %llu, which it does not hold",
                 CollName(a_.kind), op_.members.procs[p], static_cast<unsigned long long>(w[k]));
          return oxclInternalError;
        }
        record_[static_cast<int>(w[k])] = {static_cast<int>(p), k + 1};
      }
    }
    return oxclSuccess;
  }

  // What each sender sends to a rank here must be what that rank expects.
  int64_t CheckSizes() const {
    for (size_t i = 0; i < op_.local.size(); ++i) {
      const int to = op_.members.local_ranks[i];
      for (int from = 0; from < n_; ++from) {
        const uint64_t expected = Incoming(*op_.local[i], from).second;
        const uint64_t sent = op_.Local(from) ? Outgoing(op_.ArgsOf(from), to).second
                                              : RecordOf(from)[At(from, to) + 1];
        if (sent == expected) continue;
        Report("%s: rank %d sends %llu bytes to rank %d, which expects %llu", CollName(a_.kind),
               from, static_cast<unsigned long long>(sent), to,
               static_cast<unsigned long long>(expected));
        return oxclInvalidUsage;
      }
    }
    return oxclSuccess;
  }

  // Copies every block the local ranks receive straight from its sender's buffer.
  int64_t CopyBlocks() const {
    uint64_t total = 0;
    for (const CollArgs* l : op_.local)
      for (int from = 0; from < n_; ++from) total += Incoming(*l, from).second;
    // Outputs nobody reads soon bypass the cache, as in the in-process engine.
    const bool stream = total >= kStreamBytes;
    for (size_t i = 0; i < op_.local.size(); ++i) {
      for (int from = 0; from < n_; ++from) {
        if (int64_t status = CopyBlock(i, from, stream)) return status;
      }
    }
    return oxclSuccess;
  }

 private:
  // The block rank i receives from rank `from`, as rank i's call describes it.
  std::pair<char*, uint64_t> Incoming(const CollArgs& args, int from) const {
    if (!gather_) {
      const PairBlock b = BlockOf(args, from);
      return {b.recv, b.recv_bytes};
    }
    const uint64_t block = args.count * TypeSize(args.type);
    return {static_cast<char*>(args.recv) + from * block, block};
  }
  // ... and the block it sends to rank `to`.
  std::pair<const char*, uint64_t> Outgoing(const CollArgs& args, int to) const {
    if (!gather_) {
      const PairBlock b = BlockOf(args, to);
      return {b.send, b.send_bytes};
    }
    return {static_cast<const char*>(args.send), args.count * TypeSize(args.type)};
  }

  // True when the send block `out` of `rank` overlaps one of its receive blocks.
  bool SendOverlaps(const CollArgs& args, int rank,
                    const std::pair<const char*, uint64_t>& out) const {
    for (int k = 0; k < n_; ++k) {
      const auto other = Incoming(args, k);
      // In-place all-gather sends its own receive block, which nobody writes.
      if (gather_ && k == rank && out.first == other.first) continue;
      if (Overlap(out.first, out.second, other.first, other.second)) return true;
    }
    return false;
  }

  // The words of the process holding rank `from`, and where its record of the block to `to`
  // starts in them.
  const std::vector<uint64_t>& RecordOf(int from) const { return (*theirs_)[record_[from].first]; }
  size_t At(int from, int to) const { return record_[from].second + 7 * static_cast<size_t>(to); }

  int64_t CopyBlock(size_t i, int from, bool stream) const {
    const int to = op_.members.local_ranks[i];
    const auto dst = Incoming(*op_.local[i], from);
    if (dst.second == 0) return oxclSuccess;
    if (op_.Local(from)) {
      const char* src = Outgoing(op_.ArgsOf(from), to).first;
      if (src != dst.first) StoreBytes(dst.first, src, dst.second, stream);
      return oxclSuccess;
    }
    const std::vector<uint64_t>& w = RecordOf(from);
    const size_t at = At(from, to);
    const char* remote = reinterpret_cast<const char*>(static_cast<uintptr_t>(w[at]));
    const int64_t pid = op_.link.pids[record_[from].first];
    if (const char* mapped = op_.link.Map(pid, RangeAt(w, at + 3))) {
      StoreBytes(dst.first, mapped, dst.second, stream);
    } else if (!PeerCopy(true, pid, dst.first, remote, dst.second)) {
      Report("%s: reading rank %d's block from process %lld failed: %s", CollName(a_.kind), from,
             static_cast<long long>(pid), std::strerror(errno));
      return oxclSystemError;
    }
    return oxclSuccess;
  }

  Operation& op_;
  const CollArgs& a_;
  const int n_;
  const bool gather_;
  // Per sending rank: its process and where its record starts in that process's words (local
  // ranks: -1).
  std::vector<std::pair<int, size_t>> record_;
  const std::vector<std::vector<uint64_t>>* theirs_ = nullptr;
};

}  // namespace

oxclResult_t DriveDirectMoves(Operation& op) {
  Exchange ex(op.clique, op.link, CollName(op.first().kind));
  DirectMoves moves(op);
  const std::vector<uint64_t> mine = moves.Words();
  std::vector<std::vector<uint64_t>> theirs;
  if (oxclResult_t rc = SwapWords(op, ex, mine, 4, moves.WordsPerRank(), &theirs)) return rc;
  bool overlap = false;
  int64_t status = moves.Learn(mine, theirs, &overlap);
  // Every process has seen every flag, so all of them take the same path.
  if (status == oxclSuccess && overlap)
    return op.first().kind == CollKind::kAllGather ? DriveAllGather(op) : DriveAlltoAll(op);
  if (status == oxclSuccess) status = moves.CheckSizes();
  if (status == oxclSuccess) status = moves.CopyBlocks();
  // No process may return (and let its ranks reuse their send buffers) while others read them.
  return FinishDirect(op, ex, status);
}

}  // namespace remote
}  // namespace oxcl_sim
