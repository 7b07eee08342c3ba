// The per-element comparison of the reducing collectives' data check.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

#include "allreduce.h"

namespace oxcl_benchmark {
namespace {

using check_detail::RelativeDiff;
using check_detail::Show;

bool Mismatch(oxclDataType_t type, double rel) { return rel > GetDelta(type); }

TEST(ElementCheck, NegativeExpectedValuesAreChecked) {
  // An int8 sum that wrapped to -26 and came back wrong must count.
  EXPECT_TRUE(Mismatch(oxclInt8, RelativeDiff<int8_t>(oxclInt8, -26, -51)));
  EXPECT_TRUE(Mismatch(oxclInt32, RelativeDiff<int32_t>(oxclInt32, -5, 7)));
  EXPECT_TRUE(Mismatch(oxclInt64, RelativeDiff<int64_t>(oxclInt64, -1, 0)));
  EXPECT_TRUE(Mismatch(oxclFloat32, RelativeDiff<float>(oxclFloat32, -2.0f, -3.0f)));
  const uint16_t minus_two = static_cast<uint16_t>(float2half(-2.0f));
  const uint16_t three = static_cast<uint16_t>(float2half(3.0f));
  EXPECT_TRUE(Mismatch(oxclFloat16, RelativeDiff<uint16_t>(oxclFloat16, minus_two, three)));
}

TEST(ElementCheck, DifferencesBeyondTheTypeWidthAreSeen) {
  // -64 against 64 differ by 128, which no int8 holds; likewise 32767 steps in int16.
  EXPECT_TRUE(Mismatch(oxclInt8, RelativeDiff<int8_t>(oxclInt8, -64, 64)));
  EXPECT_TRUE(Mismatch(oxclInt8, RelativeDiff<int8_t>(oxclInt8, 127, -128)));
  EXPECT_TRUE(Mismatch(oxclInt16, RelativeDiff<int16_t>(oxclInt16, -16384, 16384)));
  EXPECT_TRUE(Mismatch(oxclUint8, RelativeDiff<uint8_t>(oxclUint8, 0, 255)));
  EXPECT_TRUE(Mismatch(oxclUint16, RelativeDiff<uint16_t>(oxclUint16, 65535, 0)));
  EXPECT_TRUE(Mismatch(oxclInt64, RelativeDiff<int64_t>(oxclInt64, std::numeric_limits<int64_t>::min(),
                                                        std::numeric_limits<int64_t>::max())));
  // Every single-step difference of the 8-bit types counts, in both directions.
  for (int e = -128; e <= 127; ++e) {
    for (int d : {e - 1, e + 1}) {
      if (d < -128 || d > 127) continue;
      EXPECT_TRUE(Mismatch(oxclInt8, RelativeDiff<int8_t>(oxclInt8, static_cast<int8_t>(e),
                                                          static_cast<int8_t>(d))))
          << e << " vs " << d;
    }
  }
}

TEST(ElementCheck, EqualOrTolerableValuesPass) {
  EXPECT_FALSE(Mismatch(oxclInt8, RelativeDiff<int8_t>(oxclInt8, -26, -26)));
  EXPECT_FALSE(Mismatch(oxclUint64, RelativeDiff<uint64_t>(oxclUint64, 0, 0)));
  EXPECT_FALSE(Mismatch(oxclFloat32, RelativeDiff<float>(oxclFloat32, 1000.0f, 1001.0f)));
  EXPECT_FALSE(Mismatch(oxclFloat32, RelativeDiff<float>(oxclFloat32, -1000.0f, -1001.0f)));
  const uint16_t a = static_cast<uint16_t>(float2bf16_rn(100.0f));
  const uint16_t b = static_cast<uint16_t>(float2bf16_rn(102.0f));
  EXPECT_FALSE(Mismatch(oxclBfloat16, RelativeDiff<uint16_t>(oxclBfloat16, a, b)));
  EXPECT_TRUE(Mismatch(oxclFloat16, RelativeDiff<uint16_t>(oxclFloat16,
                                                           static_cast<uint16_t>(float2half(100.0f)),
                                                           static_cast<uint16_t>(float2half(102.0f)))));
}

TEST(ElementCheck, ShownValues) {
  EXPECT_EQ(Show<uint16_t>(oxclFloat16, static_cast<uint16_t>(float2half(16.0f))), "16");
  EXPECT_EQ(Show<uint16_t>(oxclBfloat16, static_cast<uint16_t>(float2bf16_rn(-2.0f))), "-2");
  EXPECT_EQ(Show<uint16_t>(oxclUint16, 65535), "65535");
  EXPECT_EQ(Show<int8_t>(oxclInt8, 'A'), "A");  // bytes print as the character itself
  EXPECT_EQ(Show<uint8_t>(oxclUint8, 'z'), "z");
  EXPECT_EQ(Show<int64_t>(oxclInt64, -42), "-42");
  EXPECT_EQ(Show<float>(oxclFloat32, 2.5f), "2.5");
}

}  // namespace
}  // namespace oxcl_benchmark
