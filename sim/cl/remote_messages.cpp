#include <cstring>

#include "dtype.h"
#include "log.h"
#include "reduce.h"
#include "remote_link.h"

namespace oxcl_sim {
namespace remote {

namespace {

// A reduction along the chain of segments, from this process's side (see DriveReduction).
class ChainReduction {
 public:
  ChainReduction(Operation& op, bool saturate)
      : op_(op), a_(op.first()), scatter_(a_.kind == CollKind::kReduceScatter), n_(op.n()),
        elem_(TypeSize(a_.type)), total_(scatter_ ? a_.count * n_ : a_.count),
        chunk_(kChunkBytes / elem_), fold_(GetFold(a_.type, a_.op, saturate)),
        segs_(op.link.segments), last_proc_(segs_.back().proc),
        ex_(op.clique, op.link, CollName(a_.kind)) {
    const uint64_t chunks = (total_ + chunk_ - 1) / chunk_;
    for (uint64_t c = 0; c < chunks; ++c)
      for (size_t s = 0; s < segs_.size(); ++s)
        if (segs_[s].proc == op.self()) steps_.push_back({c, s});
    recv_of_.assign(steps_.size(), SIZE_MAX);
  }

  oxclResult_t Run() {
    if (last_proc_ != op_.self()) PostFinals();
    // Receive slots are reused kWindow receives later: never post further ahead than that.
    PostAhead(kWindow);
    for (size_t k = 0; k < steps_.size(); ++k)
      if (oxclResult_t rc = RunStep(k)) return rc;
    if (oxclResult_t rc = SpreadFinals()) return rc;
    return ex_.WaitAll();
  }

 private:
  // One chunk of the vector to fold for one of this process's segments.
  struct Step {
    uint64_t chunk;
    size_t seg;
  };

  // First element and length of chunk c.
  std::pair<uint64_t, uint64_t> Span(uint64_t c) const {
    const uint64_t begin = c * chunk_;
    return {begin, std::min(total_, begin + chunk_) - begin};
  }

  // Posts the receives of partial results for the steps before `upto`, in the order this
  // process needs them, into the receive buffers in turn.
  void PostAhead(size_t upto) {
    for (; posted_ < steps_.size() && posted_ < upto; ++posted_) {
      const Step& st = steps_[posted_];
      if (st.seg == 0) continue;
      recv_of_[posted_] = ex_.Recv(op_.link.RecvBuffer(recv_slot_), Span(st.chunk).second * elem_,
                                   segs_[st.seg - 1].proc, TagBase(n_, kTagPartial) + int(st.seg));
      recv_slot_ = (recv_slot_ + 1) % kWindow;
    }
  }

  // The final results that come from the last segment's process: all-reduce chunks land in
  // the first local rank's output, reduce-scatter pieces in their owners' outputs.
  void PostFinals() {
    char* out = static_cast<char*>(a_.recv);
    const uint64_t chunks = (total_ + chunk_ - 1) / chunk_;
    for (uint64_t c = 0; c < chunks; ++c) {
      const auto [begin, len] = Span(c);
      if (!scatter_) {
        finals_.push_back(ex_.Recv(out + begin * elem_, len * elem_, last_proc_,
                                   TagBase(n_, kTagFinal)));
        continue;
      }
      for (int r : op_.members.local_ranks) {
        const uint64_t lo = std::max(begin, r * a_.count);
        const uint64_t hi = std::min(begin + len, (r + 1) * a_.count);
        if (lo >= hi) continue;
        char* dst = static_cast<char*>(op_.ArgsOf(r).recv) + (lo - r * a_.count) * elem_;
        finals_.push_back(
            ex_.Recv(dst, (hi - lo) * elem_, last_proc_, TagBase(n_, kTagFinal) + r));
      }
    }
  }

