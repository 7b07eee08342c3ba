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

// PlainStep on whole vectors of lanes, each lane as PlainStep computes it: integers wrap
// (computed unsigned), max and min keep the first operand unless the second is strictly
// greater (smaller). By reference: vectors passed by value change the calling convention
// between the clones.
template <class T, oxclReduceOp_t Op>
struct PlainLanes {
  typedef T V __attribute__((vector_size(32)));
  using Bits = typename std::conditional_t<std::is_integral_v<T>, std::make_unsigned<T>,
                                            std::common_type<T>>::type;
  typedef Bits U __attribute__((vector_size(32)));
  static constexpr uint64_t kLanes = sizeof(V) / sizeof(T);

  [[gnu::always_inline]] static void Apply(V& acc, const V& b) {
    // Integers lane by lane as unsigned of their width, which wraps; converting keeps the bits.
    if constexpr (Op == oxclSum)
      acc = __builtin_convertvector(
          __builtin_convertvector(acc, U) + __builtin_convertvector(b, U), V);
    else if constexpr (Op == oxclProd)
      acc = __builtin_convertvector(
          __builtin_convertvector(acc, U) * __builtin_convertvector(b, U), V);
    else if constexpr (Op == oxclMax) acc = b > acc ? b : acc;
    else acc = b < acc ? b : acc;
  }
  // The same vector at any element boundary, allowed to alias T: direct loads and stores,
  // where a copy through memcpy goes through the stack in halves that the wide loads after it
  // cannot take from the store buffer.
  typedef T Unaligned __attribute__((vector_size(32), aligned(alignof(T)), may_alias));
  [[gnu::always_inline]] static void Load(V& v, const T* p) {
    v = *reinterpret_cast<const Unaligned*>(p);
  }
  [[gnu::always_inline]] static void Store(T* p, const V& v) {
    *reinterpret_cast<Unaligned*>(p) = v;
  }
};

// The fold stored straight to every output, a few vectors at a time that stay in registers,
// where the tiles' way writes each tile once and copies it out once per output. Every
// element's inputs are read before its outputs are written, so an output may be an input at
// the same position (in place).
template <class T, oxclReduceOp_t Op>
OXSIM_WIDE_CLONES void FoldStore(const void* const* in, int n, uint64_t first, uint64_t len,
                                 void* const* out, int outs) {
  using L = PlainLanes<T, Op>;
  constexpr int kVectors = 4;  // 128 bytes: two cache lines per input and output
  constexpr uint64_t kStep = L::kLanes * kVectors;
  const auto at = [&](int r) { return static_cast<const T*>(in[r]) + first; };
  uint64_t k = 0;
  for (; k + kStep <= len; k += kStep) {
    typename L::V v[kVectors];
    for (int i = 0; i < kVectors; ++i) L::Load(v[i], at(0) + k + i * L::kLanes);
    for (int r = 1; r < n; ++r) {
      for (int i = 0; i < kVectors; ++i) {
        typename L::V c;
        L::Load(c, at(r) + k + i * L::kLanes);
        L::Apply(v[i], c);
      }
    }
    for (int o = 0; o < outs; ++o)
      for (int i = 0; i < kVectors; ++i)
        L::Store(static_cast<T*>(out[o]) + first + k + i * L::kLanes, v[i]);
  }
  for (; k < len; ++k) {
    T v = at(0)[k];
    for (int r = 1; r < n; ++r) v = PlainStep<T, Op>::Apply(v, at(r)[k]);
    for (int o = 0; o < outs; ++o) static_cast<T*>(out[o])[first + k] = v;
  }
}

struct Kernels {
  FoldFn fold;
  FoldStoreFn fold_store;
};

// The tiles' fold, and for the types of the plain operations the fold stored straight out.
template <class T, class Step>
constexpr Kernels Tiles() {
  return {Fold<T, Step>, nullptr};
}
template <class T, oxclReduceOp_t Op>
constexpr Kernels Both() {
  return {Fold<T, PlainStep<T, Op>>, FoldStore<T, Op>};
}

template <oxclReduceOp_t Op>
Kernels KernelsFor(oxclDataType_t type, bool saturate) {
  switch (type) {
    case oxclFloat16: return {GetHalfFold(Op, ActiveHalfPath()), nullptr};
    case oxclBfloat16: return Tiles<uint16_t, Fp16Step<false, Op>>();
    case oxclFloat32: return Both<float, Op>();
    case oxclInt8:
      return saturate ? Tiles<int8_t, ByteStep<int8_t, Op, true>>()
                      : Tiles<int8_t, ByteStep<int8_t, Op, false>>();
    case oxclUint8:
      return saturate ? Tiles<uint8_t, ByteStep<uint8_t, Op, true>>()
                      : Tiles<uint8_t, ByteStep<uint8_t, Op, false>>();
    case oxclInt16: return Both<int16_t, Op>();
    case oxclInt32: return Both<int32_t, Op>();
    case oxclInt64: return Both<int64_t, Op>();
    case oxclUint16: return Both<uint16_t, Op>();
    case oxclUint32: return Both<uint32_t, Op>();
    case oxclUint64: return Both<uint64_t, Op>();
  }
  return {nullptr, nullptr};
}

Kernels KernelsFor(oxclDataType_t type, oxclReduceOp_t op, bool saturate) {
  switch (op) {
    case oxclSum: return KernelsFor<oxclSum>(type, saturate);
    case oxclProd: return KernelsFor<oxclProd>(type, saturate);
    case oxclMax: return KernelsFor<oxclMax>(type, saturate);
    case oxclMin: return KernelsFor<oxclMin>(type, saturate);
  }
  return {nullptr, nullptr};
}

}  // namespace

FoldFn GetFold(oxclDataType_t type, oxclReduceOp_t op, bool saturate) {
  return KernelsFor(type, op, saturate).fold;
}

FoldStoreFn GetFoldStore(oxclDataType_t type, oxclReduceOp_t op, bool saturate) {
  return KernelsFor(type, op, saturate).fold_store;
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
