// How a communicator reaches the other ranks of its clique. Ranks of this process share memory
// and use the in-process transport; ranks in other processes will get a transport of their own.
#ifndef OX_SIM_CL_TRANSPORT_H_
#define OX_SIM_CL_TRANSPORT_H_

#include <cstdint>
#include <functional>
#include <vector>

#include "op.h"
#include "oxcl.h"

namespace oxcl_sim {

// Called after each receive of a point-to-point exchange has completed.
using RecvDone = std::function<void(const P2POp&)>;

class Transport {
 public:
  virtual ~Transport() = default;
  // Runs the communicator's part of its collective number `seq`; returns when it is complete.
  virtual oxclResult_t Collective(oxclComm& comm, uint64_t seq, const CollArgs& args,
                                  bool saturate) = 0;
  // Progresses the sends and receives together: all sends are posted first, then the receives
  // complete in order, then the sends' buffers are released once their peers consumed them.
  virtual oxclResult_t PointToPoint(const std::vector<P2POp>& ops, const RecvDone& done) = 0;
};

// Returns the transport between ranks of this process.
Transport& InProcessTransport();

}  // namespace oxcl_sim

#endif  // OX_SIM_CL_TRANSPORT_H_