  // Folds this segment's ranks onto the partial result of the ranks before them, into the next
  // send buffer, and passes the result on.
  oxclResult_t RunStep(size_t k) {
    const Step& st = steps_[k];
    const Segment& seg = segs_[st.seg];
    const auto [begin, len] = Span(st.chunk);
    std::vector<const void*> in;
    if (st.seg > 0) {
      if (oxclResult_t rc = ex_.Wait(recv_of_[k])) return rc;
      in.push_back(op_.link.RecvBuffer(static_cast<int>(consumed_ % kWindow)));
      ++consumed_;
    }
    for (int r = seg.first; r < seg.end; ++r)
      in.push_back(static_cast<const char*>(op_.ArgsOf(r).send) + begin * elem_);
    for (size_t h : send_busy_[send_slot_])
      if (oxclResult_t rc = ex_.Wait(h)) return rc;
    send_busy_[send_slot_].clear();
    char* out = op_.link.SendBuffer(send_slot_);
    fold_(in.data(), static_cast<int>(in.size()), 0, len, out);
    // The receive buffer just folded is free: post the next receive into it.
    if (st.seg > 0)
      PostAhead(posted_ + 1 + (posted_ < steps_.size() && steps_[posted_].seg == 0));
    if (st.seg + 1 < segs_.size()) {
      send_busy_[send_slot_].push_back(ex_.Send(out, len * elem_, segs_[st.seg + 1].proc,
                                                TagBase(n_, kTagPartial) + int(st.seg + 1)));
    } else {
      HandOut(begin, len, out);
    }
    send_slot_ = (send_slot_ + 1) % kWindow;
    return oxclSuccess;
  }

  // The last segment's result of one chunk, at `out`: to every process (all-reduce) or each
  // piece to its owner (reduce-scatter); this process's ranks get theirs by copy.
  void HandOut(uint64_t begin, uint64_t len, const char* out) {
    if (!scatter_) {
      for (size_t p = 0; p < op_.members.procs.size(); ++p)
        if (static_cast<int>(p) != op_.self())
          send_busy_[send_slot_].push_back(
              ex_.Send(out, len * elem_, static_cast<int>(p), TagBase(n_, kTagFinal)));
      for (const CollArgs* l : op_.local)
        std::memcpy(static_cast<char*>(l->recv) + begin * elem_, out, len * elem_);
      return;
    }
    for (int r = 0; r < n_; ++r) {
      const uint64_t lo = std::max(begin, r * a_.count);
      const uint64_t hi = std::min(begin + len, (r + 1) * a_.count);
      if (lo >= hi) continue;
      const char* piece = out + (lo - begin) * elem_;
      if (op_.Local(r))
        std::memcpy(static_cast<char*>(op_.ArgsOf(r).recv) + (lo - r * a_.count) * elem_, piece,
                    (hi - lo) * elem_);
      else
        send_busy_[send_slot_].push_back(
            ex_.Send(piece, (hi - lo) * elem_, op_.ProcOf(r), TagBase(n_, kTagFinal) + r));
    }
  }

  // Other than the last process: copies each arrived all-reduce chunk to the other local
  // outputs.
  oxclResult_t SpreadFinals() {
    for (size_t i = 0; i < finals_.size(); ++i) {
      if (oxclResult_t rc = ex_.Wait(finals_[i])) return rc;
      if (scatter_) continue;
      const auto [begin, len] = Span(i);
      const char* src = static_cast<const char*>(a_.recv) + begin * elem_;
      for (size_t l = 1; l < op_.local.size(); ++l)
        std::memcpy(static_cast<char*>(op_.local[l]->recv) + begin * elem_, src, len * elem_);
    }
    return oxclSuccess;
  }

  Operation& op_;
  const CollArgs& a_;
  const bool scatter_;
  const int n_;
  const size_t elem_;
  const uint64_t total_;
  const uint64_t chunk_;
  const FoldFn fold_;
  const std::vector<Segment>& segs_;
  const int last_proc_;
  Exchange ex_;
  std::vector<Step> steps_;
  std::vector<size_t> recv_of_;  // per step with seg > 0, its receive
  size_t posted_ = 0;
  int recv_slot_ = 0;
  size_t consumed_ = 0;
  std::vector<size_t> finals_;
  std::vector<size_t> send_busy_[kWindow];  // messages still reading each send buffer
  int send_slot_ = 0;
};

}  // namespace

oxclResult_t DriveReduction(Operation& op, bool saturate) {
  return ChainReduction(op, saturate).Run();
}

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
}  // namespace remote
}  // namespace oxcl_sim
