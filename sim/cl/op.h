// What one rank asks of a collective or point-to-point operation, as the engine sees it.
#ifndef OX_SIM_CL_OP_H_
#define OX_SIM_CL_OP_H_

#include <cstdint>
#include <vector>

#include "oxcl.h"

namespace oxcl_sim {

enum class CollKind : uint8_t { kAllReduce, kReduceScatter, kAllGather, kAlltoAll, kAlltoAllv };

// Returns the entry-point name of a collective ("oxclAllReduce", ...).
const char* CollName(CollKind kind);

// One peer's blocks of an all-to-all-v: what this rank sends to it and receives from it.
struct PeerBlock {
  const void* send = nullptr;
  void* recv = nullptr;
  uint64_t send_bytes = 0;
  uint64_t recv_bytes = 0;
  oxclDataType_t recv_type = oxclFloat32;
};

// Arguments of one rank's collective call. `count` is the element count the entry point
// takes: all-reduce elements, reduce-scatter receive count, all-gather send count, all-to-all
// elements per peer.
struct CollArgs {
  CollKind kind = CollKind::kAllReduce;
  oxclDataType_t type = oxclFloat32;
  oxclReduceOp_t op = oxclSum;
  uint64_t count = 0;
  const void* send = nullptr;
  void* recv = nullptr;
  std::vector<PeerBlock> peers;  // all-to-all-v only: one entry per rank of the clique
  bool hang = false;             // a `hang:` fault: never runs, fails after an abort
};

// One send or receive of a point-to-point exchange.
struct P2POp {
  bool is_send = false;
  oxclComm* comm = nullptr;
  void* buf = nullptr;  // the send buffer is only read
  uint64_t count = 0;
  oxclDataType_t type = oxclFloat32;
  int peer = 0;
};

}  // namespace oxcl_sim

#endif  // OX_SIM_CL_OP_H_
