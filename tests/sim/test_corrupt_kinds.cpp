// The ways a `corrupt:` item changes an element, on every kind of element.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>

#include "corrupt.h"

namespace {

using oxcl_sim::CorruptElement;
using oxsim::CorruptHow;
using oxsim::CorruptKind;

template <class T>
T Corrupted(T v, oxclDataType_t type, CorruptHow how, const T* before = nullptr) {
  std::string why;
  EXPECT_TRUE(CorruptElement(&v, type, how, before, &why)) << why;
  return v;
}

CorruptHow Bit(unsigned b) { return {CorruptKind::kBit, b}; }

TEST(CorruptKinds, BitFlipsOneBitOfEveryWidth) {
  EXPECT_EQ(Corrupted<int8_t>(5, oxclInt8, Bit(7)), static_cast<int8_t>(-123));
  EXPECT_EQ(Corrupted<uint16_t>(0x3C00, oxclFloat16, Bit(0)), 0x3C01);
  EXPECT_EQ(Corrupted<uint16_t>(0x3F80, oxclBfloat16, Bit(15)), 0xBF80);
  EXPECT_EQ(Corrupted<float>(11.0f, oxclFloat32, Bit(0)), std::nextafter(11.0f, 12.0f));
  EXPECT_EQ(Corrupted<int64_t>(486, oxclInt64, Bit(0)), 487);
  EXPECT_EQ(Corrupted<uint64_t>(1, oxclUint64, Bit(63)), 0x8000000000000001ull);
  // The type's width, not the item, bounds the bit.
  int16_t v = 3;
  std::string why;
  EXPECT_FALSE(CorruptElement(&v, oxclInt16, Bit(16), nullptr, &why));
  EXPECT_EQ(v, 3);
  EXPECT_NE(why.find("16 bits"), std::string::npos) << why;
}

TEST(CorruptKinds, UlpIsTheNextValueUp) {
  EXPECT_EQ(Corrupted<float>(-2.0f, oxclFloat32, {CorruptKind::kUlp}),
            std::nextafter(-2.0f, 0.0f));
  EXPECT_EQ(Corrupted<uint16_t>(0xC000, oxclFloat16, {CorruptKind::kUlp}), 0xBFFF);  // -2 up
  EXPECT_EQ(Corrupted<uint16_t>(0x8000, oxclBfloat16, {CorruptKind::kUlp}), 0x0001);  // -0 up
  EXPECT_EQ(Corrupted<uint16_t>(0x4100, oxclBfloat16, {CorruptKind::kUlp}), 0x4101);
  EXPECT_EQ(Corrupted<int32_t>(-1, oxclInt32, {CorruptKind::kUlp}), 0);
  EXPECT_EQ(Corrupted<uint8_t>(255, oxclUint8, {CorruptKind::kUlp}), 0);  // wraps
  EXPECT_EQ(Corrupted<uint16_t>(0xFFFF, oxclUint16, {CorruptKind::kUlp}), 0);
}

TEST(CorruptKinds, ZeroNanDropAndFar) {
  EXPECT_EQ(Corrupted<int64_t>(-7, oxclInt64, {CorruptKind::kZero}), 0);
  EXPECT_TRUE(std::isnan(Corrupted<float>(3.0f, oxclFloat32, {CorruptKind::kNan})));
  EXPECT_EQ(Corrupted<uint16_t>(0x3C00, oxclFloat16, {CorruptKind::kNan}), 0x7E00);
  EXPECT_EQ(Corrupted<uint16_t>(0x3F80, oxclBfloat16, {CorruptKind::kNan}), 0x7FC0);
  const int32_t before = 42;
  EXPECT_EQ(Corrupted<int32_t>(9, oxclInt32, {CorruptKind::kDrop}, &before), 42);
  EXPECT_EQ(Corrupted<float>(10.0f, oxclFloat32, {CorruptKind::kFar}), 21.0f);
  // Integers have no NaN, and a drop needs the value from before the call.
  for (CorruptKind kind : {CorruptKind::kNan, CorruptKind::kDrop}) {
    uint32_t v = 8;
    std::string why;
    EXPECT_FALSE(CorruptElement(&v, oxclUint32, {kind}, nullptr, &why));
    EXPECT_EQ(v, 8u);
    EXPECT_FALSE(why.empty());
  }
}

}  // namespace
