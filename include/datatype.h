// Element types: check tolerances and the float <-> float16 / bfloat16 conversions that the
// data generation and the data checks share with the collective library's card model.
#ifndef OXCL_BENCHMARK_DATATYPE_H_
#define OXCL_BENCHMARK_DATATYPE_H_

#include <cstdint>
#include <string>

#include "oxcl.h"

namespace oxcl_benchmark {

// Relative tolerance of the data check for `type`: 1e-200 (exact) for the 8- to 32-bit
// integers, 0.046875 for bfloat16, 0.003 for every other code, unknown codes included.
double GetDelta(oxclDataType_t type);

// Whether every bit of a reduction's result over `ranks` ranks of the send pattern is known,
// whatever order a library combines the ranks in, so that the check compares bit for bit:
// integers in wrap-around arithmetic, max and min of every type, and float sums, whose every
// partial sum is representable; with `extended` (BENCHMARK_CHECK_EXACT=1) also the sums of
// float16 and bfloat16 while their largest total is representable. Products of floating types
// round, so they never are.
// Codes outside 0 to 3 are summed, as the expected values are.
bool ExactReduction(oxclDataType_t type, oxclReduceOp_t op, uint64_t ranks, bool extended);

// Reads a BENCHMARK_CHECK_EXACT value: unset, empty or "0" is off, "1" on; anything else is
// refused with the reason in *why.
bool ParseCheckExact(const char* text, bool* on, std::string* why);

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
