// Element types: tolerances and the float16 / bfloat16 conversions, checked against reference
// conversions computed here in double.
#include "datatype.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <random>
#include <vector>

#include "allreduce.h"

namespace oxcl_benchmark {
namespace {

float FromBits(uint32_t bits) {
  float value;
  std::memcpy(&value, &bits, sizeof(value));
  return value;
}

uint32_t Bits(float value) {
  uint32_t bits;
  std::memcpy(&bits, &value, sizeof(bits));
  return bits;
}

uint16_t Low16(int32_t pattern) { return static_cast<uint16_t>(pattern & 0xFFFF); }

// The value of a half pattern, exponent 31 read like any other exponent.
double RefHalfValue(unsigned h) {
  const double sign = (h & 0x8000) != 0 ? -1.0 : 1.0;
  const int e = static_cast<int>((h >> 10) & 0x1F);
  const int m = static_cast<int>(h & 0x3FF);
  if (e == 0) return sign * std::ldexp(m, -24);
  return sign * std::ldexp(m + 1024, e - 25);
}

// The half pattern of x: nearest magnitude on the half grid (0x7C00 reads 65536), ties away
// from zero; 65536 and beyond, infinity and NaN saturate to 65504; below 2^-24 every non-zero
// bit pattern (negative zero too) becomes the smallest subnormal.
uint16_t RefFloatToHalf(float x) {
  const uint16_t sign = std::signbit(x) ? 0x8000 : 0;
  if (Bits(x) == 0) return 0;
  const double v = std::fabs(static_cast<double>(x));
  if (std::isnan(x) || v >= 65536.0) return sign | 0x7BFF;
  if (v < std::ldexp(1.0, -24)) return sign | 1;
  // Magnitudes of the patterns 0 .. 0x7C00 increase with the pattern.
  unsigned lo = 0, hi = 0x7C00;
  while (hi - lo > 1) {
    const unsigned mid = (lo + hi) / 2;
    if (RefHalfValue(mid) <= v) {
      lo = mid;
    } else {
      hi = mid;
    }
  }
  const double below = v - RefHalfValue(lo);
  const double above = RefHalfValue(hi) - v;
  return static_cast<uint16_t>(sign | (above <= below ? hi : lo));
}

// The bfloat16 pattern of a non-NaN x, nearest with ties to the even pattern.
uint16_t RefFloatToBf16(float x) {
  const uint32_t bits = Bits(x);
  const uint16_t lo = static_cast<uint16_t>(bits >> 16);
  const int exponent_field = static_cast<int>((bits >> 23) & 0xFF);
  if (exponent_field == 0xFF) return lo;  // infinity stays infinity
  const double ulp = std::ldexp(1.0, (exponent_field == 0 ? 1 : exponent_field) - 127 - 7);
  const double v = std::fabs(static_cast<double>(x));
  const double lo_value = std::fabs(static_cast<double>(FromBits(static_cast<uint32_t>(lo) << 16)));
  const double below = v - lo_value;
  const double above = lo_value + ulp - v;
  if (below < above) return lo;
  if (above < below) return static_cast<uint16_t>(lo + 1);
  return (lo & 1) == 0 ? lo : static_cast<uint16_t>(lo + 1);
}

// The tolerance as the reduction check applies it to rows that are not exact: a received value
// off by a little less than its type's tolerance passes, one off by a little more fails.
TEST(DataTypeDelta, ToleranceOfEveryCode) {
  const auto passes = [](oxclDataType_t type, auto e, auto d) {
    return check_detail::RelativeDiff<decltype(e)>(type, e, d) <= GetDelta(type);
  };
  // float32 and float16 tolerate 0.3 %: at 1000, 2.5 either way passes and 3.5 fails. So do
  // codes of no type, which are checked as float32.
  for (int code : {int{oxclFloat32}, 0, 19, 1000, -1}) {
    const auto type = static_cast<oxclDataType_t>(code);
    EXPECT_TRUE(passes(type, 1000.0f, 1002.5f) && passes(type, 1000.0f, 997.5f)) << code;
    EXPECT_FALSE(passes(type, 1000.0f, 1003.5f) || passes(type, 1000.0f, 996.5f)) << code;
  }
  const auto half = [](float v) { return static_cast<uint16_t>(float2half(v)); };
  EXPECT_TRUE(passes(oxclFloat16, half(1000), half(1002.5f)));
  EXPECT_FALSE(passes(oxclFloat16, half(1000), half(1003.5f)));
  // bfloat16 keeps 8 bits: it tolerates 3/64, at 64 that is 3 either way.
  const auto bf16 = [](float v) { return static_cast<uint16_t>(float2bf16_rn(v)); };
  EXPECT_TRUE(passes(oxclBfloat16, bf16(64), bf16(66.5f)));
  EXPECT_TRUE(passes(oxclBfloat16, bf16(64), bf16(61.5f)));
  EXPECT_FALSE(passes(oxclBfloat16, bf16(64), bf16(67.5f)));
  EXPECT_FALSE(passes(oxclBfloat16, bf16(64), bf16(60.5f)));
  EXPECT_FALSE(passes(oxclFloat16, half(64), half(66.5f)));
  // Integers up to 32 bits tolerate nothing: one step at their largest magnitude fails.
  EXPECT_FALSE(passes(oxclInt8, int8_t{127}, int8_t{126}));
  EXPECT_FALSE(passes(oxclInt16, int16_t{-32768}, int16_t{-32767}));
  EXPECT_FALSE(passes(oxclInt32, int32_t{2147483647}, int32_t{2147483646}));
  EXPECT_FALSE(passes(oxclUint8, uint8_t{255}, uint8_t{254}));
  EXPECT_FALSE(passes(oxclUint16, uint16_t{65535}, uint16_t{65534}));
  EXPECT_FALSE(passes(oxclUint32, uint32_t{4294967295u}, uint32_t{4294967294u}));
  // The 64-bit integers share the float tolerance, which must therefore never decide their
  // rows: every such row is compared bit for bit.
  for (oxclDataType_t type : {oxclInt64, oxclUint64}) {
    for (oxclReduceOp_t op : {oxclSum, oxclProd, oxclMax, oxclMin}) {
      EXPECT_TRUE(ExactReduction(type, op, 1000, false)) << type << " " << op;
    }
  }
}

// Which rows a correct library must reproduce bit for bit, by type, operation, rank count and
// BENCHMARK_CHECK_EXACT.
TEST(DataTypeExactness, RowsWhoseResultIsExact) {
  const oxclDataType_t integers[] = {oxclInt8,  oxclInt16,  oxclInt32,  oxclInt64,
                                     oxclUint8, oxclUint16, oxclUint32, oxclUint64};
  for (oxclDataType_t type : integers) {
    for (oxclReduceOp_t op : {oxclSum, oxclProd, oxclMax, oxclMin}) {
      EXPECT_TRUE(ExactReduction(type, op, 1000, false)) << type << " " << op;
    }
  }
  for (oxclDataType_t type : {oxclFloat16, oxclBfloat16, oxclFloat32}) {
    EXPECT_TRUE(ExactReduction(type, oxclMax, 1000, false)) << type;
    EXPECT_TRUE(ExactReduction(type, oxclMin, 1000, false)) << type;
    EXPECT_FALSE(ExactReduction(type, oxclProd, 2, true)) << type;
  }
  EXPECT_TRUE(ExactReduction(oxclFloat32, oxclSum, 16, false));
  EXPECT_TRUE(ExactReduction(oxclFloat32, oxclSum, 133152, false));  // 126 x n <= 2^24
  EXPECT_FALSE(ExactReduction(oxclFloat32, oxclSum, 133153, false));
  EXPECT_FALSE(ExactReduction(oxclFloat16, oxclSum, 2, false));
  EXPECT_TRUE(ExactReduction(oxclFloat16, oxclSum, 128, true));
  EXPECT_FALSE(ExactReduction(oxclFloat16, oxclSum, 129, true));
  EXPECT_FALSE(ExactReduction(oxclBfloat16, oxclSum, 2, false));
  EXPECT_TRUE(ExactReduction(oxclBfloat16, oxclSum, 16, true));
  EXPECT_FALSE(ExactReduction(oxclBfloat16, oxclSum, 17, true));
}

TEST(DataTypeExactness, SwitchValues) {
  bool on = true;
  std::string why;
  for (const char* off : {static_cast<const char*>(nullptr), "", "0"}) {
    EXPECT_TRUE(ParseCheckExact(off, &on, &why));
    EXPECT_FALSE(on);
  }
  EXPECT_TRUE(ParseCheckExact("1", &on, &why));
  EXPECT_TRUE(on);
  for (const char* bad : {"2", "yes", "01", "1 "}) {
    EXPECT_FALSE(ParseCheckExact(bad, &on, &why)) << bad;
    EXPECT_NE(why.find("BENCHMARK_CHECK_EXACT="), std::string::npos) << why;
  }
}

TEST(HalfConversion, EdgeValues) {
  EXPECT_EQ(Low16(float2half(1.0f)), 0x3C00);
  EXPECT_EQ(Low16(float2half(-2.0f)), 0xC000);
  EXPECT_EQ(Low16(float2half(65504.0f)), 0x7BFF);
  EXPECT_EQ(Low16(float2half(1e6f)), 0x7BFF);
  EXPECT_EQ(Low16(float2half(-1e6f)), 0xFBFF);
  // The rounding carry reaches the exponent just below 65536; 65536 itself saturates.
  EXPECT_EQ(Low16(float2half(65520.0f)), 0x7C00);
  EXPECT_EQ(Low16(float2half(65535.0f)), 0x7C00);
  EXPECT_EQ(Low16(float2half(65536.0f)), 0x7BFF);
  EXPECT_EQ(Low16(float2half(std::numeric_limits<float>::infinity())), 0x7BFF);
  EXPECT_EQ(Low16(float2half(-std::numeric_limits<float>::infinity())), 0xFBFF);
  EXPECT_EQ(Low16(float2half(std::numeric_limits<float>::quiet_NaN())), 0x7BFF);
  EXPECT_EQ(Low16(float2half(0.0f)), 0x0000);
  EXPECT_EQ(Low16(float2half(-0.0f)), 0x8001);
  EXPECT_EQ(Low16(float2half(1e-30f)), 0x0001);
  EXPECT_EQ(Low16(float2half(-1e-30f)), 0x8001);
  EXPECT_EQ(Low16(float2half(std::ldexp(1.0f, -24))), 0x0001);
  EXPECT_EQ(Low16(float2half(std::ldexp(1.0f, -14))), 0x0400);
  // Ties go away from zero, not to even: 1 + 2^-11 lies half-way between 0x3C00 and 0x3C01.
  EXPECT_EQ(Low16(float2half(1.0f + std::ldexp(1.0f, -11))), 0x3C01);
  EXPECT_EQ(Low16(float2half(1.0f + 3 * std::ldexp(1.0f, -11))), 0x3C02);

  EXPECT_EQ(half2float(0x3C00), 1.0f);
  EXPECT_EQ(half2float(0x0001), std::ldexp(1.0f, -24));
  EXPECT_EQ(half2float(0x7C00), 65536.0f);
  EXPECT_EQ(half2float(0x7BFF), 65504.0f);
  EXPECT_EQ(half2float(0xC000), -2.0f);
  EXPECT_EQ(half2float(0x7FFF), 131008.0f);
}

TEST(HalfConversion, EveryPatternAgainstReference) {
  for (unsigned h = 0; h <= 0xFFFF; ++h) {
    const float value = half2float(static_cast<unsigned short>(h));
    ASSERT_EQ(static_cast<double>(value), RefHalfValue(h)) << std::hex << h;
    const unsigned e = (h >> 10) & 0x1F;
    uint16_t expected = static_cast<uint16_t>(h);
    if (e == 31) expected = static_cast<uint16_t>((h & 0x8000) | 0x7BFF);
    if (h == 0x8000) expected = 0x8001;  // negative zero is a non-zero bit pattern
    ASSERT_EQ(Low16(float2half(value)), expected) << std::hex << h;
    ASSERT_EQ(Low16(float2half(value)), RefFloatToHalf(value)) << std::hex << h;
  }
}

TEST(HalfConversion, RoundingAroundEveryMidpoint) {
  for (unsigned k = 0; k < 0x7C00; ++k) {
    const double mid = (RefHalfValue(k) + RefHalfValue(k + 1)) / 2;
    const float tie = static_cast<float>(mid);
    ASSERT_EQ(static_cast<double>(tie), mid);
    for (float sign : {1.0f, -1.0f}) {
      for (float x : {tie, std::nextafter(tie, 0.0f), std::nextafter(tie, 1e9f)}) {
        ASSERT_EQ(Low16(float2half(sign * x)), RefFloatToHalf(sign * x))
            << std::hexfloat << sign * x;
      }
    }
  }
}

TEST(HalfConversion, RandomFloatsAgainstReference) {
  std::mt19937 random(12345);
  for (int i = 0; i < 200000; ++i) {
    const float x = FromBits(static_cast<uint32_t>(random()));
    ASSERT_EQ(Low16(float2half(x)), RefFloatToHalf(x)) << std::hexfloat << x;
  }
}

TEST(Bf16Conversion, EdgeValues) {
  EXPECT_EQ(Low16(float2bf16_rn(1.0f)), 0x3F80);
  EXPECT_EQ(bf16Tofloat(0x3F80), 1.0f);
  EXPECT_EQ(Low16(float2bf16_rn(-2.0f)), 0xC000);
  // Ties go to the even pattern: 0x3F808000 down, 0x3F818000 up.
  EXPECT_EQ(Low16(float2bf16_rn(FromBits(0x3F808000))), 0x3F80);
  EXPECT_EQ(Low16(float2bf16_rn(FromBits(0x3F818000))), 0x3F82);
  EXPECT_EQ(Low16(float2bf16_rn(FromBits(0x3F808001))), 0x3F81);
  EXPECT_EQ(Low16(float2bf16_rn(std::numeric_limits<float>::max())), 0x7F80);
  EXPECT_EQ(Low16(float2bf16_rz(FromBits(0x3F80FFFF))), 0x3F80);
  EXPECT_EQ(Low16(float2bf16_rz(FromBits(0xBF80FFFF))), 0xBF80);
  EXPECT_EQ(Low16(float2bf16_rz(1.0f)), 0x3F80);
}

TEST(Bf16Conversion, EveryPatternRoundTrips) {
  for (unsigned h = 0; h <= 0xFFFF; ++h) {
    const float value = bf16Tofloat(static_cast<unsigned short>(h));
    ASSERT_EQ(Bits(value), h << 16) << std::hex << h;
    ASSERT_EQ(Low16(float2bf16_rn(value)), h) << std::hex << h;
    ASSERT_EQ(Low16(float2bf16_rz(value)), h) << std::hex << h;
  }
}

TEST(Bf16Conversion, RandomFloatsAgainstReference) {
  std::mt19937 random(54321);
  for (int i = 0; i < 200000; ++i) {
    const float x = FromBits(static_cast<uint32_t>(random()));
    if (std::isnan(x)) continue;
    ASSERT_EQ(Low16(float2bf16_rn(x)), RefFloatToBf16(x)) << std::hexfloat << x;
    ASSERT_EQ(Low16(float2bf16_rz(x)), Bits(x) >> 16) << std::hexfloat << x;
  }
}

}  // namespace
}  // namespace oxcl_benchmark
