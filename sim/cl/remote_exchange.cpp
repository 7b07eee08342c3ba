#include <sched.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <thread>

#include "log.h"
#include "remote_link.h"
#include "waitword.h"

namespace oxcl_sim {
namespace remote {

Exchange::~Exchange() {
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

namespace {

// The kernel may stretch a sleep by the thread's timer slack (50 us by default), which would
// make every short pause of a wait a long one: the slack is cut while the wait sleeps and
// given back after it.
class SlackGuard {
 public:
  void Tighten() {
    if (saved_ >= 0) return;
    saved_ = prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0);
    if (saved_ >= 0) prctl(PR_SET_TIMERSLACK, 1000UL, 0, 0, 0);
  }
  ~SlackGuard() {
    if (saved_ > 0) prctl(PR_SET_TIMERSLACK, static_cast<unsigned long>(saved_), 0, 0, 0);
  }

 private:
  long saved_ = -1;
};

}  // namespace

oxclResult_t Exchange::Complete(Message& m, bool* done_all, int* completed) {
  for (size_t k = 0; k < m.requests.size(); ++k) {
    // Completed earlier (MPI reset the handle): its size was checked then.
    if (m.requests[k] == MPI_REQUEST_NULL) continue;
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
    if (!done) {
      *done_all = false;
      continue;
    }
    ++*completed;
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
  }
  return oxclSuccess;
}

oxclResult_t Exchange::WaitRange(size_t first, size_t end) {
  const Clock::time_point start = Clock::now();
  // A message between running processes is microseconds away, so a wait spins for a while
  // before it sleeps; but with more ranks than cores the process it waits for may need this
  // core, and the spin is cut to what the in-process engine allows. The wait then yields the
  // core for a while: each turn the scheduler gives it back looks again, where a sleeper sees
  // a message only when its sleep ends (4 processes of 16 ranks on 2 cores: 2.8 to 3.6 ms per
  // call of 1K floats sleeping at once, 1.1 to 1.8 ms yielding first).
  const bool oversubscribed = static_cast<unsigned>(clique_.nranks()) > HostCores();
  const auto spin = oversubscribed ? std::chrono::microseconds(4) : std::chrono::microseconds(50);
  const auto yield = oversubscribed ? kOversubscribedYield : std::chrono::microseconds(0);
  auto pause = std::chrono::microseconds(0);
  size_t late = first;
  SlackGuard slack;
  for (;;) {
    bool done_all = true;
    int completed = 0;
    for (size_t h = late; h < end; ++h) {
      bool done = true;
      if (oxclResult_t rc = Complete(messages_[h], &done, &completed)) return rc;
      if (!done && done_all) late = h;  // messages before it need no more tests
      done_all = done_all && done;
    }
    if (done_all) return oxclSuccess;
    // Something arrived: the rest is likely close behind, so the sleeps start short again.
    if (completed > 0) pause = std::chrono::microseconds(0);
    if (clique_.broken()) return clique_.BreakCode();
    int who = -1;
    if (OtherFailed(clique_, link_, &who)) {
      Report("%s: process %d failed in this operation", api_, who);
      clique_.Break(oxclRemoteError);
      return oxclRemoteError;
    }
    const Clock::time_point now = Clock::now();
    if (now - start > kMessageTimeout) {
      const Message& m = messages_[late];
      Report("%s: no message %s process %d for %d s", api_, m.receive ? "from" : "to", m.peer,
             static_cast<int>(kMessageTimeout.count()));
      return oxclRemoteError;
    }
    // Then sleep in growing steps: this host has few cores and more threads than cores.
    if (now - start > spin + yield) {
      slack.Tighten();
      pause = std::min(std::max(pause * 2, std::chrono::microseconds(5)),
                       std::chrono::microseconds(200));
      std::this_thread::sleep_for(pause);
    } else if (now - start > spin) {
      sched_yield();
    }
  }
}

oxclResult_t Exchange::Wait(size_t handle) { return WaitRange(handle, handle + 1); }

// All messages at once: a late one does not hold up the tests (and completions) of the rest,
// and the spin is spent once.
oxclResult_t Exchange::WaitAll() { return WaitRange(0, messages_.size()); }

size_t Exchange::Post(void* buf, uint64_t bytes, int proc, int tag, bool receive) {
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

bool Overlap(const char* a, uint64_t an, const char* b, uint64_t bn) {
  return an && bn && a < b + bn && b < a + an;
}
}  // namespace remote
}  // namespace oxcl_sim
