// Independent reference arithmetic for the collective tests: the cards' 16-bit conversions
// written another way (with double arithmetic instead of bit manipulation), reductions folded
// element by element, and distinct test values per rank and element.
#ifndef OX_TESTS_SIM_CL_REF_H_
#define OX_TESTS_SIM_CL_REF_H_

#include <cstdint>
#include <string>
#include <vector>

#include "oxcl.h"

namespace oxcl_test {

// float -> float16 bits: |x| > 65504 region saturates to 0x7BFF (with sign), ties round away
// from zero, tiny non-zero values become the smallest subnormal.
uint16_t RefHalf(float x);
// float16 bits -> value (exponent 31 is an ordinary power of two here).
double RefHalfValue(uint16_t h);
// float -> bfloat16 bits, nearest with ties to even.
uint16_t RefBf16(float x);
double RefBf16Value(uint16_t h);

// The eleven element types and four operations.
const std::vector<oxclDataType_t>& AllTypes();
const std::vector<oxclReduceOp_t>& AllOps();
size_t SizeOf(oxclDataType_t type);
std::string NameOf(oxclDataType_t type);
std::string NameOf(oxclReduceOp_t op);

// Element j of rank r's test data, as raw bytes of `type` written to out (SizeOf bytes). The
// values differ per rank and element, include negatives for signed types, and make rounding
// of float16/bfloat16 sums and products matter.
void TestValue(oxclDataType_t type, int rank, uint64_t j, void* out);

// Reduces values[0..n) (raw elements of `type`) in rank order with every step rounded to the
// type; int8/uint8 clamp when `saturate`, else wrap. Writes the result to out.
void RefReduce(oxclDataType_t type, oxclReduceOp_t op, bool saturate,
               const std::vector<const void*>& values, void* out);

// Host vector of `count` test elements of rank r, starting at element `first`.
std::vector<unsigned char> TestVector(oxclDataType_t type, int rank, uint64_t first, uint64_t count);

}  // namespace oxcl_test

#endif  // OX_TESTS_SIM_CL_REF_H_
