// Argument checks shared by the entry points. Each failure prints one line naming the entry
// point and returns the status the entry point passes on.
#ifndef OX_SIM_CL_VALIDATE_H_
#define OX_SIM_CL_VALIDATE_H_

#include <cstdint>

#include "oxcl.h"

namespace oxcl_sim {

// oxclInvalidArgument unless the code is one of the eleven element types.
oxclResult_t CheckType(const char* api, oxclDataType_t type);
// oxclInvalidArgument unless the code is one of the four reduction operations.
oxclResult_t CheckOp(const char* api, oxclReduceOp_t op);
// Forms count * blocks * element size in *bytes; oxclInvalidArgument when it overflows.
oxclResult_t CheckBytes(const char* api, uint64_t count, uint64_t blocks, oxclDataType_t type,
                        uint64_t* bytes);
// oxclInvalidArgument unless [ptr, ptr + bytes) lies inside one live device allocation on
// `card`. A range of zero bytes touches nothing and always passes.
oxclResult_t CheckBuffer(const char* api, const char* what, const void* ptr, uint64_t bytes,
                         int card);
// oxclInvalidArgument when the input and output ranges overlap, unless the input sits exactly
// at `in_place` (the one position where the operation reads its input from its output).
oxclResult_t CheckAlias(const char* api, const void* in, uint64_t in_bytes, const void* out,
                        uint64_t out_bytes, const void* in_place);
// oxclInvalidArgument unless 0 <= peer < nranks.
oxclResult_t CheckPeer(const char* api, int peer, int nranks);

}  // namespace oxcl_sim

#endif  // OX_SIM_CL_VALIDATE_H_
