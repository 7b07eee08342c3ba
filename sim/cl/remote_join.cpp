#include <mpi.h>
#include <sys/mman.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "log.h"
#include "oxsim.h"
#include "remote.h"
#include "remote_link.h"

namespace oxcl_sim {
namespace remote {

std::atomic<uint64_t> link_bytes{0};

Link::~Link() {
  for (auto& m : mapped) munmap(m.second.base, m.second.bytes);
  if (claims) munmap(claims, kClaimsBytes);
  if (claims_fd >= 0) close(claims_fd);
  if (abandoned.load()) return;
  if (memory) {
    oxsim::DeviceFree(memory);
    link_bytes.fetch_sub(bytes);
  }
  int finalised = 0;
  MPI_Finalized(&finalised);
  if (comm != MPI_COMM_NULL && !finalised) MPI_Comm_free(&comm);
}

bool MpiRunning() {
  int initialised = 0, finalised = 0;
  MPI_Initialized(&initialised);
  MPI_Finalized(&finalised);
  return initialised && !finalised;
}

namespace {

// Control messages on MPI_COMM_WORLD while a clique forms (its own communicator does not
// exist yet).
constexpr int kJoinTag = 0x4F58;
constexpr int kReplyTag = 0x4F59;

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

// What the creator of a clique learns while its members join.
struct Joining {
  std::vector<int> owner;       // MPI rank holding each clique rank, -1 until claimed
  int covered = 0;              // ranks claimed
  std::vector<int> joined;      // MPI ranks of the processes, in the order they joined
  std::vector<int64_t> pid_of;  // their pids, in the same order
  bool peer_access = false;
};

// Takes in one member's join message; the failure, reported, when it does not fit the clique.
oxclResult_t TakeJoin(const Control& c, int nranks, int64_t host, Joining* j) {
  j->joined.push_back(c.source);
  const std::vector<int64_t>& w = c.words;
  if (w.size() < kJoinHeader || static_cast<int64_t>(w.size()) != int64_t(kJoinHeader) + w[2] ||
      w[1] != nranks) {
    Report("oxclInitComms: process %d joins the clique with %lld ranks, this one says %d",
           c.source, w.size() >= 2 ? static_cast<long long>(w[1]) : -1LL, nranks);
    return oxclInvalidArgument;
  }
  if (std::count(j->joined.begin(), j->joined.end(), c.source) > 1) {
    Report("oxclInitComms: process %d joined the clique twice; a process must create all its "
           "communicators of a clique that spans processes in one call", c.source);
    return oxclInvalidUsage;
  }
  j->pid_of.push_back(w[4]);
  j->peer_access = j->peer_access && w[3] == host && w[6] == 1 && CanReach(w[4], w[5]);
  for (int64_t k = kJoinHeader; k < static_cast<int64_t>(w.size()); ++k) {
    const int64_t r = w[k];
    if (r < 0 || r >= nranks || j->owner[r] != -1) {
      Report("oxclInitComms: process %d claims rank %lld, which %s", c.source,
             static_cast<long long>(r), r < 0 || r >= nranks ? "is out of range" : "is taken");
      return oxclInvalidUsage;
    }
    j->owner[r] = c.source;
    ++j->covered;
  }
  return oxclSuccess;
}

// Fills the table from what was learnt and answers every member with it (or with the failure
// rc). Reply words: nonce, status, number of processes P, peer access, the P MPI ranks, the P
// pids, then the process index of every clique rank.
void AnswerMembers(const CliqueIdFields& id, int nranks, oxclResult_t rc, const Joining& j,
                   Table* table) {
  std::vector<int> procs(j.joined);
  std::sort(procs.begin(), procs.end());
  procs.erase(std::unique(procs.begin(), procs.end()), procs.end());
  std::vector<int64_t> reply{static_cast<int64_t>(id.nonce), rc,
                             static_cast<int64_t>(procs.size()), j.peer_access};
  for (int p : procs) reply.push_back(p);
  for (int p : procs) {
    const size_t at = std::find(j.joined.begin(), j.joined.end(), p) - j.joined.begin();
    reply.push_back(at < j.pid_of.size() ? j.pid_of[at] : 0);
    table->pids.push_back(reply.back());
  }
  table->peer_access = j.peer_access;
  if (rc == oxclSuccess) {
    for (int r = 0; r < nranks; ++r) {
      const int index = static_cast<int>(
          std::lower_bound(procs.begin(), procs.end(), j.owner[r]) - procs.begin());
      reply.push_back(index);
      table->members.proc_of_rank.push_back(index);
    }
    table->members.procs = procs;
  }
  for (int p : procs)
    if (p != WorldRank()) SendControl(p, kReplyTag, reply);
}

// The creator's side of joining: collects every member's ranks, checks that they cover the
// clique exactly once, and answers each member with the table (or with the failure).
oxclResult_t CollectMembers(const CliqueIdFields& id, int nranks, const int* ranks, int n,
                            Table* table) {
  const int me = WorldRank();
  Joining j;
  j.owner.assign(nranks, -1);
  for (int i = 0; i < n; ++i) j.owner[ranks[i]] = me;
  j.covered = n;
  j.joined = {me};
  j.pid_of = {getpid()};
  j.peer_access = oxsim::PeerAccess();
  const int64_t host = HostKey();
  oxclResult_t rc = oxclSuccess;
  const Clock::time_point deadline = Clock::now() + kJoinTimeout;
  while (j.covered < nranks && rc == oxclSuccess) {
    Control c;
    if (!ReceiveControl(MPI_ANY_SOURCE, kJoinTag, id.nonce, deadline, &c)) {
      Report("oxclInitComms: only %d of %d ranks joined the clique within %d s", j.covered,
             nranks, static_cast<int>(kJoinTimeout.count()));
      rc = oxclRemoteError;
      break;
    }
    rc = TakeJoin(c, nranks, host, &j);
  }
  AnswerMembers(id, nranks, rc, j, table);
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

// Whether ranks of other processes can join the clique named by id, made for nranks ranks.
oxclResult_t CanJoin(const CliqueIdFields& id, int nranks) {
  int size = 1;
  MPI_Comm_size(MPI_COMM_WORLD, &size);
  if (id.world_rank < 0 || id.world_rank >= size) {
    Report("oxclInitComms: the clique id was made without MPI, so ranks in other processes "
           "cannot join it; start MPI before oxclGetCliqueId");
    return oxclInvalidArgument;
  }
  int* tag_ub = nullptr;
  int flag = 0;
  MPI_Comm_get_attr(MPI_COMM_WORLD, MPI_TAG_UB, &tag_ub, &flag);
  if (!flag || static_cast<int64_t>(kTagClasses) * nranks * nranks > *tag_ub) {
    Report("oxclInitComms: %d ranks are too many for the MPI message tags of this build", nranks);
    return oxclNotSupported;
  }
  return oxclSuccess;
}

// The link of the member processes in the table: their own MPI communicator and this
// process's link buffers on card `card`.
oxclResult_t OpenLink(const CliqueIdFields& id, const Table& table, int card, Link* link) {
  const Membership& members = table.members;
  link->segments = SegmentsOf(members);
  link->peer_access = table.peer_access;
  // Buffers allocated from now on can be mapped by the other processes.
  if (link->peer_access && oxsim::PeerMap()) oxsim::ShareDeviceMemory();
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
    Report("oxclInitComms: MPI could not make a communicator for the clique's %zu processes",
           members.procs.size());
    return oxclSystemError;
  }
  MPI_Comm_set_errhandler(link->comm, MPI_ERRORS_RETURN);
  link->bytes = 2 * kWindow * kChunkBytes;
  if (!oxsim::DeviceAlloc(card, link->bytes, &link->memory)) {
    link->memory = nullptr;
    Report("oxclInitComms: card %d has no room for the clique's %llu bytes of link buffers",
           card, static_cast<unsigned long long>(link->bytes));
    return oxclSystemError;
  }
  link_bytes.fetch_add(link->bytes);
  return oxclSuccess;
}

}  // namespace
}  // namespace remote

using namespace remote;


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
  if (oxclResult_t rc = CanJoin(id, nranks)) return rc;
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
  if (oxclResult_t rc = OpenLink(id, table, card, link.get())) return rc;

  auto clique = std::make_shared<Clique>(id.nonce, nranks, id.pid);
  clique->members = std::move(members);
  clique->joined_count = nranks;
  clique->live_count = n;
  clique->link = std::move(link);
  *out = std::move(clique);
  return oxclSuccess;
}

uint64_t LinkBytes() { return link_bytes.load(); }

}  // namespace oxcl_sim
