// The 16-bit floating formats as the cards compute them: float16 saturates instead of
// overflowing and rounds half away from zero; bfloat16 rounds to nearest even.
#ifndef OX_SIM_CL_FP16_H_
#define OX_SIM_CL_FP16_H_

#include <cstdint>
#include <cstring>

namespace oxcl_sim {

// Returns the float16 pattern of x; overflow, infinity and NaN give +-65504 (0x7BFF with sign).
inline uint16_t FloatToHalf(float x) {
  uint32_t b;
  std::memcpy(&b, &x, sizeof b);
  const uint32_t sign = (b & 0x80000000u) ? 0x8000u : 0u;
  const int e = static_cast<int>((b >> 23) & 0xFF) - 127;
  if (e > 15) return static_cast<uint16_t>(sign + 0x7BFFu);
  if (e >= -14) {
    // The round bit is added, so a carry moves into the exponent (65520 becomes 0x7C00).
    return static_cast<uint16_t>(sign + (static_cast<uint32_t>(e + 15) << 10) +
                                 ((b >> 13) & 0x3FF) + ((b >> 12) & 1));
  }
  if (e >= -24) {
    const uint32_t m = (b & 0x7FFFFF) | 0x800000;
    return static_cast<uint16_t>(sign + (m >> (-e - 1)) + ((m >> (-e - 2)) & 1));
  }
  // Every non-zero tiny value (and -0.0) becomes the smallest subnormal of its sign.
  return static_cast<uint16_t>(sign + (b != 0 ? 1u : 0u));
}

// Returns the float value of a float16 pattern (exponent 31 is read as a finite power).
inline float HalfToFloat(uint16_t h) {
  const float sign = (h & 0x8000) ? -1.0f : 1.0f;
  const int e = (h >> 10) & 0x1F;
  const uint32_t m = h & 0x3FF;
  if (e == 0) return static_cast<float>(m) * sign / 16777216.0f;
  const float mant = static_cast<float>(m | 0x400);
  // Powers of two are exact, so the scaling below never rounds.
  if (e >= 25) return mant * (static_cast<float>(1u << (e - 25)) * sign);
  return mant * sign / static_cast<float>(1u << (25 - e));
}

// Returns the bfloat16 pattern of x, rounded to nearest, ties to even.
inline uint16_t FloatToBf16(float x) {
  uint32_t b;
  std::memcpy(&b, &x, sizeof b);
  return static_cast<uint16_t>((b + 0x7FFFu + ((b >> 16) & 1)) >> 16);
}

// Returns the float value of a bfloat16 pattern.
inline float Bf16ToFloat(uint16_t h) {
  const uint32_t b = static_cast<uint32_t>(h) << 16;
  float x;
  std::memcpy(&x, &b, sizeof x);
  return x;
}

}  // namespace oxcl_sim

#endif  // OX_SIM_CL_FP16_H_
