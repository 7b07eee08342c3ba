#include "reduce.h"

#include <cstring>
#include <type_traits>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "fp16.h"
#include "half_fold.h"
#include "wide_clones.h"

namespace oxcl_sim {
namespace {

// ---- one rank step per element type family ----

// 16-bit and wider integers and float: the type's own arithmetic, integers wrapping.
template <class T, oxclReduceOp_t Op>
struct PlainStep {
  static T Apply(T a, T b) {
    if constexpr (Op == oxclSum) {
      if constexpr (std::is_integral_v<T>)
        return static_cast<T>(static_cast<uint64_t>(a) + static_cast<uint64_t>(b));
      else
        return a + b;
    } else if constexpr (Op == oxclProd) {
      // Unsigned 64-bit products wrap without undefined behaviour; truncation keeps the
      // low bits, which is exactly the wrapped result of every narrower width.
      if constexpr (std::is_integral_v<T>)
        return static_cast<T>(static_cast<uint64_t>(a) * static_cast<uint64_t>(b));
      else
        return a * b;
    } else if constexpr (Op == oxclMax) {
      return b > a ? b : a;
    } else {
      return b < a ? b : a;
    }
  }
};

// int8/uint8: computed in 32 bits, then clamped (saturating cards) or wrapped, every step.
template <class T, oxclReduceOp_t Op, bool Saturate>
struct ByteStep {
  static T Apply(T a, T b) {
    int32_t x = a, y = b, v;
    if constexpr (Op == oxclSum) v = x + y;
    else if constexpr (Op == oxclProd) v = x * y;
    else if constexpr (Op == oxclMax) v = y > x ? y : x;
    else v = y < x ? y : x;
    if constexpr (Saturate) {
      constexpr int32_t lo = std::is_signed_v<T> ? -128 : 0;
      constexpr int32_t hi = std::is_signed_v<T> ? 127 : 255;
      v = v < lo ? lo : (v > hi ? hi : v);
    }
    return static_cast<T>(v);
  }
};

// float16/bfloat16 bit patterns: computed in float, rounded back after every step.
template <bool Half, oxclReduceOp_t Op>
struct Fp16Step {
  static uint16_t Apply(uint16_t a, uint16_t b) {
    const float x = Half ? HalfToFloat(a) : Bf16ToFloat(a);
    const float y = Half ? HalfToFloat(b) : Bf16ToFloat(b);
    const float v = PlainStep<float, Op>::Apply(x, y);
    return Half ? FloatToHalf(v) : FloatToBf16(v);
  }
};

template <class T, class Step>
OXSIM_WIDE_CLONES void Fold(const void* const* in, int n, uint64_t first, uint64_t len, void* out) {
  T* __restrict o = static_cast<T*>(out);
  const T* a = static_cast<const T*>(in[0]) + first;
  if (n == 1) {
    std::memcpy(o, a, len * sizeof(T));
    return;
  }
  // The first step reads two inputs at once; later ranks fold into the (cache-hot) output.
  const T* b = static_cast<const T*>(in[1]) + first;
  for (uint64_t k = 0; k < len; ++k) o[k] = Step::Apply(a[k], b[k]);
  for (int r = 2; r < n; ++r) {
    const T* c = static_cast<const T*>(in[r]) + first;
    for (uint64_t k = 0; k < len; ++k) o[k] = Step::Apply(o[k], c[k]);
  }
}

template <oxclReduceOp_t Op>
FoldFn FoldFor(oxclDataType_t type, bool saturate) {
  switch (type) {
    case oxclFloat16: return GetHalfFold(Op, ActiveHalfPath());
    case oxclBfloat16: return Fold<uint16_t, Fp16Step<false, Op>>;
    case oxclFloat32: return Fold<float, PlainStep<float, Op>>;
    case oxclInt8:
      return saturate ? Fold<int8_t, ByteStep<int8_t, Op, true>>
                      : Fold<int8_t, ByteStep<int8_t, Op, false>>;
    case oxclUint8:
      return saturate ? Fold<uint8_t, ByteStep<uint8_t, Op, true>>
                      : Fold<uint8_t, ByteStep<uint8_t, Op, false>>;
    case oxclInt16: return Fold<int16_t, PlainStep<int16_t, Op>>;
    case oxclInt32: return Fold<int32_t, PlainStep<int32_t, Op>>;
    case oxclInt64: return Fold<int64_t, PlainStep<int64_t, Op>>;
    case oxclUint16: return Fold<uint16_t, PlainStep<uint16_t, Op>>;
    case oxclUint32: return Fold<uint32_t, PlainStep<uint32_t, Op>>;
    case oxclUint64: return Fold<uint64_t, PlainStep<uint64_t, Op>>;
  }
  return nullptr;
}

}  // namespace

FoldFn GetFold(oxclDataType_t type, oxclReduceOp_t op, bool saturate) {
  switch (op) {
    case oxclSum: return FoldFor<oxclSum>(type, saturate);
    case oxclProd: return FoldFor<oxclProd>(type, saturate);
    case oxclMax: return FoldFor<oxclMax>(type, saturate);
    case oxclMin: return FoldFor<oxclMin>(type, saturate);
  }
  return nullptr;
}

namespace {

// dst is 64-byte aligned and bytes a multiple of 64.
#if defined(__x86_64__) && defined(__GNUC__)
__attribute__((target("avx2"))) void StreamLinesAvx2(char* dst, const char* src, size_t bytes) {
  for (size_t i = 0; i < bytes; i += 64) {
    const __m256i lo = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + i));
    const __m256i hi = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + i + 32));
    _mm256_stream_si256(reinterpret_cast<__m256i*>(dst + i), lo);
    _mm256_stream_si256(reinterpret_cast<__m256i*>(dst + i + 32), hi);
  }
}
#endif

#if defined(__SSE2__)
void StreamLinesSse2(char* dst, const char* src, size_t bytes) {
  for (size_t i = 0; i < bytes; i += 64) {
    for (size_t k = 0; k < 64; k += 16) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i + k));
      _mm_stream_si128(reinterpret_cast<__m128i*>(dst + i + k), v);
    }
  }
}
#endif

using StreamFn = void (*)(char*, const char*, size_t);

StreamFn PickStream() {
#if defined(__x86_64__) && defined(__GNUC__)
  __builtin_cpu_init();  // this runs among the static constructors
  if (__builtin_cpu_supports("avx2")) return StreamLinesAvx2;
#endif
#if defined(__SSE2__)
  return StreamLinesSse2;
#else
  return nullptr;
#endif
}

const StreamFn kStreamLines = PickStream();

}  // namespace

void StoreBytes(void* dst, const void* src, size_t bytes, bool stream) {
  if (stream && bytes >= 256 && kStreamLines != nullptr) {
    auto* d = static_cast<char*>(dst);
    auto* s = static_cast<const char*>(src);
    // Plain copy up to the first cache line boundary of the destination, stream whole lines.
    const size_t head = (64 - (reinterpret_cast<uintptr_t>(d) & 63)) & 63;
    std::memcpy(d, s, head);
    d += head;
    s += head;
    bytes -= head;
    const size_t body = bytes & ~static_cast<size_t>(63);
    kStreamLines(d, s, body);
    std::memcpy(d + body, s + body, bytes - body);
    return;
  }
  std::memcpy(dst, src, bytes);
}

void StoreFence() {
#if defined(__SSE2__)
  _mm_sfence();
#endif
}

}  // namespace oxcl_sim
