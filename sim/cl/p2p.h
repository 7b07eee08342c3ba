// Point-to-point exchange between ranks of this process: a send is posted on the channel of its
// (sender, receiver) pair and the receiver copies straight from the send buffer.
#ifndef OX_SIM_CL_P2P_H_
#define OX_SIM_CL_P2P_H_

#include <vector>

#include "op.h"
#include "oxcl.h"
#include "transport.h"

namespace oxcl_sim {

// Posts every send of ops, completes every receive in order (each takes the oldest send its
// peer posted to it), then waits until the peers consumed this call's sends. The ops may belong
// to several communicators (one thread driving several ranks in one group). Returns the first
// failure: oxclInvalidUsage when a send and its receive disagree in type or count, the break
// code of a clique that broke. No send buffer is referenced after the return.
oxclResult_t RunPointToPoint(const std::vector<P2POp>& ops, const RecvDone& done);

}  // namespace oxcl_sim

#endif  // OX_SIM_CL_P2P_H_
