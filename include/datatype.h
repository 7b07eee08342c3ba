// Element types: check tolerances and the float <-> float16 / bfloat16 conversions that the
// data generation and the data checks share with the collective library's card model.
#ifndef OXCL_BENCHMARK_DATATYPE_H_
#define OXCL_BENCHMARK_DATATYPE_H_

#include <cstdint>

#include "oxcl.h"

namespace oxcl_benchmark {

// Relative tolerance of the data check for `type`: 1e-200 (exact) for the 8- to 32-bit
// integers, 0.046875 for bfloat16, 0.003 for every other code, unknown codes included.
double GetDelta(oxclDataType_t type);

// Binary16 pattern of `value` in the low 16 bits. Rounds half away from zero, saturates
// overflow, infinity and NaN to +-65504, and turns every non-zero value below the smallest
// subnormal (negative zero included) into the smallest subnormal of its sign.
int32_t float2half(float value);
// Value of a binary16 pattern; exponent 31 has no special meaning (infinity reads 65536).
float half2float(unsigned short half);
// Bfloat16 pattern of `value` in the low 16 bits, rounded to nearest, ties to even.
int32_t float2bf16_rn(float value);
// Bfloat16 pattern of `value` in the low 16 bits, truncated.
int32_t float2bf16_rz(float value);
// Value of a bfloat16 pattern.
float bf16Tofloat(unsigned short bf16);

}  // namespace oxcl_benchmark

#endif  // OXCL_BENCHMARK_DATATYPE_H_
