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
    const std::string path =
        "/proc/" + std::to_string(pid) + "/fd/" + std::to_string(range.fd);
    const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) return nullptr;
    void* base = mmap(nullptr, range.file_bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    if (base == MAP_FAILED) return nullptr;
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

// The direct paths' first step: every process sends the others its words (4 header words,
// then `per_rank` words per rank it holds) and receives theirs, indexed by process.
oxclResult_t SwapWords(Operation& op, Exchange& ex, const std::vector<uint64_t>& mine,
                       size_t per_rank, std::vector<std::vector<uint64_t>>* theirs) {
  const int n = op.n();
  const size_t procs = op.members.procs.size();
  theirs->assign(procs, {});
  std::vector<int> ranks_of(procs, 0);
  for (int r = 0; r < n; ++r) ++ranks_of[op.ProcOf(r)];
  for (size_t p = 0; p < procs; ++p) {
    if (static_cast<int>(p) == op.self()) continue;
    (*theirs)[p].resize(4 + per_rank * ranks_of[p]);
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
oxclResult_t DriveDirectReduction(Operation& op, bool saturate) {
  const CollArgs& a = op.first();
  const bool scatter = a.kind == CollKind::kReduceScatter;
  const int n = op.n();
  const size_t elem = TypeSize(a.type);
  const size_t procs = op.members.procs.size();
  Exchange ex(op.clique, op.link, CollName(a.kind));

  // Buffer words: kind, type, operation, count, then per rank: the rank, its send and receive
  // addresses, and where each can be mapped from (memory file, serial, offset, file size; the
  // file is -1 when it cannot).
  const uint64_t send_bytes = (scatter ? a.count * n : a.count) * elem;
  std::vector<uint64_t> mine{static_cast<uint64_t>(a.kind), static_cast<uint64_t>(a.type),
                             static_cast<uint64_t>(a.op), a.count};
  constexpr size_t kWords = 11;
  for (size_t i = 0; i < op.local.size(); ++i) {
    mine.push_back(static_cast<uint64_t>(op.members.local_ranks[i]));
    mine.push_back(reinterpret_cast<uintptr_t>(op.local[i]->send));
    mine.push_back(reinterpret_cast<uintptr_t>(op.local[i]->recv));
    PushRange(mine, op.local[i]->send, send_bytes);
    PushRange(mine, op.local[i]->recv, a.count * elem);
  }
  std::vector<std::vector<uint64_t>> theirs;
  if (oxclResult_t rc = SwapWords(op, ex, mine, kWords, &theirs)) return rc;

  std::vector<const char*> send(n);
  std::vector<char*> recv(n);
  // Other processes' buffers as mapped here; null where only kernel copies reach them.
  std::vector<const char*> send_map(n, nullptr);
  std::vector<char*> recv_map(n, nullptr);
  for (size_t i = 0; i < op.local.size(); ++i) {
    send[op.members.local_ranks[i]] = static_cast<const char*>(op.local[i]->send);
    recv[op.members.local_ranks[i]] = static_cast<char*>(op.local[i]->recv);
  }
  int64_t status = oxclSuccess;
  for (size_t p = 0; p < procs && status == oxclSuccess; ++p) {
    if (static_cast<int>(p) == op.self()) continue;
    const std::vector<uint64_t>& w = theirs[p];
    if (!std::equal(w.begin(), w.begin() + 4, mine.begin())) {
      Report("%s: process %d called %s (%s, %s, %llu) where this one called %s (%s, %s, %llu)",
             CollName(a.kind), op.members.procs[p], CollName(static_cast<CollKind>(w[0])),
             TypeName(static_cast<oxclDataType_t>(w[1])), OpName(static_cast<oxclReduceOp_t>(w[2])),
             static_cast<unsigned long long>(w[3]), CollName(a.kind), TypeName(a.type),
             OpName(a.op), static_cast<unsigned long long>(a.count));
      status = oxclInvalidUsage;
      break;
    }
    for (size_t k = 4; k + kWords <= w.size(); k += kWords) {
      const int r = static_cast<int>(w[k]);
      send[r] = reinterpret_cast<const char*>(static_cast<uintptr_t>(w[k + 1]));
      recv[r] = reinterpret_cast<char*>(static_cast<uintptr_t>(w[k + 2]));
      const int64_t pid = op.link.pids[p];
      send_map[r] = op.link.Map(pid, RangeAt(w, k + 3));
      recv_map[r] = scatter ? nullptr : op.link.Map(pid, RangeAt(w, k + 7));
    }
  }

  if (status == oxclSuccess) {
    // All-reduce: the units are split evenly over the processes. Reduce-scatter: a process
    // reduces the parts its ranks own, so it only ever writes its own memory.
    constexpr uint64_t kUnit = 128 * 1024;
    const uint64_t unit = kUnit / elem;
    std::vector<std::pair<uint64_t, uint64_t>> ranges;
    if (scatter) {
      for (int r : op.members.local_ranks) ranges.push_back({r * a.count, (r + 1) * a.count});
    } else {
      const uint64_t units = (a.count + unit - 1) / unit;
      const uint64_t p = static_cast<uint64_t>(op.self());
      ranges.push_back({std::min(a.count, units * p / procs * unit),
                        std::min(a.count, units * (p + 1) / procs * unit)});
    }
    const FoldFn fold = GetFold(a.type, a.op, saturate);
    // Outputs nobody reads soon bypass the cache, as in the in-process engine.
    const bool stream = a.count * elem * n >= kStreamBytes;
    std::vector<char> stage(static_cast<size_t>(n) * kUnit), tile(kUnit);
    std::vector<const void*> in(n);
    for (const auto& range : ranges) {
      for (uint64_t lo = range.first; lo < range.second && status == oxclSuccess; lo += unit) {
        const uint64_t len = std::min(unit, range.second - lo);
        for (int r = 0; r < n && status == oxclSuccess; ++r) {
          const char* src = send[r] + lo * elem;
          if (op.Local(r) || send_map[r]) {
            in[r] = op.Local(r) ? src : send_map[r] + lo * elem;
            continue;
          }
          char* dst = stage.data() + static_cast<size_t>(r) * kUnit;
          if (!PeerCopy(true, op.link.pids[op.ProcOf(r)], dst, src, len * elem)) {
            Report("%s: reading rank %d's input from process %lld failed: %s", CollName(a.kind),
                   r, static_cast<long long>(op.link.pids[op.ProcOf(r)]), std::strerror(errno));
            status = oxclSystemError;
          }
          in[r] = dst;
        }
        if (status != oxclSuccess) break;
        fold(in.data(), n, 0, len, tile.data());
        if (scatter) {
          const int owner = static_cast<int>(lo / a.count);
          std::memcpy(recv[owner] + (lo - owner * a.count) * elem, tile.data(), len * elem);
          continue;
        }
        for (int r = 0; r < n && status == oxclSuccess; ++r) {
          char* dst = recv[r] + lo * elem;
          if (op.Local(r) || recv_map[r]) {
            StoreBytes(op.Local(r) ? dst : recv_map[r] + lo * elem, tile.data(), len * elem,
                       stream);
          } else if (!PeerCopy(false, op.link.pids[op.ProcOf(r)], tile.data(), dst, len * elem)) {
            Report("%s: writing rank %d's output in process %lld failed: %s", CollName(a.kind), r,
                   static_cast<long long>(op.link.pids[op.ProcOf(r)]), std::strerror(errno));
            status = oxclSystemError;
          }
        }
      }
    }
  }

  // Everyone's share is written once every process has said so; a failure anywhere fails all.
  return FinishDirect(op, ex, status);
}

oxclResult_t DriveDirectMoves(Operation& op) {
  const CollArgs& a = op.first();
  const int n = op.n();
  const bool gather = a.kind == CollKind::kAllGather;
  const size_t procs = op.members.procs.size();
  Exchange ex(op.clique, op.link, CollName(a.kind));

  // The block rank i receives from rank j, as rank i's call describes it.
  auto incoming = [&](const CollArgs& args, int from) -> std::pair<char*, uint64_t> {
    if (!gather) {
      const PairBlock b = BlockOf(args, from);
      return {b.recv, b.recv_bytes};
    }
    const uint64_t block = args.count * TypeSize(args.type);
    return {static_cast<char*>(args.recv) + from * block, block};
  };
  // ... and the block it sends to rank `to`.
  auto outgoing = [&](const CollArgs& args, int to) -> std::pair<const char*, uint64_t> {
    if (!gather) {
      const PairBlock b = BlockOf(args, to);
      return {b.send, b.send_bytes};
    }
    return {static_cast<const char*>(args.send), args.count * TypeSize(args.type)};
  };

  // Words: kind, type, count (zero for the -v form), overlap here; then per rank: the rank,
  // and per peer j: the address and size of the block to j, the size expected from j, and
  // the four words of where the block to j can be mapped from.
  uint64_t overlap = 0;
  std::vector<uint64_t> mine{static_cast<uint64_t>(a.kind), static_cast<uint64_t>(a.type),
                             a.kind == CollKind::kAlltoAllv ? 0 : a.count, 0};
  const size_t words_per_rank = 1 + 7 * static_cast<size_t>(n);
  for (size_t i = 0; i < op.local.size(); ++i) {
    const CollArgs& args = *op.local[i];
    const int rank = op.members.local_ranks[i];
    mine.push_back(static_cast<uint64_t>(rank));
    // All-gather sends the same buffer to everyone: one lookup of where it can be mapped.
    std::vector<uint64_t> gather_range;
    if (gather) PushRange(gather_range, args.send, outgoing(args, 0).second);
    for (int j = 0; j < n; ++j) {
      const auto out = outgoing(args, j);
      const auto in = incoming(args, j);
      mine.insert(mine.end(), {reinterpret_cast<uintptr_t>(out.first), out.second, in.second});
      if (gather)
        mine.insert(mine.end(), gather_range.begin(), gather_range.end());
      else
        PushRange(mine, out.first, out.second);
      for (int k = 0; k < n && !overlap; ++k) {
        const auto other = incoming(args, k);
        // In-place all-gather sends its own receive block, which nobody writes.
        if (gather && k == rank && out.first == other.first) continue;
        overlap = Overlap(out.first, out.second, other.first, other.second);
      }
    }
  }
  mine[3] = overlap;
  std::vector<std::vector<uint64_t>> theirs;
  if (oxclResult_t rc = SwapWords(op, ex, mine, words_per_rank, &theirs)) return rc;

  // Per sending rank: where its record starts in the words of its process (local ranks: -1).
  std::vector<std::pair<int, size_t>> record(n, {-1, 0});
  int64_t status = oxclSuccess;
  bool any_overlap = overlap != 0;
  for (size_t p = 0; p < procs && status == oxclSuccess; ++p) {
    if (static_cast<int>(p) == op.self()) continue;
    const std::vector<uint64_t>& w = theirs[p];
    if (!std::equal(w.begin(), w.begin() + 3, mine.begin())) {
      Report("%s: process %d called %s (%s, %llu) where this one called %s (%s, %llu)",
             CollName(a.kind), op.members.procs[p], CollName(static_cast<CollKind>(w[0])),
             TypeName(static_cast<oxclDataType_t>(w[1])), static_cast<unsigned long long>(w[2]),
             CollName(a.kind), TypeName(a.type), static_cast<unsigned long long>(mine[2]));
      status = oxclInvalidUsage;
      break;
    }
    any_overlap = any_overlap || w[3] != 0;
    for (size_t k = 4; k + words_per_rank <= w.size(); k += words_per_rank) {
      if (w[k] >= static_cast<uint64_t>(n) || op.ProcOf(static_cast<int>(w[k])) != int(p)) {
        Report("%s: process %d sent the blocks of rank %llu, which it does not hold",
               CollName(a.kind), op.members.procs[p], static_cast<unsigned long long>(w[k]));
        status = oxclInternalError;
        break;
      }
      record[static_cast<int>(w[k])] = {static_cast<int>(p), k + 1};
    }
  }
  // Every process has seen every flag, so all of them take the same path.
  if (status == oxclSuccess && any_overlap)
    return gather ? DriveAllGather(op) : DriveAlltoAll(op);

  // Sizes: what each sender sends to a rank here must be what that rank expects.
  for (size_t i = 0; i < op.local.size() && status == oxclSuccess; ++i) {
    const int to = op.members.local_ranks[i];
    for (int from = 0; from < n && status == oxclSuccess; ++from) {
      const uint64_t expected = incoming(*op.local[i], from).second;
      const uint64_t sent =
          op.Local(from) ? outgoing(op.ArgsOf(from), to).second
                         : theirs[record[from].first][record[from].second + 7 * to + 1];
      if (sent != expected) {
        Report("%s: rank %d sends %llu bytes to rank %d, which expects %llu", CollName(a.kind),
               from, static_cast<unsigned long long>(sent), to,
               static_cast<unsigned long long>(expected));
        status = oxclInvalidUsage;
      }
    }
  }

  if (status == oxclSuccess) {
    uint64_t total = 0;
    for (const CollArgs* l : op.local)
      for (int from = 0; from < n; ++from) total += incoming(*l, from).second;
    // Outputs nobody reads soon bypass the cache, as in the in-process engine.
    const bool stream = total >= kStreamBytes;
    for (size_t i = 0; i < op.local.size() && status == oxclSuccess; ++i) {
      const int to = op.members.local_ranks[i];
      for (int from = 0; from < n && status == oxclSuccess; ++from) {
        const auto dst = incoming(*op.local[i], from);
        if (dst.second == 0) continue;
        if (op.Local(from)) {
          const char* src = outgoing(op.ArgsOf(from), to).first;
          if (src != dst.first) StoreBytes(dst.first, src, dst.second, stream);
          continue;
        }
        const std::vector<uint64_t>& w = theirs[record[from].first];
        const size_t at = record[from].second + 7 * to;
        const char* remote = reinterpret_cast<const char*>(static_cast<uintptr_t>(w[at]));
        const int64_t pid = op.link.pids[record[from].first];
        if (const char* mapped = op.link.Map(pid, RangeAt(w, at + 3))) {
          StoreBytes(dst.first, mapped, dst.second, stream);
        } else if (!PeerCopy(true, pid, dst.first, remote, dst.second)) {
          Report("%s: reading rank %d's block from process %lld failed: %s", CollName(a.kind),
                 from, static_cast<long long>(pid), std::strerror(errno));
          status = oxclSystemError;
        }
      }
    }
  }

  // No process may return (and let its ranks reuse their send buffers) while others read them.
  return FinishDirect(op, ex, status);
}
}  // namespace remote
}  // namespace oxcl_sim
