#include "remote.h"

#include <fcntl.h>
#include <mpi.h>
#include <sys/mman.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "comm.h"
#include "dtype.h"
#include "engine.h"
#include "log.h"
#include "oxsim.h"
#include "p2p.h"
#include "reduce.h"

namespace oxcl_sim {
namespace {

using Clock = std::chrono::steady_clock;

// How long a process waits for the others to join a clique, and for any one message of an
// operation. A peer that died is normally ended by the launcher long before.
constexpr std::chrono::seconds kJoinTimeout{60};
constexpr std::chrono::seconds kMessageTimeout{120};

// Reductions travel in chunks through a window of link buffers per direction, so the chain
// of processes works on several chunks at once.
constexpr uint64_t kChunkBytes = 1 << 20;
constexpr int kWindow = 4;
// MPI counts are ints: longer messages go as several pieces of at most this many bytes.
constexpr uint64_t kPieceBytes = 1 << 30;

// Control messages on MPI_COMM_WORLD while a clique forms (its own communicator does not
// exist yet).
constexpr int kJoinTag = 0x4F58;
constexpr int kReplyTag = 0x4F59;

std::atomic<uint64_t> link_bytes{0};

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
  char* Map(int64_t pid, const oxsim::SharedRange& range) {
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

  char* RecvBuffer(int k) const { return static_cast<char*>(memory) + k * kChunkBytes; }
  char* SendBuffer(int k) const {
    return static_cast<char*>(memory) + (kWindow + k) * kChunkBytes;
  }

  ~Link() {
    for (auto& m : mapped) munmap(m.second.base, m.second.bytes);
    if (abandoned.load()) return;
    if (memory) {
      oxsim::DeviceFree(memory);
      link_bytes.fetch_sub(bytes);
    }
    int finalised = 0;
    MPI_Finalized(&finalised);
    if (comm != MPI_COMM_NULL && !finalised) MPI_Comm_free(&comm);
  }
};

bool MpiRunning() {
  int initialised = 0, finalised = 0;
  MPI_Initialized(&initialised);
  MPI_Finalized(&finalised);
  return initialised && !finalised;
}

// ---- control messages: [nonce, kind-specific words...] as 64-bit words ----

struct Control {
  int source;
  int tag;
  std::vector<int64_t> words;
};

// Messages of other cliques forming at the same time, received while looking for ours.
std::mutex control_mu;  // guards the stash only
std::vector<Control>* stash = new std::vector<Control>;

bool TakeStashed(int source, int tag, uint64_t nonce, Control* out) {
  for (auto it = stash->begin(); it != stash->end(); ++it) {
    if (it->tag != tag || (source != MPI_ANY_SOURCE && it->source != source)) continue;
    if (it->words.empty() || static_cast<uint64_t>(it->words[0]) != nonce) continue;
    *out = std::move(*it);
    stash->erase(it);
    return true;
  }
  return false;
}

// Receives the next control message with this tag and nonce (from `source`, or from anyone);
// false after the timeout.
bool ReceiveControl(int source, int tag, uint64_t nonce, Clock::time_point deadline,
                    Control* out) {
  auto pause = std::chrono::microseconds(20);
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(control_mu);
      if (TakeStashed(source, tag, nonce, out)) return true;
    }
    // A matched probe hands the message to this thread alone, so no lock is held around MPI.
    int flag = 0;
    MPI_Message message;
    MPI_Status status;
    MPI_Improbe(source, tag, MPI_COMM_WORLD, &flag, &message, &status);
    if (flag) {
      int count = 0;
      MPI_Get_count(&status, MPI_INT64_T, &count);
      Control c{status.MPI_SOURCE, tag, std::vector<int64_t>(std::max(count, 0))};
      MPI_Mrecv(c.words.data(), count, MPI_INT64_T, &message, MPI_STATUS_IGNORE);
      if (!c.words.empty() && static_cast<uint64_t>(c.words[0]) == nonce) {
        *out = std::move(c);
        return true;
      }
      std::lock_guard<std::mutex> lock(control_mu);
      stash->push_back(std::move(c));
      continue;
    }
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, std::chrono::microseconds(2000));
  }
}

void SendControl(int dest, int tag, const std::vector<int64_t>& words) {
  MPI_Send(words.data(), static_cast<int>(words.size()), MPI_INT64_T, dest, tag, MPI_COMM_WORLD);
}

// What the processes learn about each other while a clique forms.
struct Table {
  Membership members;
  std::vector<int64_t> pids;  // per member process
  bool peer_access = false;
};

// Same host: same host name and same boot.
int64_t HostKey() {
  char name[256] = {};
  gethostname(name, sizeof name - 1);
  std::string key(name);
  std::ifstream boot("/proc/sys/kernel/random/boot_id");
  std::string id;
  std::getline(boot, id);
  key += "/" + id;
  return static_cast<int64_t>(std::hash<std::string>()(key));
}

// A word that other processes read to find out whether they may access this one's memory.
const uint64_t probe_word = 0x4F58434C50524F42ull;

