// Element types and reduction operations of the library: sizes, names, validity.
#ifndef OX_SIM_CL_DTYPE_H_
#define OX_SIM_CL_DTYPE_H_

#include <cstddef>
#include <cstdint>

#include "oxcl.h"

namespace oxcl_sim {

// Returns the element size in bytes, or 0 for a code the library does not know.
size_t TypeSize(oxclDataType_t type);
// Returns true for the four reduction operations.
bool KnownOp(oxclReduceOp_t op);
// Returns a printable name ("float16", ...), "unknown" for other codes.
const char* TypeName(oxclDataType_t type);
// Returns a printable name ("sum", ...), "unknown" for other codes.
const char* OpName(oxclReduceOp_t op);
// Returns count * size in *bytes, false when the product does not fit in 64 bits.
bool ByteSize(uint64_t count, size_t size, uint64_t* bytes);

}  // namespace oxcl_sim

#endif  // OX_SIM_CL_DTYPE_H_
