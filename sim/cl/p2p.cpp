#include "p2p.h"

#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "comm.h"
#include "dtype.h"
#include "log.h"

namespace oxcl_sim {
namespace {

void Append(Channel& ch, SendPost* post) {
  std::lock_guard<std::mutex> lock(ch.mu);
  if (ch.tail) ch.tail->next = post;
  else ch.head = post;
  ch.tail = post;
  ch.pending.fetch_add(1, std::memory_order_release);
}

SendPost* TakeOldest(Channel& ch) {
  if (ch.pending.load(std::memory_order_acquire) == 0) return nullptr;
  std::lock_guard<std::mutex> lock(ch.mu);
  SendPost* post = ch.head;
  if (!post) return nullptr;
  ch.head = post->next;
  if (!ch.head) ch.tail = nullptr;
  ch.pending.fetch_sub(1, std::memory_order_relaxed);
  post->state.store(1, std::memory_order_relaxed);
  return post;
}

// Removes a post nobody has taken; false when a receiver took it already.
bool Withdraw(Channel& ch, SendPost* post) {
  std::lock_guard<std::mutex> lock(ch.mu);
  SendPost* prev = nullptr;
  for (SendPost* p = ch.head; p; prev = p, p = p->next) {
    if (p != post) continue;
    (prev ? prev->next : ch.head) = p->next;
    if (ch.tail == p) ch.tail = prev;
    ch.pending.fetch_sub(1, std::memory_order_relaxed);
    return true;
  }
  return false;
}

oxclResult_t Receive(const P2POp& op, const RecvDone& done) {
  Clique& clique = *op.comm->clique;
  Channel& ch = clique.ChannelOf(op.peer, op.comm->rank);
  SendPost* post = nullptr;
  if (oxclResult_t rc = clique.Await([&] { return (post = TakeOldest(ch)) != nullptr; }))
    return rc;
  const uint64_t bytes = op.count * TypeSize(op.type);
  if (post->type != op.type || post->count != op.count) {
    Report("oxclRecv: rank %d expects %llu elements of %s from rank %d, which sends %llu of %s",
           op.comm->rank, static_cast<unsigned long long>(op.count), TypeName(op.type), op.peer,
           static_cast<unsigned long long>(post->count), TypeName(post->type));
    post->state.store(3, std::memory_order_release);
    clique.Notify();
    return oxclInvalidUsage;
  }
  if (bytes != 0 && post->buf != op.buf) std::memcpy(op.buf, post->buf, bytes);
  post->state.store(2, std::memory_order_release);
  clique.Notify();
  if (done) done(op);
  return oxclSuccess;
}

// Waits until the receiver has consumed (or refused) a post; after a break, withdraws it.
oxclResult_t Release(const P2POp& op, SendPost* post) {
  Clique& clique = *op.comm->clique;
  oxclResult_t rc = clique.Await([&] { return post->state.load(std::memory_order_acquire) >= 2; });
  if (rc != oxclSuccess) {
    if (Withdraw(clique.ChannelOf(op.comm->rank, op.peer), post)) return rc;
    // Taken: the receiver is copying from our buffer right now; that ends soon.
    clique.AwaitAlways([&] { return post->state.load(std::memory_order_acquire) >= 2; });
  }
  return post->state.load(std::memory_order_acquire) == 2 ? oxclSuccess : oxclInvalidUsage;
}

// True when the receive's destination overlaps a send buffer of the same call.
bool OverlapsASend(const std::vector<P2POp>& ops, const P2POp& recv) {
  const uintptr_t begin = reinterpret_cast<uintptr_t>(recv.buf);
  const uintptr_t end = begin + recv.count * TypeSize(recv.type);
  if (begin == end) return false;
  for (const P2POp& op : ops) {
    if (!op.is_send) continue;
    const uintptr_t b = reinterpret_cast<uintptr_t>(op.buf);
    const uintptr_t e = b + op.count * TypeSize(op.type);
    if (b < end && begin < e) return true;
  }
  return false;
}

}  // namespace

oxclResult_t RunPointToPoint(const std::vector<P2POp>& ops, const RecvDone& done) {
  size_t sends = 0;
  for (const P2POp& op : ops) sends += op.is_send;
  std::unique_ptr<SendPost[]> posts(new SendPost[sends]);
  size_t k = 0;
  for (const P2POp& op : ops) {
    if (!op.is_send) continue;
    SendPost& post = posts[k++];
    post.buf = op.buf;
    post.count = op.count;
    post.type = op.type;
    post.bytes = op.count * TypeSize(op.type);
    Append(op.comm->clique->ChannelOf(op.comm->rank, op.peer), &post);
    op.comm->clique->Notify();
  }
  // A receive into memory that one of this call's own sends still exposes to a peer (an
  // in-place exchange) lands in a staging buffer first and is copied over only once every peer
  // has consumed those sends.
  struct Staged {
    const P2POp* op;
    std::vector<char> data;
  };
  std::vector<Staged> staged;
  oxclResult_t result = oxclSuccess;
  for (const P2POp& op : ops) {
    if (op.is_send) continue;
    if (!OverlapsASend(ops, op)) {
      const oxclResult_t rc = Receive(op, done);
      if (result == oxclSuccess) result = rc;
      continue;
    }
    staged.push_back({&op, std::vector<char>(op.count * TypeSize(op.type))});
    P2POp into_stage = op;
    into_stage.buf = staged.back().data.data();
    const oxclResult_t rc = Receive(into_stage, nullptr);
    if (result == oxclSuccess) result = rc;
  }
  k = 0;
  for (const P2POp& op : ops) {
    if (!op.is_send) continue;
    const oxclResult_t rc = Release(op, &posts[k++]);
    if (result == oxclSuccess) result = rc;
  }
  if (result != oxclSuccess) return result;
  for (const Staged& s : staged) {
    if (!s.data.empty()) std::memcpy(s.op->buf, s.data.data(), s.data.size());
    if (done) done(*s.op);
  }
  return result;
}

}  // namespace oxcl_sim
