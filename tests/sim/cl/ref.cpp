#include "ref.h"

#include <cmath>
#include <cstring>
#include <limits>

namespace oxcl_test {

uint16_t RefHalf(float xf) {
  const bool negative = std::signbit(xf);
  const uint16_t sign = negative ? 0x8000 : 0;
  const double x = std::fabs(static_cast<double>(xf));
  if (std::isnan(xf) || x >= 65536.0) return sign | 0x7BFF;
  if (x == 0.0) return negative ? 0x8001 : 0;  // -0.0 counts as a tiny non-zero value
  int e2;
  std::frexp(x, &e2);  // x = f * 2^e2, 0.5 <= f < 1, so the unbiased exponent is e2 - 1
  const int e = e2 - 1;
  if (e < -24) return sign | 1;
  if (e < -14) {
    // Subnormal: units of 2^-24, halves rounded up (away from zero on the magnitude).
    const double q = std::floor(x * 16777216.0 + 0.5);
    return static_cast<uint16_t>(sign | static_cast<uint16_t>(q));
  }
  // Normal: 11 significant bits, halves rounded up; a carry may reach the next exponent
  // (65520 and above give the infinity pattern 0x7C00, which the cards produce too).
  const double q = std::floor(std::ldexp(x, 10 - e) + 0.5);  // 1024 <= q <= 2048
  return static_cast<uint16_t>(sign | (((e + 15) << 10) + static_cast<int>(q) - 1024));
}

double RefHalfValue(uint16_t h) {
  const double sign = (h & 0x8000) ? -1.0 : 1.0;
  const int e = (h >> 10) & 0x1F;
  const int m = h & 0x3FF;
  if (e == 0) return sign * std::ldexp(m, -24);
  return sign * std::ldexp(1024 + m, e - 25);
}

uint16_t RefBf16(float x) {
  uint32_t bits;
  std::memcpy(&bits, &x, sizeof bits);
  const uint32_t upper = bits >> 16, lower = bits & 0xFFFF;
  // Nearest, ties to the even upper half.
  if (lower > 0x8000 || (lower == 0x8000 && (upper & 1))) return static_cast<uint16_t>(upper + 1);
  return static_cast<uint16_t>(upper);
}

double RefBf16Value(uint16_t h) {
  const uint32_t bits = static_cast<uint32_t>(h) << 16;
  float x;
  std::memcpy(&x, &bits, sizeof x);
  return x;
}

const std::vector<oxclDataType_t>& AllTypes() {
  static const std::vector<oxclDataType_t> types = {
      oxclFloat16, oxclBfloat16, oxclFloat32, oxclInt8,   oxclInt16, oxclInt32,
      oxclInt64,   oxclUint8,    oxclUint16,  oxclUint32, oxclUint64};
  return types;
}

const std::vector<oxclReduceOp_t>& AllOps() {
  static const std::vector<oxclReduceOp_t> ops = {oxclSum, oxclProd, oxclMax, oxclMin};
  return ops;
}

size_t SizeOf(oxclDataType_t type) {
  switch (type) {
    case oxclInt8: case oxclUint8: return 1;
    case oxclFloat16: case oxclBfloat16: case oxclInt16: case oxclUint16: return 2;
    case oxclFloat32: case oxclInt32: case oxclUint32: return 4;
    case oxclInt64: case oxclUint64: return 8;
  }
  return 0;
}

std::string NameOf(oxclDataType_t type) {
  switch (type) {
    case oxclFloat16: return "float16";
    case oxclBfloat16: return "bfloat16";
    case oxclFloat32: return "float32";
    case oxclInt8: return "int8";
    case oxclInt16: return "int16";
    case oxclInt32: return "int32";
    case oxclInt64: return "int64";
    case oxclUint8: return "uint8";
    case oxclUint16: return "uint16";
    case oxclUint32: return "uint32";
    case oxclUint64: return "uint64";
  }
  return "type" + std::to_string(static_cast<int>(type));
}

std::string NameOf(oxclReduceOp_t op) {
  static const char* names[] = {"sum", "prod", "max", "min"};
  return op >= 0 && op < 4 ? names[op] : "op" + std::to_string(static_cast<int>(op));
}

namespace {

template <class T>
void Put(void* out, T v) { std::memcpy(out, &v, sizeof v); }

template <class T>
T Get(const void* in) {
  T v;
  std::memcpy(&v, in, sizeof v);
  return v;
}

// A spread of values per type: k is a mix of rank and element.
uint64_t Mix(int rank, uint64_t j) { return j * 7 + static_cast<uint64_t>(rank) * 13 + (j >> 9); }

double Step(oxclReduceOp_t op, double a, double b) {
  switch (op) {
    case oxclSum: return a + b;
    case oxclProd: return a * b;
    case oxclMax: return b > a ? b : a;
    case oxclMin: return b < a ? b : a;
  }
  return 0;
}

// Integer steps in unsigned 64-bit arithmetic: the wrapped result of every width is its low bits.
template <class T>
T IntStep(oxclReduceOp_t op, T a, T b) {
  switch (op) {
    case oxclSum: return static_cast<T>(static_cast<uint64_t>(a) + static_cast<uint64_t>(b));
    case oxclProd: return static_cast<T>(static_cast<uint64_t>(a) * static_cast<uint64_t>(b));
    case oxclMax: return b > a ? b : a;
    case oxclMin: return b < a ? b : a;
  }
  return 0;
}

template <class T>
T ByteStep(oxclReduceOp_t op, T a, T b, bool saturate) {
  const long wide = op == oxclSum ? static_cast<long>(a) + b
                  : op == oxclProd ? static_cast<long>(a) * b
                  : op == oxclMax ? (b > a ? b : a) : (b < a ? b : a);
  if (!saturate) return static_cast<T>(wide);  // low 8 bits
  const long lo = static_cast<long>(std::numeric_limits<T>::min());
  const long hi = static_cast<long>(std::numeric_limits<T>::max());
  return static_cast<T>(wide < lo ? lo : wide > hi ? hi : wide);
}

}  // namespace

void TestValue(oxclDataType_t type, int rank, uint64_t j, void* out) {
  const uint64_t k = Mix(rank, j);
  switch (type) {
    case oxclFloat16: {
      // Alternate small exact values and large ones whose sums need rounding.
      const float v = (j & 1) ? 900.0f + static_cast<float>(k % 64) * 0.5f
                              : static_cast<float>(k % 40) * 0.125f - 2.0f;
      return Put<uint16_t>(out, RefHalf(v));
    }
    case oxclBfloat16: {
      const float v = (j & 1) ? 200.0f + static_cast<float>(k % 50)
                              : static_cast<float>(k % 24) * 0.25f - 3.0f;
      return Put<uint16_t>(out, RefBf16(v));
    }
    case oxclFloat32: return Put<float>(out, static_cast<float>(k % 97) * 0.37f - 11.0f);
    case oxclInt8: return Put<int8_t>(out, static_cast<int8_t>(static_cast<int>(k % 251) - 125));
    case oxclUint8: return Put<uint8_t>(out, static_cast<uint8_t>(k % 253));
    case oxclInt16: return Put<int16_t>(out, static_cast<int16_t>(static_cast<int>(k % 60001) - 30000));
    case oxclUint16: return Put<uint16_t>(out, static_cast<uint16_t>(k * 97 % 65521));
    case oxclInt32: return Put<int32_t>(out, static_cast<int32_t>(k * 2654435761u) );
    case oxclUint32: return Put<uint32_t>(out, static_cast<uint32_t>(k * 40503u + 17));
    case oxclInt64: return Put<int64_t>(out, static_cast<int64_t>(k * 0x9E3779B97F4A7C15ull));
    case oxclUint64: return Put<uint64_t>(out, k * 0xC2B2AE3D27D4EB4Full + 1);
  }
}

void RefReduce(oxclDataType_t type, oxclReduceOp_t op, bool saturate,
               const std::vector<const void*>& values, void* out) {
  const size_t n = values.size();
  switch (type) {
    case oxclFloat16: {
      uint16_t acc = Get<uint16_t>(values[0]);
      for (size_t r = 1; r < n; ++r)
        acc = RefHalf(static_cast<float>(Step(op, static_cast<float>(RefHalfValue(acc)),
                                              static_cast<float>(RefHalfValue(Get<uint16_t>(values[r]))))));
      return Put(out, acc);
    }
    case oxclBfloat16: {
      uint16_t acc = Get<uint16_t>(values[0]);
      for (size_t r = 1; r < n; ++r) {
        // The step itself is a float operation: round its exact result to float first.
        const float a = static_cast<float>(RefBf16Value(acc));
        const float b = static_cast<float>(RefBf16Value(Get<uint16_t>(values[r])));
        acc = RefBf16(static_cast<float>(Step(op, a, b)));
      }
      return Put(out, acc);
    }
    case oxclFloat32: {
      float acc = Get<float>(values[0]);
      for (size_t r = 1; r < n; ++r) acc = static_cast<float>(Step(op, acc, Get<float>(values[r])));
      return Put(out, acc);
    }
    case oxclInt8: {
      int8_t acc = Get<int8_t>(values[0]);
      for (size_t r = 1; r < n; ++r) acc = ByteStep<int8_t>(op, acc, Get<int8_t>(values[r]), saturate);
      return Put(out, acc);
    }
    case oxclUint8: {
      uint8_t acc = Get<uint8_t>(values[0]);
      for (size_t r = 1; r < n; ++r) acc = ByteStep<uint8_t>(op, acc, Get<uint8_t>(values[r]), saturate);
      return Put(out, acc);
    }
#define OXCL_TEST_INT_CASE(code, T)                                            \
    case code: {                                                               \
      T acc = Get<T>(values[0]);                                               \
      for (size_t r = 1; r < n; ++r) acc = IntStep<T>(op, acc, Get<T>(values[r])); \
      return Put(out, acc);                                                    \
    }
    OXCL_TEST_INT_CASE(oxclInt16, int16_t)
    OXCL_TEST_INT_CASE(oxclInt32, int32_t)
    OXCL_TEST_INT_CASE(oxclInt64, int64_t)
    OXCL_TEST_INT_CASE(oxclUint16, uint16_t)
    OXCL_TEST_INT_CASE(oxclUint32, uint32_t)
    OXCL_TEST_INT_CASE(oxclUint64, uint64_t)
#undef OXCL_TEST_INT_CASE
  }
}

std::vector<unsigned char> TestVector(oxclDataType_t type, int rank, uint64_t first, uint64_t count) {
  const size_t s = SizeOf(type);
  std::vector<unsigned char> v(count * s);
  for (uint64_t j = 0; j < count; ++j) TestValue(type, rank, first + j, v.data() + j * s);
  return v;
}

}  // namespace oxcl_test
