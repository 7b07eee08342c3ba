#include "group.h"

namespace oxcl_sim {
namespace {

struct GroupState {
  int depth = 0;
  std::vector<QueueBatch> batches;
};

thread_local GroupState group;

}  // namespace

bool InGroup() { return group.depth > 0; }

void EnterGroup() { ++group.depth; }

bool LeaveGroup(std::vector<QueueBatch>* batches, bool* outermost) {
  if (group.depth == 0) return false;
  *outermost = --group.depth == 0;
  if (*outermost) {
    batches->swap(group.batches);
    group.batches.clear();
  }
  return true;
}

void AddToGroup(oxrtQueue_t queue, const P2POp& op) {
  for (QueueBatch& batch : group.batches) {
    if (batch.first == queue) {
      batch.second.push_back(op);
      return;
    }
  }
  group.batches.emplace_back(queue, std::vector<P2POp>{op});
}

}  // namespace oxcl_sim
