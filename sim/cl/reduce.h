// Element-wise reductions of n rank vectors in rank order, as the cards compute them.
#ifndef OX_SIM_CL_REDUCE_H_
#define OX_SIM_CL_REDUCE_H_

#include <cstddef>
#include <cstdint>

#include "oxcl.h"

namespace oxcl_sim {

// out[k] = op(...op(op(in[0][first + k], in[1][first + k]), in[2][first + k]) ..., in[n-1][...])
// for k < len: the ranks are folded in order and every step is rounded to the element type
// (float16/bfloat16 are computed in float, 8-bit integers saturate or wrap per step). `out`
// must not overlap the inputs; n >= 1.
using FoldFn = void (*)(const void* const* in, int n, uint64_t first, uint64_t len, void* out);

// Returns the fold for a known type and operation; null for unknown codes. `saturate` makes
// int8/uint8 clamp to their range instead of wrapping (the OPU150/OPU190 behaviour).
FoldFn GetFold(oxclDataType_t type, oxclReduceOp_t op, bool saturate);

// The fold of elements [first, first + len), stored to out[r] + first for every r < outs. An
// output may be one of the inputs (in place); no other overlap is allowed.
using FoldStoreFn = void (*)(const void* const* in, int n, uint64_t first, uint64_t len,
                             void* const* out, int outs);

// GetFold's fold in that form; null where the type folds through tiles of float (float16).
FoldStoreFn GetFoldStore(oxclDataType_t type, oxclReduceOp_t op, bool saturate);

// Copies bytes from src to dst; with `stream`, large aligned spans bypass the cache
// (non-temporal stores), which saves the read-for-ownership of outputs nobody reads soon.
// Call StoreFence before publishing data written with `stream`.
void StoreBytes(void* dst, const void* src, size_t bytes, bool stream);
// Orders earlier streaming stores before later stores (publication of a finished block).
void StoreFence();

}  // namespace oxcl_sim

#endif  // OX_SIM_CL_REDUCE_H_
