#include "datatype.h"

#include <cstring>

namespace oxcl_benchmark {

namespace {

uint32_t FloatBits(float value) {
  uint32_t bits;
  std::memcpy(&bits, &value, sizeof(bits));
  return bits;
}

float BitsFloat(uint32_t bits) {
  float value;
  std::memcpy(&value, &bits, sizeof(value));
  return value;
}

}  // namespace

double GetDelta(oxclDataType_t type) {
  switch (static_cast<int>(type)) {
    case oxclInt8:
    case oxclInt16:
    case oxclInt32:
    case oxclUint8:
    case oxclUint16:
    case oxclUint32:
      return 1e-200;
    case oxclBfloat16:
      return 0.046875;
    default:
      return 0.003;
  }
}

bool ExactReduction(oxclDataType_t type, oxclReduceOp_t op, uint64_t ranks, bool extended) {
  if (type != oxclFloat16 && type != oxclBfloat16 && type != oxclFloat32) return true;
  // Max and min pick one of the inputs, which is exact in any order.
  if (op == oxclMax || op == oxclMin) return true;
  if (op == oxclProd) return false;
  // Sums of the pattern's integers (0 to 126 for float, 1 to 16 for the 16-bit types) are
  // exact while the largest total fits the significand: 2^24 for float, 2^11 for float16,
  // 2^8 for bfloat16. Float needs no opt-in: no library rounds a sum that never rounds.
  if (type == oxclFloat32) return 126 * ranks <= (1ull << 24);
  if (!extended) return false;
  if (type == oxclFloat16) return 16 * ranks <= 2048;
  return 16 * ranks <= 256;
}

bool ParseCheckExact(const char* text, bool* on, std::string* why) {
  if (text == nullptr || *text == '\0' || std::strcmp(text, "0") == 0) {
    *on = false;
    return true;
  }
  if (std::strcmp(text, "1") == 0) {
    *on = true;
    return true;
  }
  *why = std::string("BENCHMARK_CHECK_EXACT=") + std::string(text).substr(0, 32) +
         " is not supported; give 1 to check 16-bit floating sums bit for bit or 0 for the "
         "tolerance";
  return false;
}

int32_t float2half(float value) {
  const uint32_t b = FloatBits(value);
  const int32_t s = (b & 0x80000000u) != 0 ? 0x8000 : 0;
  const int32_t e = static_cast<int32_t>((b >> 23) & 0xFF) - 127;
  if (e > 15) return s + 0x7BFF;
  if (e >= -14) {
    // The dropped bits round half away from zero; a carry out of the mantissa moves into the
    // exponent, which is why values just below 65536 give the pattern 0x7C00.
    return s + ((e + 15) << 10) + static_cast<int32_t>((b >> 13) & 0x3FF) +
           static_cast<int32_t>((b >> 12) & 1);
  }
  if (e >= -24) {
    const uint32_t m = (b & 0x7FFFFF) | 0x800000;
    return s + static_cast<int32_t>(m >> (-e - 1)) + static_cast<int32_t>((m >> (-e - 2)) & 1);
  }
  // Too small for a subnormal: any bit pattern but +0 keeps a trace of its sign.
  return b != 0 ? s + 1 : 0;
}

float half2float(unsigned short half) {
  const float sign = (half & 0x8000) != 0 ? -1.0f : 1.0f;
  const int e = (half >> 10) & 0x1F;
  const int m = half & 0x3FF;
  if (e == 0) return static_cast<float>(m) * sign / 16777216.0f;
  const float mantissa = static_cast<float>(m | 0x400);
  if (e >= 25) return mantissa * (static_cast<float>(1u << (e - 25)) * sign);
  return mantissa * sign / static_cast<float>(1u << (25 - e));
}

int32_t float2bf16_rn(float value) {
  const uint32_t bits = FloatBits(value);
  return static_cast<int32_t>((bits + 0x7FFFu + ((bits >> 16) & 1u)) >> 16);
}

int32_t float2bf16_rz(float value) { return static_cast<int32_t>(FloatBits(value) >> 16); }

float bf16Tofloat(unsigned short bf16) { return BitsFloat(static_cast<uint32_t>(bf16) << 16); }

}  // namespace oxcl_benchmark
