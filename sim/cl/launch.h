// Running an operation where the caller asked: on a queue's thread, or on the caller's thread
// when the queue is null. Also the per-operation services around the engine: fault
// injection of the receive buffer and the time model.
#ifndef OX_SIM_CL_LAUNCH_H_
#define OX_SIM_CL_LAUNCH_H_

#include <vector>

#include "op.h"
#include "oxcl.h"

namespace oxcl_sim {

// Runs (null queue) or enqueues a validated collective of comm. A failure on a queue shows in
// the queue's next sync as oxrtErrorLaunchFailure, with the reason on standard error.
oxclResult_t LaunchCollective(const char* api, oxclComm* comm, oxrtQueue_t queue, CollArgs args);

// Runs or enqueues validated point-to-point operations as one exchange (see RunPointToPoint).
oxclResult_t LaunchPointToPoint(const char* api, oxrtQueue_t queue, std::vector<P2POp> ops);

// Validates one send or receive; on success *op describes it.
oxclResult_t PrepareP2P(const char* api, bool is_send, const void* buf, uint64_t count,
                        oxclDataType_t type, int peer, oxclComm* comm, P2POp* op);

}  // namespace oxcl_sim

#endif  // OX_SIM_CL_LAUNCH_H_
