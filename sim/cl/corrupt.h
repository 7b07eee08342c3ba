// Deliberate damage for fault injection: one element changed the way a `corrupt:` item says.
#ifndef OX_SIM_CL_CORRUPT_H_
#define OX_SIM_CL_CORRUPT_H_

#include <cstdint>
#include <string>

#include "oxcl.h"
#include "oxsim.h"

namespace oxcl_sim {

// Changes the element at `element` (of a known type) as `how` says:
//   far   a value far beyond any comparison tolerance: non-negative values v become about
//         2v + 1 (or v / 2 or v / 4 near the top of the range), negative ones move further out;
//   bit   bit `how.bit` of the element's representation flipped;
//   ulp   the next representable value up (+1, wrapping, for integers);
//   zero  all bits clear;
//   nan   a quiet NaN (floating types only);
//   drop  the bytes at `before` (the element as it was before the call).
// Returns false, changing nothing, with the reason in *why when the type cannot take the kind
// (nan for an integer, a bit beyond the type's width, drop without `before`).
bool CorruptElement(void* element, oxclDataType_t type, const oxsim::CorruptHow& how,
                    const void* before, std::string* why);

}  // namespace oxcl_sim

#endif  // OX_SIM_CL_CORRUPT_H_