bool CanReach(int64_t pid, int64_t address) {
  uint64_t value = 0;
  iovec local{&value, sizeof value};
  iovec remote{reinterpret_cast<void*>(address), sizeof value};
  return process_vm_readv(static_cast<pid_t>(pid), &local, 1, &remote, 1, 0) ==
             static_cast<ssize_t>(sizeof value) &&
         value == probe_word;
}

// Join words: nonce, clique size, rank count n, host key, pid, probe address, peer access
// allowed here, then the n ranks.
constexpr size_t kJoinHeader = 7;

// The creator's side of joining: collects every member's ranks, checks that they cover the
// clique exactly once, and answers each member with the table (or with the failure).
// Reply words: nonce, status, number of processes P, peer access, the P MPI ranks, the P
// pids, then the process index of every clique rank.
oxclResult_t CollectMembers(const CliqueIdFields& id, int nranks, const int* ranks, int n,
                            Table* table) {
  Membership* members = &table->members;
  const int me = WorldRank();
  std::vector<int> owner(nranks, -1);  // MPI rank holding each clique rank
  for (int i = 0; i < n; ++i) owner[ranks[i]] = me;
  int covered = n;
  std::vector<int> joined{me};
  std::vector<int64_t> pid_of{getpid()};
  bool peer_access = oxsim::PeerAccess();
  const int64_t host = HostKey();
  oxclResult_t rc = oxclSuccess;
  const Clock::time_point deadline = Clock::now() + kJoinTimeout;
  while (covered < nranks && rc == oxclSuccess) {
    Control c;
    if (!ReceiveControl(MPI_ANY_SOURCE, kJoinTag, id.nonce, deadline, &c)) {
      Report("oxclInitComms: only %d of %d ranks joined the clique within %d s", covered, nranks,
             static_cast<int>(kJoinTimeout.count()));
      rc = oxclRemoteError;
      break;
    }
    joined.push_back(c.source);
    const std::vector<int64_t>& w = c.words;
    if (w.size() < kJoinHeader || static_cast<int64_t>(w.size()) != int64_t(kJoinHeader) + w[2] ||
        w[1] != nranks) {
      Report("oxclInitComms: process %d joins the clique with %lld ranks, this one says %d",
             c.source, w.size() >= 2 ? static_cast<long long>(w[1]) : -1LL, nranks);
      rc = oxclInvalidArgument;
      break;
    }
    if (std::count(joined.begin(), joined.end(), c.source) > 1) {
      Report("oxclInitComms: process %d joined the clique twice; a process must create all its "
             "communicators of a clique that spans processes in one call", c.source);
      rc = oxclInvalidUsage;
      break;
    }
    pid_of.push_back(w[4]);
    peer_access = peer_access && w[3] == host && w[6] == 1 && CanReach(w[4], w[5]);
    for (int64_t k = kJoinHeader; k < static_cast<int64_t>(w.size()); ++k) {
      const int64_t r = w[k];
      if (r < 0 || r >= nranks || owner[r] != -1) {
        Report("oxclInitComms: process %d claims rank %lld, which %s", c.source,
               static_cast<long long>(r), r < 0 || r >= nranks ? "is out of range" : "is taken");
        rc = oxclInvalidUsage;
        break;
      }
      owner[r] = c.source;
      ++covered;
    }
  }
  std::vector<int> procs(joined);
  std::sort(procs.begin(), procs.end());
  procs.erase(std::unique(procs.begin(), procs.end()), procs.end());
  std::vector<int64_t> reply{static_cast<int64_t>(id.nonce), rc,
                             static_cast<int64_t>(procs.size()), peer_access};
  for (int p : procs) reply.push_back(p);
  for (int p : procs) {
    const size_t at = std::find(joined.begin(), joined.end(), p) - joined.begin();
    reply.push_back(at < pid_of.size() ? pid_of[at] : 0);
    table->pids.push_back(reply.back());
  }
  table->peer_access = peer_access;
  if (rc == oxclSuccess) {
    for (int r = 0; r < nranks; ++r) {
      const int index = static_cast<int>(
          std::lower_bound(procs.begin(), procs.end(), owner[r]) - procs.begin());
      reply.push_back(index);
      members->proc_of_rank.push_back(index);
    }
    members->procs = procs;
  }
  for (int p : procs)
    if (p != me) SendControl(p, kReplyTag, reply);
  return rc;
}

