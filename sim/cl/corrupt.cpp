#include "corrupt.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <type_traits>

#include "fp16.h"

namespace oxcl_sim {
namespace {

template <class T>
T FarInteger(T v) {
  constexpr T kMax = std::numeric_limits<T>::max();
  if constexpr (std::is_signed_v<T>) {
    constexpr T kMin = std::numeric_limits<T>::min();
    if (v < 0) return v > kMin / 2 ? static_cast<T>(v * 2 - 1) : static_cast<T>(v / 2);
  }
  return v <= kMax / 2 ? static_cast<T>(v * 2 + 1) : static_cast<T>(v / 2);
}

float FarFloat(float v) {
  if (!std::isfinite(v)) return 0.0f;
  if (std::fabs(v) >= 1024.0f) return v * 0.25f;
  return v >= 0.0f ? v * 2.0f + 1.0f : v * 2.0f - 1.0f;
}

template <class T>
void Rewrite(void* buf, uint64_t index, T (*far)(T)) {
  T v;
  char* at = static_cast<char*>(buf) + index * sizeof(T);
  std::memcpy(&v, at, sizeof v);
  v = far(v);
  std::memcpy(at, &v, sizeof v);
}

uint16_t FarHalf(uint16_t h) {
  const uint16_t out = FloatToHalf(FarFloat(HalfToFloat(h)));
  // Saturated or odd patterns may map onto themselves: then flip an exponent bit.
  return out != h ? out : static_cast<uint16_t>(h ^ 0x4000);
}

uint16_t FarBf16(uint16_t h) {
  const uint16_t out = FloatToBf16(FarFloat(Bf16ToFloat(h)));
  return out != h ? out : static_cast<uint16_t>(h ^ 0x4000);
}

}  // namespace

void CorruptElement(void* buf, oxclDataType_t type, uint64_t index) {
  switch (type) {
    case oxclFloat16: return Rewrite<uint16_t>(buf, index, FarHalf);
    case oxclBfloat16: return Rewrite<uint16_t>(buf, index, FarBf16);
    case oxclFloat32: return Rewrite<float>(buf, index, FarFloat);
    case oxclInt8: return Rewrite<int8_t>(buf, index, FarInteger<int8_t>);
    case oxclInt16: return Rewrite<int16_t>(buf, index, FarInteger<int16_t>);
    case oxclInt32: return Rewrite<int32_t>(buf, index, FarInteger<int32_t>);
    case oxclInt64: return Rewrite<int64_t>(buf, index, FarInteger<int64_t>);
    case oxclUint8: return Rewrite<uint8_t>(buf, index, FarInteger<uint8_t>);
    case oxclUint16: return Rewrite<uint16_t>(buf, index, FarInteger<uint16_t>);
    case oxclUint32: return Rewrite<uint32_t>(buf, index, FarInteger<uint32_t>);
    case oxclUint64: return Rewrite<uint64_t>(buf, index, FarInteger<uint64_t>);
  }
}

}  // namespace oxcl_sim
