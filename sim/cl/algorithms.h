// One planner and one unit worker per collective, used by the engine (engine.cpp).
#ifndef OX_SIM_CL_ALGORITHMS_H_
#define OX_SIM_CL_ALGORITHMS_H_

#include <cstdint>
#include <string>

#include "clique.h"

namespace oxcl_sim {

// Each planner runs on the last rank to arrive, with every rank's arguments in slot.args
// (all of the same kind). It checks that the calls agree (false with a reason otherwise) and
// fills slot.plan and the slot's tables. Each worker performs one claimed unit.
bool PlanAllReduce(Slot& slot, int n, bool saturate, std::string* why);
void RunAllReduceUnit(const Slot& slot, int n, uint64_t unit);

bool PlanReduceScatter(Slot& slot, int n, bool saturate, std::string* why);
void RunReduceScatterUnit(const Slot& slot, int n, uint64_t unit);

bool PlanAllGather(Slot& slot, int n, std::string* why);
void RunAllGatherUnit(const Slot& slot, int n, uint64_t unit);

// Plain all-to-all and all-to-all-v share one worker.
bool PlanAlltoAll(Slot& slot, int n, std::string* why);
void RunAlltoAllUnit(const Slot& slot, int n, uint64_t unit);

// Shared check of the element type, operation and count of every rank (`with_op` for the
// reductions); false with a reason naming the first rank that differs from rank 0.
bool SameCall(const Slot& slot, int n, bool with_op, std::string* why);

}  // namespace oxcl_sim

#endif  // OX_SIM_CL_ALGORITHMS_H_