// A member's side: announces its ranks to the creator and waits for the table.
oxclResult_t AwaitMembers(const CliqueIdFields& id, int nranks, const int* ranks, int n,
                          Table* table) {
  Membership* members = &table->members;
  std::vector<int64_t> join{static_cast<int64_t>(id.nonce), nranks, n, HostKey(), getpid(),
                            static_cast<int64_t>(reinterpret_cast<uintptr_t>(&probe_word)),
                            oxsim::PeerAccess()};
  for (int i = 0; i < n; ++i) join.push_back(ranks[i]);
  SendControl(id.world_rank, kJoinTag, join);
  Control c;
  if (!ReceiveControl(id.world_rank, kReplyTag, id.nonce, Clock::now() + kJoinTimeout, &c)) {
    Report("oxclInitComms: process %d, which made the clique id, did not answer within %d s",
           id.world_rank, static_cast<int>(kJoinTimeout.count()));
    return oxclRemoteError;
  }
  const std::vector<int64_t>& w = c.words;
  if (w.size() < 3 || w[1] != oxclSuccess) {
    const oxclResult_t code =
        w.size() >= 2 ? static_cast<oxclResult_t>(w[1]) : oxclInternalError;
    Report("oxclInitComms: process %d refused the clique (%s)", id.world_rank,
           oxclGetErrorStr(code));
    return code;
  }
  const size_t nprocs = static_cast<size_t>(w[2]);
  if (w.size() != 4 + 2 * nprocs + nranks) {
    Report("oxclInitComms: malformed answer from process %d", id.world_rank);
    return oxclInternalError;
  }
  table->peer_access = w[3] == 1;
  members->procs.assign(w.begin() + 4, w.begin() + 4 + nprocs);
  table->pids.assign(w.begin() + 4 + nprocs, w.begin() + 4 + 2 * nprocs);
  members->proc_of_rank.assign(w.begin() + 4 + 2 * nprocs, w.end());
  return oxclSuccess;
}

std::vector<Segment> SegmentsOf(const Membership& m) {
  std::vector<Segment> segments;
  const int n = static_cast<int>(m.proc_of_rank.size());
  for (int r = 0; r < n; ++r) {
    if (segments.empty() || segments.back().proc != m.proc_of_rank[r])
      segments.push_back({m.proc_of_rank[r], r, r + 1});
    else
      segments.back().end = r + 1;
  }
  return segments;
}

// ---- messages of one operation ----

int TagBase(int n, int cls) { return cls * n * n; }
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

// Tells the clique's other processes that an operation failed here, so that they stop
// waiting for messages that will never come; it stays unreceived, and every later wait of
// theirs sees it too.
void AnnounceFailure(Clique& clique, Link& link) {
  static const int64_t word = 1;
  const int n = clique.nranks();
  for (size_t p = 0; p < clique.members.procs.size(); ++p) {
    if (static_cast<int>(p) == clique.members.self) continue;
    MPI_Request request = MPI_REQUEST_NULL;
    MPI_Isend(&word, 1, MPI_INT64_T, static_cast<int>(p), TagBase(n, kTagFailed), link.comm,
              &request);
    MPI_Request_free(&request);
  }
}

// True once another process announced a failure in this clique.
bool OtherFailed(Clique& clique, Link& link, int* who) {
  int flag = 0;
  MPI_Status status;
  MPI_Iprobe(MPI_ANY_SOURCE, TagBase(clique.nranks(), kTagFailed), link.comm, &flag, &status);
  if (flag) *who = clique.members.procs[status.MPI_SOURCE];
  return flag != 0;
}

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
  ~Exchange() {
    bool pending = false;
    for (Message& m : messages_) {
      for (MPI_Request& r : m.requests) {
        if (r == MPI_REQUEST_NULL) continue;
        pending = true;
        if (m.receive) MPI_Cancel(&r);
        MPI_Request_free(&r);
      }
    }
    if (pending) link_.abandoned.store(true);
  }

  // Starts a send or a receive of `bytes` with process `proc` (index into the members) and
  // returns its handle.
  size_t Send(const void* buf, uint64_t bytes, int proc, int tag) {
    return Post(const_cast<void*>(buf), bytes, proc, tag, false);
  }
  size_t Recv(void* buf, uint64_t bytes, int proc, int tag) {
    return Post(buf, bytes, proc, tag, true);
  }

  // Waits for one message; a receive must bring exactly the bytes expected.
  oxclResult_t Wait(size_t handle) {
    Message& m = messages_[handle];
    const Clock::time_point start = Clock::now();
    auto pause = std::chrono::microseconds(0);
    for (size_t k = 0; k < m.requests.size();) {
      // Completed earlier (MPI reset the handle): its size was checked then.
      if (m.requests[k] == MPI_REQUEST_NULL) {
        ++k;
        continue;
      }
      int done = 0;
      MPI_Status status;
      if (const int err = MPI_Test(&m.requests[k], &done, &status); err != MPI_SUCCESS) {
        char text[MPI_MAX_ERROR_STRING] = {};
        int len = 0;
        MPI_Error_string(err, text, &len);
        Report("%s: a message %s process %d failed: %s", api_, m.receive ? "from" : "to",
               m.peer, text);
        return oxclSystemError;
      }
      if (done) {
        if (m.receive) {
          int got = 0;
          MPI_Get_count(&status, MPI_BYTE, &got);
          const uint64_t want = std::min(kPieceBytes, m.bytes - k * kPieceBytes);
          if (static_cast<uint64_t>(got) != want) {
            Report("%s: process %d sent %d bytes where %llu were expected; the processes' calls "
                   "disagree", api_, m.peer, got, static_cast<unsigned long long>(want));
            return oxclInvalidUsage;
          }
        }
        ++k;
        pause = std::chrono::microseconds(0);
        continue;
      }
      if (clique_.broken()) return clique_.BreakCode();
      int who = -1;
      if (OtherFailed(clique_, link_, &who)) {
        Report("%s: process %d failed in this operation", api_, who);
        clique_.Break(oxclRemoteError);
        return oxclRemoteError;
      }
      const Clock::time_point now = Clock::now();
      if (now - start > kMessageTimeout) {
        Report("%s: no message %s process %d for %d s", api_, m.receive ? "from" : "to", m.peer,
               static_cast<int>(kMessageTimeout.count()));
        return oxclRemoteError;
      }
      // Spin briefly (a chunk is usually microseconds away), then sleep in growing steps:
      // this host has few cores and more threads than cores.
      if (now - start > std::chrono::microseconds(50)) {
        pause = std::min(std::max(pause * 2, std::chrono::microseconds(10)),
                         std::chrono::microseconds(200));
        std::this_thread::sleep_for(pause);
      }
    }
    return oxclSuccess;
  }

  oxclResult_t WaitAll() {
    for (size_t h = 0; h < messages_.size(); ++h)
      if (oxclResult_t rc = Wait(h)) return rc;
    return oxclSuccess;
  }

 private:
  size_t Post(void* buf, uint64_t bytes, int proc, int tag, bool receive) {
    Message m;
    m.bytes = bytes;
    m.receive = receive;
    m.peer = proc;
    // A message of zero bytes still goes, so both sides agree on what passed.
    for (uint64_t off = 0; off < bytes || (bytes == 0 && off == 0); off += kPieceBytes) {
      const int len = static_cast<int>(std::min(kPieceBytes, bytes - off));
      MPI_Request r = MPI_REQUEST_NULL;
      char* at = static_cast<char*>(buf) + off;
      if (receive)
        MPI_Irecv(at, len, MPI_BYTE, proc, tag, link_.comm, &r);
      else
        MPI_Isend(at, len, MPI_BYTE, proc, tag, link_.comm, &r);
      m.requests.push_back(r);
      if (bytes == 0) break;
    }
    messages_.push_back(std::move(m));
    return messages_.size() - 1;
  }

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

