#include <cstring>

#include "dtype.h"
#include "log.h"
#include "reduce.h"
#include "remote_link.h"

namespace oxcl_sim {
namespace remote {

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
