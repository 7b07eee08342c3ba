// float16 folds, vectorised: the same results bit for bit as FloatToHalf/HalfToFloat applied
// step by step (fp16.h), in two builds picked at run time.
#ifndef OX_SIM_CL_HALF_FOLD_H_
#define OX_SIM_CL_HALF_FOLD_H_

#include <cstddef>
#include <cstdint>

#include "oxcl.h"
#include "reduce.h"

namespace oxcl_sim {

enum class HalfPath {
  kPortable,  // plain C++ the compiler vectorises, any host
  kF16c,      // the x86 F16C conversion instructions with AVX
};

// Returns true when this host (and this build) can run the F16C path.
bool HostHasF16c();

// Returns the path the library uses: F16C where the host has it, unless OXSIM_F16C=0.
HalfPath ActiveHalfPath();

// Returns the float16 fold of `op` on `path`, null for an unknown op or a path this host
// cannot run.
FoldFn GetHalfFold(oxclReduceOp_t op, HalfPath path);

// Converts n values on `path`; exposed so that tests can compare every pattern.
void HalvesToFloats(HalfPath path, const uint16_t* in, float* out, size_t n);
void FloatsToHalves(HalfPath path, const float* in, uint16_t* out, size_t n);

}  // namespace oxcl_sim

#endif  // OX_SIM_CL_HALF_FOLD_H_