// Reductions: every chunk of the vector is folded in rank order along the segments (each
// process folds its ranks onto the partial result of the ranks before them and passes it on),
// so results are bit for bit those of one process. The process of the last segment then
// hands the chunk to everyone (all-reduce) or each piece to its owner (reduce-scatter).
oxclResult_t DriveReduction(Operation& op, bool saturate) {
  const CollArgs& a = op.first();
  const bool scatter = a.kind == CollKind::kReduceScatter;
  const int n = op.n();
  const size_t elem = TypeSize(a.type);
  const uint64_t total = scatter ? a.count * n : a.count;
  const uint64_t chunk = kChunkBytes / elem;
  const uint64_t chunks = (total + chunk - 1) / chunk;
  const FoldFn fold = GetFold(a.type, a.op, saturate);
  const std::vector<Segment>& segs = op.link.segments;
  const int last_proc = segs.back().proc;
  const bool last = last_proc == op.self();
  Exchange ex(op.clique, op.link, CollName(a.kind));

  // The receives of partial results, in the order this process needs them; a window of them
  // is posted ahead into the receive buffers.
  struct Step {
    uint64_t chunk;
    size_t seg;
  };
  std::vector<Step> steps;
  for (uint64_t c = 0; c < chunks; ++c)
    for (size_t s = 0; s < segs.size(); ++s)
      if (segs[s].proc == op.self()) steps.push_back({c, s});
  auto span = [&](uint64_t c) {
    const uint64_t begin = c * chunk;
    return std::make_pair(begin, std::min(total, begin + chunk) - begin);
  };
  std::vector<size_t> partial_in;  // per step with s > 0, its receive
  std::vector<size_t> recv_of(steps.size(), SIZE_MAX);
  size_t posted = 0;
  int recv_slot = 0;
  auto post_ahead = [&](size_t upto) {
    for (; posted < steps.size() && posted < upto; ++posted) {
      const Step& st = steps[posted];
      if (st.seg == 0) continue;
      recv_of[posted] = ex.Recv(op.link.RecvBuffer(recv_slot), span(st.chunk).second * elem,
                                segs[st.seg - 1].proc, TagBase(n, kTagPartial) + int(st.seg));
      recv_slot = (recv_slot + 1) % kWindow;
    }
  };
  // The final results that come from the last segment's process: all-reduce chunks land in
  // the first local rank's output, reduce-scatter pieces in their owners' outputs.
  std::vector<size_t> finals;
  if (!last) {
    char* out = static_cast<char*>(op.first().recv);
    for (uint64_t c = 0; c < chunks; ++c) {
      const auto [begin, len] = span(c);
      if (!scatter) {
        finals.push_back(ex.Recv(out + begin * elem, len * elem, last_proc,
                                 TagBase(n, kTagFinal)));
        continue;
      }
      for (int r : op.members.local_ranks) {
        const uint64_t lo = std::max(begin, r * a.count);
        const uint64_t hi = std::min(begin + len, (r + 1) * a.count);
        if (lo >= hi) continue;
        char* dst = static_cast<char*>(op.ArgsOf(r).recv) + (lo - r * a.count) * elem;
        finals.push_back(ex.Recv(dst, (hi - lo) * elem, last_proc, TagBase(n, kTagFinal) + r));
      }
    }
  }

  std::vector<size_t> send_busy[kWindow];  // messages still reading each send buffer
  int send_slot = 0;
  // Receive slots are reused kWindow receives later: never post further ahead than that.
  post_ahead(kWindow);
  size_t consumed = 0;
  for (size_t k = 0; k < steps.size(); ++k) {
    const Step& st = steps[k];
    const Segment& seg = segs[st.seg];
    const auto [begin, len] = span(st.chunk);
    std::vector<const void*> in;
    const void* partial = nullptr;
    if (st.seg > 0) {
      if (oxclResult_t rc = ex.Wait(recv_of[k])) return rc;
      partial = op.link.RecvBuffer(static_cast<int>(consumed % kWindow));
      ++consumed;
      in.push_back(partial);
    }
    for (int r = seg.first; r < seg.end; ++r)
      in.push_back(static_cast<const char*>(op.ArgsOf(r).send) + begin * elem);
    for (size_t h : send_busy[send_slot])
      if (oxclResult_t rc = ex.Wait(h)) return rc;
    send_busy[send_slot].clear();
    char* out = op.link.SendBuffer(send_slot);
    fold(in.data(), static_cast<int>(in.size()), 0, len, out);
    // The receive buffer just folded is free: post the next receive into it.
    if (st.seg > 0) post_ahead(posted + 1 + (posted < steps.size() && steps[posted].seg == 0));
    const bool final_seg = st.seg + 1 == segs.size();
    if (!final_seg) {
      send_busy[send_slot].push_back(ex.Send(out, len * elem, segs[st.seg + 1].proc,
                                             TagBase(n, kTagPartial) + int(st.seg + 1)));
    } else if (!scatter) {
      for (size_t p = 0; p < op.members.procs.size(); ++p)
        if (static_cast<int>(p) != op.self())
          send_busy[send_slot].push_back(
              ex.Send(out, len * elem, static_cast<int>(p), TagBase(n, kTagFinal)));
      for (const CollArgs* l : op.local)
        std::memcpy(static_cast<char*>(l->recv) + begin * elem, out, len * elem);
    } else {
      for (int r = 0; r < n; ++r) {
        const uint64_t lo = std::max(begin, r * a.count);
        const uint64_t hi = std::min(begin + len, (r + 1) * a.count);
        if (lo >= hi) continue;
        const char* piece = out + (lo - begin) * elem;
        if (op.Local(r))
          std::memcpy(static_cast<char*>(op.ArgsOf(r).recv) + (lo - r * a.count) * elem, piece,
                      (hi - lo) * elem);
        else
          send_busy[send_slot].push_back(
              ex.Send(piece, (hi - lo) * elem, op.ProcOf(r), TagBase(n, kTagFinal) + r));
      }
    }
    send_slot = (send_slot + 1) % kWindow;
  }
  // Non-last processes: copy each arrived all-reduce chunk to the other local outputs.
  for (size_t i = 0; i < finals.size(); ++i) {
    if (oxclResult_t rc = ex.Wait(finals[i])) return rc;
    if (scatter) continue;
    const auto [begin, len] = span(i);
    const char* src = static_cast<const char*>(op.first().recv) + begin * elem;
    for (size_t l = 1; l < op.local.size(); ++l)
      std::memcpy(static_cast<char*>(op.local[l]->recv) + begin * elem, src, len * elem);
  }
  return ex.WaitAll();
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

// All-gather: every local block goes once to every other process, which lands it in its first
// local rank's output; blocks then spread to the other local outputs in memory.
oxclResult_t DriveAllGather(Operation& op) {
  const CollArgs& a = op.first();
  const int n = op.n();
  const uint64_t block = a.count * TypeSize(a.type);
  const std::vector<int>& mine = op.members.local_ranks;
  Exchange ex(op.clique, op.link, CollName(a.kind));
  char* lead = static_cast<char*>(a.recv);
  for (int r : mine)
    for (size_t p = 0; p < op.members.procs.size(); ++p)
      if (static_cast<int>(p) != op.self())
        ex.Send(op.ArgsOf(r).send, block, static_cast<int>(p), TagBase(n, kTagGather) + r);
  for (int r = 0; r < n; ++r)
    if (!op.Local(r)) ex.Recv(lead + r * block, block, op.ProcOf(r), TagBase(n, kTagGather) + r);
  for (int r : mine) {
    const char* src = static_cast<const char*>(op.ArgsOf(r).send);
    for (const CollArgs* l : op.local) {
      char* dst = static_cast<char*>(l->recv) + r * block;
      if (dst != src) std::memcpy(dst, src, block);
    }
  }
  if (oxclResult_t rc = ex.WaitAll()) return rc;
  for (int r = 0; r < n; ++r) {
    if (op.Local(r)) continue;
    for (size_t l = 1; l < op.local.size(); ++l)
      std::memcpy(static_cast<char*>(op.local[l]->recv) + r * block, lead + r * block, block);
  }
  return oxclSuccess;
}

struct PairBlock {
  const char* send;
  uint64_t send_bytes;
  char* recv;
  uint64_t recv_bytes;
};

// What rank `from` sends to `to` and what it receives from `to`.
PairBlock BlockOf(const CollArgs& a, int to) {
  if (a.kind == CollKind::kAlltoAllv) {
    const PeerBlock& p = a.peers[to];
    return {static_cast<const char*>(p.send), p.send_bytes, static_cast<char*>(p.recv),
            p.recv_bytes};
  }
  const uint64_t bytes = a.count * TypeSize(a.type);
  return {static_cast<const char*>(a.send) + to * bytes, bytes,
          static_cast<char*>(a.recv) + to * bytes, bytes};
}

bool Overlap(const char* a, uint64_t an, const char* b, uint64_t bn) {
  return an && bn && a < b + bn && b < a + an;
}

// All-to-all (plain and -v): blocks between processes are messages, blocks between ranks of
// this process are copies. A rank whose receive blocks overlap its send blocks (in place)
// sends from a copy.
oxclResult_t DriveAlltoAll(Operation& op) {
  const CollArgs& a = op.first();
  const int n = op.n();
  const std::vector<int>& mine = op.members.local_ranks;
  Exchange ex(op.clique, op.link, CollName(a.kind));
  std::vector<std::vector<char>> copies(mine.size());
  std::vector<std::vector<PairBlock>> blocks(mine.size());
  for (size_t i = 0; i < mine.size(); ++i) {
    const CollArgs& args = *op.local[i];
    for (int j = 0; j < n; ++j) blocks[i].push_back(BlockOf(args, j));
    bool overlap = false;
    for (int j = 0; j < n && !overlap; ++j)
      for (int k = 0; k < n && !overlap; ++k)
        overlap = Overlap(blocks[i][j].send, blocks[i][j].send_bytes, blocks[i][k].recv,
                          blocks[i][k].recv_bytes);
    if (!overlap) continue;
    uint64_t bytes = 0;
    for (const PairBlock& b : blocks[i]) bytes += b.send_bytes;
    copies[i].resize(bytes);
    uint64_t at = 0;
    for (PairBlock& b : blocks[i]) {
      if (b.send_bytes) std::memcpy(copies[i].data() + at, b.send, b.send_bytes);
      b.send = copies[i].data() + at;
      at += b.send_bytes;
    }
  }
  for (size_t i = 0; i < mine.size(); ++i) {
    for (int j = 0; j < n; ++j) {
      if (op.Local(j)) continue;
      const int pair_out = mine[i] * n + j, pair_in = j * n + mine[i];
      ex.Send(blocks[i][j].send, blocks[i][j].send_bytes, op.ProcOf(j),
              TagBase(n, kTagAlltoAll) + pair_out);
      ex.Recv(blocks[i][j].recv, blocks[i][j].recv_bytes, op.ProcOf(j),
              TagBase(n, kTagAlltoAll) + pair_in);
    }
  }
  for (size_t i = 0; i < mine.size(); ++i) {
    for (size_t k = 0; k < mine.size(); ++k) {
      const PairBlock& out = blocks[i][mine[k]];
      const PairBlock& in = blocks[k][mine[i]];
      if (out.send_bytes != in.recv_bytes) {
        Report("%s: rank %d sends %llu bytes to rank %d, which expects %llu", CollName(a.kind),
               mine[i], static_cast<unsigned long long>(out.send_bytes), mine[k],
               static_cast<unsigned long long>(in.recv_bytes));
        ex.WaitAll();
        return oxclInvalidUsage;
      }
      if (out.send_bytes && in.recv != out.send) std::memcpy(in.recv, out.send, out.send_bytes);
    }
  }
  return ex.WaitAll();
}

// All-gather and all-to-all between processes of one host: every process copies the blocks
// its own ranks receive straight out of the senders' memory, so each block moves once and no
// process writes another's memory. The processes swap the addresses of their blocks first,
// which also shows whether the calls match, and finally tell each other that they are done
// reading. Buffers that overlap their own receive blocks (in-place all-to-all) could be
// overwritten while a peer still reads them: then every process takes the message path.
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

// The local ranks' calls must agree before anything moves; the other processes' calls are
// checked by the sizes of what arrives.
bool SameLocalCall(const Operation& op, std::string* why) {
  const CollArgs& f = op.first();
  for (size_t i = 1; i < op.local.size(); ++i) {
    const CollArgs& a = *op.local[i];
    const bool reduction = f.kind == CollKind::kAllReduce || f.kind == CollKind::kReduceScatter;
    if (a.kind != f.kind || (f.kind != CollKind::kAlltoAllv &&
                             (a.type != f.type || a.count != f.count ||
                              (reduction && a.op != f.op)))) {
      *why = "rank " + std::to_string(op.members.local_ranks[i]) + " called " +
             CollName(a.kind) + " (" + TypeName(a.type) + ", " + std::to_string(a.count) +
             ") where rank " + std::to_string(op.members.local_ranks[0]) + " called " +
             CollName(f.kind) + " (" + TypeName(f.type) + ", " + std::to_string(f.count) + ")";
      return false;
    }
  }
  return true;
}

oxclResult_t Drive(Clique& clique, Link& link, Slot& slot, bool saturate) {
  Operation op{clique, link, clique.members, {}};
  for (int r : clique.members.local_ranks) op.local.push_back(slot.args[r]);
  std::string why;
  if (!SameLocalCall(op, &why)) {
    Report("%s: %s", CollName(op.first().kind), why.c_str());
    return oxclInvalidUsage;
  }
  switch (op.first().kind) {
    case CollKind::kAllReduce:
    case CollKind::kReduceScatter:
      return link.peer_access ? DriveDirectReduction(op, saturate) : DriveReduction(op, saturate);
    case CollKind::kAllGather: return link.peer_access ? DriveDirectMoves(op) : DriveAllGather(op);
    case CollKind::kAlltoAll:
    case CollKind::kAlltoAllv:
      return link.peer_access ? DriveDirectMoves(op) : DriveAlltoAll(op);
  }
  return oxclInternalError;
}

std::shared_ptr<Link> LinkOf(Clique& clique) {
  return std::static_pointer_cast<Link>(std::atomic_load(&clique.link));
}

// After a failed operation between processes: the others hear of it (unless they told us),
// and the clique breaks.
void Fail(Clique& clique, Link& link, oxclResult_t rc) {
  if (rc != oxclRemoteError && !link.announced.exchange(true)) AnnounceFailure(clique, link);
  clique.Break(oxclRemoteError);
}

class Remote final : public Transport {
 public:
  // The ranks of this process meet in the operation's slot; the last to arrive drives the
  // whole exchange for all of them while the others wait.
  oxclResult_t Collective(oxclComm& comm, uint64_t seq, const CollArgs& args,
                          bool saturate) override {
    Clique& clique = *comm.clique;
    const int local = static_cast<int>(clique.members.local_ranks.size());
    Slot& slot = clique.SlotFor(seq);
    if (oxclResult_t rc = clique.Await([&] {
          return slot.seq.load(std::memory_order_acquire) == seq;
        }))
      return rc;
    slot.args[comm.rank] = &args;
    const bool driver = slot.arrived.fetch_add(1, std::memory_order_seq_cst) == local - 1;
    if (driver) {
      oxclResult_t rc = clique.BreakCode();
      if (rc == oxclSuccess) {
        std::shared_ptr<Link> link = LinkOf(clique);
        rc = link ? Drive(clique, *link, slot, saturate) : oxclInvalidUsage;
        // The processes no longer agree on what comes next: no later operation of the clique
        // can succeed, here or there.
        if (link && rc != oxclSuccess) Fail(clique, *link, rc);
      }
      slot.verdict.store(1 + static_cast<int>(rc), std::memory_order_release);
      clique.Notify();
    } else {
      // Before the driver exists a break ends the wait; once it does, it reads this rank's
      // buffers until it reports, which it does promptly after a break.
      const bool reported = clique.Await([&] {
        return slot.verdict.load(std::memory_order_acquire) != 0;
      }) == oxclSuccess;
      if (!reported) {
        if (slot.arrived.load(std::memory_order_seq_cst) < local) return clique.BreakCode();
        clique.AwaitAlways([&] { return slot.verdict.load(std::memory_order_acquire) != 0; });
      }
    }
    const oxclResult_t rc =
        static_cast<oxclResult_t>(slot.verdict.load(std::memory_order_acquire) - 1);
    if (slot.departed.fetch_add(1, std::memory_order_acq_rel) + 1 == local) {
      slot.arrived.store(0, std::memory_order_relaxed);
      slot.verdict.store(0, std::memory_order_relaxed);
      slot.departed.store(0, std::memory_order_relaxed);
      slot.seq.store(seq + Clique::kSlots, std::memory_order_release);
      clique.Notify();
    }
    return rc;
  }

  // Sends and receives with ranks of other processes are MPI messages, posted before the
  // exchange between ranks of this process runs, and completed after it.
  oxclResult_t PointToPoint(const std::vector<P2POp>& ops, const RecvDone& done) override {
    std::vector<P2POp> here;
    struct Remote {
      const P2POp* op;
      std::shared_ptr<Link> link;
      std::vector<char> stage;
    };
    std::vector<Remote> away;
    for (const P2POp& op : ops) {
      const Membership& m = op.comm->clique->members;
      if (!m.spans_processes() || m.proc_of_rank[op.peer] == m.self) here.push_back(op);
      else away.push_back({&op, LinkOf(*op.comm->clique), {}});
    }
    for (const Remote& r : away)
      if (!r.link) return oxclInvalidUsage;
    std::vector<std::unique_ptr<Exchange>> exchanges;
    std::vector<std::pair<Exchange*, size_t>> handles;
    for (Remote& r : away) {
      const P2POp& op = *r.op;
      Clique& clique = *op.comm->clique;
      exchanges.push_back(std::make_unique<Exchange>(clique, *r.link, "oxclSend/oxclRecv"));
      const int n = clique.nranks();
      const uint64_t bytes = op.count * TypeSize(op.type);
      const int proc = clique.members.proc_of_rank[op.peer];
      if (op.is_send) {
        handles.emplace_back(exchanges.back().get(),
                             exchanges.back()->Send(op.buf, bytes, proc, op.comm->rank * n + op.peer));
        continue;
      }
      // A receive into memory that a send of this call still exposes waits in a copy.
      bool overlap = false;
      for (const P2POp& s : ops)
        overlap |= s.is_send && Overlap(static_cast<const char*>(s.buf), s.count * TypeSize(s.type),
                                        static_cast<const char*>(op.buf), bytes);
      void* into = op.buf;
      if (overlap) {
        r.stage.resize(bytes);
        into = r.stage.data();
      }
      handles.emplace_back(exchanges.back().get(),
                           exchanges.back()->Recv(into, bytes, proc, op.peer * n + op.comm->rank));
    }
    oxclResult_t result = here.empty() ? oxclSuccess : RunPointToPoint(here, done);
    for (size_t i = 0; i < away.size(); ++i) {
      const oxclResult_t rc = handles[i].first->Wait(handles[i].second);
      if (result == oxclSuccess) result = rc;
    }
    if (result != oxclSuccess) {
      for (Remote& r : away) Fail(*r.op->comm->clique, *r.link, result);
      return result;
    }
    for (Remote& r : away) {
      if (r.op->is_send) continue;
      if (!r.stage.empty()) std::memcpy(r.op->buf, r.stage.data(), r.stage.size());
      if (done) done(*r.op);
    }
    return oxclSuccess;
  }
};

}  // namespace

