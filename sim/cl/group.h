// Grouped point-to-point operations: between oxclGroupStart and the matching oxclGroupEnd (the
// nesting is per thread) sends and receives are collected instead of run.
#ifndef OX_SIM_CL_GROUP_H_
#define OX_SIM_CL_GROUP_H_

#include <utility>
#include <vector>

#include "op.h"
#include "oxrt.h"

namespace oxcl_sim {

// The operations of one closed group that share a queue, in the order they were issued.
using QueueBatch = std::pair<oxrtQueue_t, std::vector<P2POp>>;

// Returns true while the calling thread has a group open.
bool InGroup();
// Opens one more nesting level on the calling thread.
void EnterGroup();
// Closes one level. False when none was open. When the outermost level closes, *batches
// receives the collected operations, one batch per queue, and the thread's group is empty.
bool LeaveGroup(std::vector<QueueBatch>* batches, bool* outermost);
// Adds an operation to the calling thread's open group.
void AddToGroup(oxrtQueue_t queue, const P2POp& op);

}  // namespace oxcl_sim

#endif  // OX_SIM_CL_GROUP_H_
