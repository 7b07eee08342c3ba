#include <thread>

#include "log.h"
#include "remote_link.h"

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

oxclResult_t Exchange::Wait(size_t handle) {
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

oxclResult_t Exchange::WaitAll() {
  for (size_t h = 0; h < messages_.size(); ++h)
    if (oxclResult_t rc = Wait(h)) return rc;
  return oxclSuccess;
}

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
