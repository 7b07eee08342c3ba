// Deliberate damage for fault injection: one element changed so that any data check notices.
#ifndef OX_SIM_CL_CORRUPT_H_
#define OX_SIM_CL_CORRUPT_H_

#include <cstdint>

#include "oxcl.h"

namespace oxcl_sim {

// Replaces element `index` of buf (of a known type) with a value of the same type that differs
// from it by far more than any comparison tolerance: non-negative values v become about 2v + 1
// (or v / 2 or v / 4 near the top of the range), negative ones move further from zero.
void CorruptElement(void* buf, oxclDataType_t type, uint64_t index);

}  // namespace oxcl_sim

#endif  // OX_SIM_CL_CORRUPT_H_
