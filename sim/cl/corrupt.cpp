#include "corrupt.h"

#include <cmath>
#include <cstring>
#include <string>
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

// The next representable value up of a 16-bit floating pattern: away from zero when positive,
// toward it when negative; -0 steps to the smallest positive subnormal.
uint16_t Ulp16(uint16_t h) {
  if (h == 0x8000) return 1;
  return static_cast<uint16_t>((h & 0x8000) ? h - 1 : h + 1);
}

template <class T>
T Load(const void* at) {
  T v;
  std::memcpy(&v, at, sizeof v);
  return v;
}

template <class T>
void Put(void* at, T v) {
  std::memcpy(at, &v, sizeof v);
}

bool IsFloating(oxclDataType_t type) {
  return type == oxclFloat16 || type == oxclBfloat16 || type == oxclFloat32;
}

// The element changed far from its value.
void Far(void* at, oxclDataType_t type) {
  switch (type) {
    case oxclFloat16: return Rewrite<uint16_t>(at, 0, FarHalf);
    case oxclBfloat16: return Rewrite<uint16_t>(at, 0, FarBf16);
    case oxclFloat32: return Rewrite<float>(at, 0, FarFloat);
    case oxclInt8: return Rewrite<int8_t>(at, 0, FarInteger<int8_t>);
    case oxclInt16: return Rewrite<int16_t>(at, 0, FarInteger<int16_t>);
    case oxclInt32: return Rewrite<int32_t>(at, 0, FarInteger<int32_t>);
    case oxclInt64: return Rewrite<int64_t>(at, 0, FarInteger<int64_t>);
    case oxclUint8: return Rewrite<uint8_t>(at, 0, FarInteger<uint8_t>);
    case oxclUint16: return Rewrite<uint16_t>(at, 0, FarInteger<uint16_t>);
    case oxclUint32: return Rewrite<uint32_t>(at, 0, FarInteger<uint32_t>);
    case oxclUint64: return Rewrite<uint64_t>(at, 0, FarInteger<uint64_t>);
  }
}

// The element one step up: integers add one in their own (wrapping) arithmetic.
void Up(void* at, oxclDataType_t type, size_t size) {
  if (type == oxclFloat16 || type == oxclBfloat16) return Put(at, Ulp16(Load<uint16_t>(at)));
  if (type == oxclFloat32) {
    return Put(at, std::nextafter(Load<float>(at), std::numeric_limits<float>::infinity()));
  }
  // Two's complement: one more is the same bit pattern step for signed and unsigned.
  switch (size) {
    case 1: return Put(at, static_cast<uint8_t>(Load<uint8_t>(at) + 1));
    case 2: return Put(at, static_cast<uint16_t>(Load<uint16_t>(at) + 1));
    case 4: return Put(at, Load<uint32_t>(at) + 1);
    default: return Put(at, Load<uint64_t>(at) + 1);
  }
}

}  // namespace

bool CorruptElement(void* element, oxclDataType_t type, const oxsim::CorruptHow& how,
                    const void* before, std::string* why) {
  const size_t size = type == oxclInt8 || type == oxclUint8 ? 1
                      : type == oxclFloat32 || type == oxclInt32 || type == oxclUint32 ? 4
                      : type == oxclInt64 || type == oxclUint64 ? 8 : 2;
  auto* bytes = static_cast<unsigned char*>(element);
  switch (how.kind) {
    case oxsim::CorruptKind::kFar:
      Far(element, type);
      return true;
    case oxsim::CorruptKind::kBit:
      if (how.bit >= 8 * size) {
        *why = "bit=" + std::to_string(how.bit) + " is beyond the " + std::to_string(8 * size) +
               " bits of the element";
        return false;
      }
      // Elements are little-endian, so bit B lives in byte B / 8.
      bytes[how.bit / 8] ^= static_cast<unsigned char>(1u << (how.bit % 8));
      return true;
    case oxsim::CorruptKind::kUlp:
      Up(element, type, size);
      return true;
    case oxsim::CorruptKind::kZero:
      std::memset(element, 0, size);
      return true;
    case oxsim::CorruptKind::kNan:
      if (!IsFloating(type)) {
        *why = "nan needs a floating type; an integer element has no NaN";
        return false;
      }
      if (type == oxclFloat32) Put(element, std::numeric_limits<float>::quiet_NaN());
      else Put<uint16_t>(element, type == oxclFloat16 ? 0x7E00 : 0x7FC0);
      return true;
    case oxsim::CorruptKind::kDrop:
      if (before == nullptr) {
        *why = "drop has no value from before the call";
        return false;
      }
      std::memcpy(element, before, size);
      return true;
  }
  *why = "unknown kind";
  return false;
}

}  // namespace oxcl_sim