int WorldRank() {
  if (!MpiRunning()) return -1;
  int rank = -1;
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  return rank;
}

bool SeveralProcesses() {
  if (!MpiRunning()) return false;
  int size = 1;
  MPI_Comm_size(MPI_COMM_WORLD, &size);
  return size > 1;
}

oxclResult_t JoinRemoteClique(const CliqueIdFields& id, int nranks, const int* ranks, int n,
                              int card, std::shared_ptr<Clique>* out) {
  const char* api = "oxclInitComms";
  int size = 1;
  MPI_Comm_size(MPI_COMM_WORLD, &size);
  if (id.world_rank < 0 || id.world_rank >= size) {
    Report("%s: the clique id was made without MPI, so ranks in other processes cannot join it; "
           "start MPI before oxclGetCliqueId", api);
    return oxclInvalidArgument;
  }
  int* tag_ub = nullptr;
  int flag = 0;
  MPI_Comm_get_attr(MPI_COMM_WORLD, MPI_TAG_UB, &tag_ub, &flag);
  if (!flag || static_cast<int64_t>(kTagClasses) * nranks * nranks > *tag_ub) {
    Report("%s: %d ranks are too many for the MPI message tags of this build", api, nranks);
    return oxclNotSupported;
  }
  Table table;
  const bool creator = id.world_rank == WorldRank();
  if (oxclResult_t rc = creator ? CollectMembers(id, nranks, ranks, n, &table)
                                : AwaitMembers(id, nranks, ranks, n, &table))
    return rc;
  Membership& members = table.members;
  members.self = static_cast<int>(
      std::lower_bound(members.procs.begin(), members.procs.end(), WorldRank()) -
      members.procs.begin());
  members.local_ranks.assign(ranks, ranks + n);
  std::sort(members.local_ranks.begin(), members.local_ranks.end());

  auto link = std::make_shared<Link>();
  link->segments = SegmentsOf(members);
  link->peer_access = table.peer_access;
  // Buffers allocated from now on can be mapped by the other processes.
  if (link->peer_access) oxsim::ShareDeviceMemory();
  link->pids = table.pids;
  MPI_Group world, group;
  MPI_Comm_group(MPI_COMM_WORLD, &world);
  MPI_Group_incl(world, static_cast<int>(members.procs.size()), members.procs.data(), &group);
  // Collective over the member processes only; the tag keeps cliques forming at once apart.
  const int create_tag = static_cast<int>(1000 + id.nonce % 30000);
  const int rc = MPI_Comm_create_group(MPI_COMM_WORLD, group, create_tag, &link->comm);
  MPI_Group_free(&group);
  MPI_Group_free(&world);
  if (rc != MPI_SUCCESS || link->comm == MPI_COMM_NULL) {
    Report("%s: MPI could not make a communicator for the clique's %zu processes", api,
           members.procs.size());
    return oxclSystemError;
  }
  MPI_Comm_set_errhandler(link->comm, MPI_ERRORS_RETURN);
  link->bytes = 2 * kWindow * kChunkBytes;
  if (!oxsim::DeviceAlloc(card, link->bytes, &link->memory)) {
    link->memory = nullptr;
    Report("%s: card %d has no room for the clique's %llu bytes of link buffers", api, card,
           static_cast<unsigned long long>(link->bytes));
    return oxclSystemError;
  }
  link_bytes.fetch_add(link->bytes);

  auto clique = std::make_shared<Clique>(id.nonce, nranks, id.pid);
  clique->members = std::move(members);
  clique->joined_count = nranks;
  clique->live_count = n;
  clique->link = std::move(link);
  *out = std::move(clique);
  return oxclSuccess;
}

Transport& RemoteTransport() {
  static Remote* transport = new Remote;
  return *transport;
}

uint64_t LinkBytes() { return link_bytes.load(); }

}  // namespace oxcl_sim
