#include "half_fold.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "fp16.h"
#include "wide_clones.h"

#if defined(__x86_64__) && defined(__GNUC__)
#define OXSIM_HAVE_F16C_PATH 1
// Only these functions use the instructions; the rest of the build stays baseline x86-64.
#define OXSIM_F16C __attribute__((target("avx,f16c")))
#endif

namespace oxcl_sim {
namespace {

// Values are folded a tile at a time in float; each step's result is rounded to float16 and
// read back before the next rank, exactly as the cards do.
constexpr uint64_t kTile = 512;

template <oxclReduceOp_t Op>
inline float Apply(float a, float b) {
  if constexpr (Op == oxclSum) return a + b;
  else if constexpr (Op == oxclProd) return a * b;
  else if constexpr (Op == oxclMax) return b > a ? b : a;
  else return b < a ? b : a;
}

// ---- portable: branch-free forms of FloatToHalf/HalfToFloat, so the loops vectorise ----

// Returns x where c holds, else y; as masks, since GCC does not vectorise loops whose
// selects mix float and integer values.
inline uint32_t Pick(bool c, uint32_t x, uint32_t y) {
  const uint32_t m = 0u - static_cast<uint32_t>(c);
  return (x & m) | (y & ~m);
}

inline uint32_t BitsOf(float x) {
  uint32_t b;
  std::memcpy(&b, &x, sizeof b);
  return b;
}

inline float FloatOf(uint32_t b) {
  float x;
  std::memcpy(&x, &b, sizeof x);
  return x;
}

inline float FlatHalfToFloat(uint16_t h) {
  const uint32_t a = h & 0x7FFFu;
  const uint32_t sign = static_cast<uint32_t>(h & 0x8000u) << 16;
  // Subnormals are whole multiples of 2^-24, which the float product gives exactly.
  const uint32_t sub = BitsOf(static_cast<float>(static_cast<int32_t>(a)) * 0x1p-24f);
  // Rebias the exponent; exponent 31 becomes 2^16, a finite power like the others.
  const uint32_t normal = (a << 13) + 0x38000000u;
  return FloatOf(Pick(a < 0x400u, sub, normal) | sign);
}

inline uint16_t FlatFloatToHalf(float x) {
  const uint32_t b = BitsOf(x);
  const uint32_t a = b & 0x7FFFFFFFu;
  const uint32_t sign = (b >> 16) & 0x8000u;
  // Add half a float16 unit in the last place (2^(e-11), at least 2^-25 for subnormal results),
  // then truncate: halves round away from zero. The sum is exact up to bits truncation drops.
  const uint32_t unit = BitsOf(FloatOf(a & 0x7F800000u) * 0x1p-11f);
  const float y = FloatOf(a) + FloatOf(Pick(unit > 0x33000000u, unit, 0x33000000u));
  const uint32_t yb = BitsOf(y);
  // Truncation: rebias a normal result; count whole 2^-24 units of a subnormal one (clamped so
  // the conversion stays defined on lanes not taken). A carry past 65504 gives 0x7C00.
  const uint32_t normal = (yb >> 13) - 0x1C000u;
  const float small = FloatOf(Pick(yb < 0x38800000u, yb, 0x38800000u));
  const uint32_t sub = static_cast<uint32_t>(static_cast<int32_t>(small * 0x1p24f));
  uint32_t r = Pick(yb >= 0x38800000u, normal, sub);
  // Every value other than +0.0 gives at least the smallest subnormal (-0.0 included).
  r = Pick(r == 0 && b != 0, 1u, r);
  r = Pick(a >= 0x47800000u, 0x7BFFu, r);  // beyond 65535, infinity and NaN saturate
  return static_cast<uint16_t>(r | sign);
}

OXSIM_WIDE_CLONES void PortableToFloats(const uint16_t* in, float* out, size_t n) {
  for (size_t k = 0; k < n; ++k) out[k] = FlatHalfToFloat(in[k]);
}

OXSIM_WIDE_CLONES void PortableToHalves(const float* in, uint16_t* out, size_t n) {
  for (size_t k = 0; k < n; ++k) out[k] = FlatFloatToHalf(in[k]);
}

template <oxclReduceOp_t Op>
OXSIM_WIDE_CLONES void PortableStep(float* acc, const uint16_t* c, uint64_t m, uint16_t* out) {
  if (out != nullptr) {
    for (uint64_t k = 0; k < m; ++k)
      out[k] = FlatFloatToHalf(Apply<Op>(acc[k], FlatHalfToFloat(c[k])));
  } else {
    for (uint64_t k = 0; k < m; ++k)
      acc[k] = FlatHalfToFloat(FlatFloatToHalf(Apply<Op>(acc[k], FlatHalfToFloat(c[k]))));
  }
}

template <oxclReduceOp_t Op>
void PortableFold(const void* const* in, int n, uint64_t first, uint64_t len, void* out) {
  uint16_t* o = static_cast<uint16_t*>(out);
  if (n == 1) {
    std::memcpy(o, static_cast<const uint16_t*>(in[0]) + first, len * sizeof(uint16_t));
    return;
  }
  alignas(64) float acc[kTile];
  for (uint64_t t = 0; t < len; t += kTile) {
    const uint64_t m = std::min(kTile, len - t);
    PortableToFloats(static_cast<const uint16_t*>(in[0]) + first + t, acc, m);
    for (int r = 1; r < n; ++r)
      PortableStep<Op>(acc, static_cast<const uint16_t*>(in[r]) + first + t, m,
                       r == n - 1 ? o + t : nullptr);
  }
}

// ---- F16C: the conversion instructions, with the cards' rules patched in ----

#ifdef OXSIM_HAVE_F16C_PATH

// Lanes of h whose exponent is 31, as all-ones 16-bit masks.
OXSIM_F16C inline __m128i TopBinade(__m128i h) {
  const __m128i exp_mask = _mm_set1_epi16(0x7C00);
  return _mm_cmpeq_epi16(_mm_and_si128(h, exp_mask), exp_mask);
}

// Exponent 31 is a finite power here, not infinity or NaN: such a value is read one binade
// lower and doubled (exactly).
OXSIM_F16C inline __m256 F16cToFloatsAnyRange(__m128i h) {
  const __m128i top = TopBinade(h);
  const __m256 f = _mm256_cvtph_ps(_mm_sub_epi16(h, _mm_and_si128(top, _mm_set1_epi16(0x0400))));
  const __m256 once = _mm256_cvtph_ps(_mm_and_si128(top, _mm_set1_epi16(0x3C00)));  // 1 or 0
  return _mm256_add_ps(f, _mm256_mul_ps(f, once));
}

OXSIM_F16C inline __m256 F16cToFloats(__m128i h) {
  const __m128i top = TopBinade(h);
  if (_mm_testz_si128(top, top)) return _mm256_cvtph_ps(h);
  return F16cToFloatsAnyRange(h);
}

OXSIM_F16C inline __m256 F16cLoad(const uint16_t* p) {
  return F16cToFloats(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
}

// Lanes of `mask` take b, the others a. Plain bit operations: GCC turns blendv with constant
// operands into per-lane branches when only AVX is enabled.
OXSIM_F16C inline __m256 Select(__m256 mask, __m256 a, __m256 b) {
  return _mm256_or_ps(_mm256_and_ps(mask, b), _mm256_andnot_ps(mask, a));
}

// Every case of the conversion; see F16cToHalves.
OXSIM_F16C __attribute__((noinline)) __m128i F16cToHalvesAnyRange(__m256 x) {
  const __m256 sign_bit = _mm256_set1_ps(-0.0f);
  const __m256 sign = _mm256_and_ps(x, sign_bit);
  const __m256 mag = _mm256_andnot_ps(sign_bit, x);
  // Add half a float16 unit in the last place, then truncate: halves round away from zero.
  // The unit is 2^(e-10) for normal results and 2^-24 for subnormal ones; the sum is exact up
  // to bits that truncation drops anyway.
  const __m256 binade = _mm256_and_ps(mag, _mm256_castsi256_ps(_mm256_set1_epi32(0x7F800000)));
  const __m256 half_unit =
      _mm256_max_ps(_mm256_mul_ps(binade, _mm256_set1_ps(0x1p-11f)), _mm256_set1_ps(0x1p-25f));
  __m256 y = _mm256_add_ps(mag, half_unit);
  // Every value other than +0.0 gives at least the smallest subnormal (-0.0 included).
  const __m256 negative =
      _mm256_cmp_ps(_mm256_or_ps(sign, _mm256_set1_ps(1.0f)), _mm256_setzero_ps(), _CMP_LT_OQ);
  const __m256 plus_zero =
      _mm256_andnot_ps(negative, _mm256_cmp_ps(x, _mm256_setzero_ps(), _CMP_EQ_OQ));
  y = _mm256_max_ps(y, _mm256_andnot_ps(plus_zero, _mm256_set1_ps(0x1p-24f)));
  // Overflow saturates at 65504; [65520, 65536) rounds up into the 0x7C00 pattern.
  y = Select(_mm256_cmp_ps(mag, _mm256_set1_ps(65520.0f), _CMP_GE_OQ), y,
             _mm256_set1_ps(__builtin_inff()));
  y = Select(_mm256_cmp_ps(mag, _mm256_set1_ps(65536.0f), _CMP_NLT_UQ), y,
             _mm256_set1_ps(65504.0f));
  return _mm256_cvtps_ph(_mm256_or_ps(y, sign), _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC);
}

// Lanes of x below the normal range or from 65520 up (NaN included), +0.0 among them: a
// superset of OutsideNormal's lanes, without its branches.
OXSIM_F16C inline __m256 RoughlyOutsideNormal(__m256 x) {
  const __m256 mag = _mm256_andnot_ps(_mm256_set1_ps(-0.0f), x);
  return _mm256_or_ps(_mm256_cmp_ps(mag, _mm256_set1_ps(0x1p-14f), _CMP_LT_OQ),
                      _mm256_cmp_ps(mag, _mm256_set1_ps(65520.0f), _CMP_NLT_UQ));
}

// Lanes of x whose float16 result is not normal (or that overflow), as all-ones masks. +0.0
// is left out: both conversions give it the same pattern, and buffers that held another type
// (zero upper or lower halves) or sums of zeros would otherwise take the slow path throughout.
OXSIM_F16C inline __m256 OutsideNormal(__m256 x) {
  const __m256 outside = RoughlyOutsideNormal(x);
  if (_mm256_testz_ps(outside, outside)) return outside;  // the usual case: all normal
  // A zero whose sign is clear: x | 1.0 is then +1.0, and -1.0 for -0.0.
  const __m256 plus_zero = _mm256_and_ps(
      _mm256_cmp_ps(x, _mm256_setzero_ps(), _CMP_EQ_OQ),
      _mm256_cmp_ps(_mm256_or_ps(x, _mm256_set1_ps(1.0f)), _mm256_setzero_ps(), _CMP_GT_OQ));
  return _mm256_andnot_ps(plus_zero, outside);
}

// Lanes of a fold's result that need the any-range conversion: below the normal range (but
// +0.0), the band [65520, 65536) that rounds up into the 0x7C00 pattern, and infinities and
// NaNs (what the instruction reads from exponent-31 inputs). Finite results from 65536 up need
// nothing more: the normal conversion truncates them to 65504, as saturation does; in-place
// sums and products, which double every call, end there and stay.
OXSIM_F16C inline __m256 NeedsAnyRange(__m256 x) {
  const __m256 outside = OutsideNormal(x);
  if (_mm256_testz_ps(outside, outside)) return outside;  // the usual case: all normal
  const __m256 mag = _mm256_andnot_ps(_mm256_set1_ps(-0.0f), x);
  const __m256 saturated =
      _mm256_and_ps(_mm256_cmp_ps(mag, _mm256_set1_ps(65536.0f), _CMP_GE_OQ),
                    _mm256_cmp_ps(mag, _mm256_set1_ps(__builtin_inff()), _CMP_LT_OQ));
  return _mm256_andnot_ps(saturated, outside);
}

// For values whose results are all normal (the usual case), or finite from 65536 up: add half
// a unit in the last place with the sign of x, truncate.
OXSIM_F16C inline __m128i F16cToNormalHalves(__m256 x) {
  const __m256 signed_binade =
      _mm256_and_ps(x, _mm256_castsi256_ps(_mm256_set1_epi32(static_cast<int>(0xFF800000u))));
  const __m256 y = _mm256_add_ps(x, _mm256_mul_ps(signed_binade, _mm256_set1_ps(0x1p-11f)));
  return _mm256_cvtps_ph(y, _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC);
}

OXSIM_F16C inline __m128i F16cToHalves(__m256 x) {
  const __m256 outside = OutsideNormal(x);
  if (!_mm256_testz_ps(outside, outside)) return F16cToHalvesAnyRange(x);
  return F16cToNormalHalves(x);
}

template <oxclReduceOp_t Op>
OXSIM_F16C inline __m256 F16cApply(__m256 a, __m256 b) {
  if constexpr (Op == oxclSum) return _mm256_add_ps(a, b);
  else if constexpr (Op == oxclProd) return _mm256_mul_ps(a, b);
  // max/min return their second operand unless the first is strictly greater (smaller):
  // the scalar step's choice, signed zeros included.
  else if constexpr (Op == oxclMax) return _mm256_max_ps(b, a);
  else return _mm256_min_ps(b, a);
}

OXSIM_F16C void F16cToFloatsN(const uint16_t* in, float* out, size_t n) {
  size_t k = 0;
  for (; k + 8 <= n; k += 8) _mm256_storeu_ps(out + k, F16cLoad(in + k));
  for (; k < n; ++k) out[k] = HalfToFloat(in[k]);
}

OXSIM_F16C void F16cToHalvesN(const float* in, uint16_t* out, size_t n) {
  size_t k = 0;
  for (; k + 8 <= n; k += 8)
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + k), F16cToHalves(_mm256_loadu_ps(in + k)));
  for (; k < n; ++k) out[k] = FloatToHalf(in[k]);
}

// One rank step over m values: prev (float16 patterns for the first step, else acc) folded
// with c; the last step stores float16 to out, the others round acc through float16.
// One rank step over m values: prev (float16 patterns for the first step, else acc) folded
// with c; the last step stores float16 to out, the others round acc through float16.
// Sixteen values at a time, so that one test per stage finds the rare special values.
template <oxclReduceOp_t Op>
OXSIM_F16C void F16cStep(const uint16_t* prev, float* acc, const uint16_t* c, uint64_t m,
                         uint16_t* out) {
  uint64_t k = 0;
  for (; k + 16 <= m; k += 16) {
    const __m128i c0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(c + k));
    const __m128i c1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(c + k + 8));
    const __m128i p0 = prev != nullptr ? _mm_loadu_si128(reinterpret_cast<const __m128i*>(prev + k))
                                       : _mm_setzero_si128();
    const __m128i p1 = prev != nullptr
                           ? _mm_loadu_si128(reinterpret_cast<const __m128i*>(prev + k + 8))
                           : _mm_setzero_si128();
    // Sums and products of an exponent-31 input (read as infinity or NaN by the instruction)
    // are never normal, so the result test below finds them; max and min may hide one.
    bool plain = true;
    if constexpr (Op == oxclMax || Op == oxclMin) {
      const __m128i top = _mm_or_si128(_mm_or_si128(TopBinade(c0), TopBinade(c1)),
                                       _mm_or_si128(TopBinade(p0), TopBinade(p1)));
      plain = _mm_testz_si128(top, top);
    }
    __m256 v0, v1;
    bool normal = false;
    if (plain) {
      const __m256 a0 = prev != nullptr ? _mm256_cvtph_ps(p0) : _mm256_load_ps(acc + k);
      const __m256 a1 = prev != nullptr ? _mm256_cvtph_ps(p1) : _mm256_load_ps(acc + k + 8);
      v0 = F16cApply<Op>(a0, _mm256_cvtph_ps(c0));
      v1 = F16cApply<Op>(a1, _mm256_cvtph_ps(c1));
      // One test of all sixteen for the usual case; the finer one only where it fails.
      const __m256 rough = _mm256_or_ps(RoughlyOutsideNormal(v0), RoughlyOutsideNormal(v1));
      normal = _mm256_testz_ps(rough, rough);
      if (!normal) {
        const __m256 outside = _mm256_or_ps(NeedsAnyRange(v0), NeedsAnyRange(v1));
        normal = _mm256_testz_ps(outside, outside);
      }
    }
    if (!normal) {
      const __m256 a0 = prev != nullptr ? F16cToFloatsAnyRange(p0) : _mm256_load_ps(acc + k);
      const __m256 a1 = prev != nullptr ? F16cToFloatsAnyRange(p1) : _mm256_load_ps(acc + k + 8);
      v0 = F16cApply<Op>(a0, F16cToFloatsAnyRange(c0));
      v1 = F16cApply<Op>(a1, F16cToFloatsAnyRange(c1));
    }
    const __m128i h0 = normal ? F16cToNormalHalves(v0) : F16cToHalvesAnyRange(v0);
    const __m128i h1 = normal ? F16cToNormalHalves(v1) : F16cToHalvesAnyRange(v1);
    if (out != nullptr) {
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + k), h0);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + k + 8), h1);
    } else {
      _mm256_store_ps(acc + k, F16cToFloats(h0));
      _mm256_store_ps(acc + k + 8, F16cToFloats(h1));
    }
  }
  for (; k + 8 <= m; k += 8) {
    const __m256 a = prev != nullptr ? F16cLoad(prev + k) : _mm256_load_ps(acc + k);
    const __m128i h = F16cToHalves(F16cApply<Op>(a, F16cLoad(c + k)));
    if (out != nullptr)
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + k), h);
    else
      _mm256_store_ps(acc + k, F16cToFloats(h));
  }
  for (; k < m; ++k) {
    const float a = prev != nullptr ? HalfToFloat(prev[k]) : acc[k];
    const uint16_t h = FloatToHalf(Apply<Op>(a, HalfToFloat(c[k])));
    if (out != nullptr)
      out[k] = h;
    else
      acc[k] = HalfToFloat(h);
  }
}

template <oxclReduceOp_t Op>
OXSIM_F16C void F16cFold(const void* const* in, int n, uint64_t first, uint64_t len, void* out) {
  uint16_t* o = static_cast<uint16_t*>(out);
  auto input = [&](int r) { return static_cast<const uint16_t*>(in[r]) + first; };
  if (n == 1) {
    std::memcpy(o, input(0), len * sizeof(uint16_t));
    return;
  }
  alignas(64) float acc[kTile];
  for (uint64_t t = 0; t < len; t += kTile) {
    const uint64_t m = std::min(kTile, len - t);
    for (int r = 1; r < n; ++r)
      F16cStep<Op>(r == 1 ? input(0) + t : nullptr, acc, input(r) + t, m,
                   r == n - 1 ? o + t : nullptr);
  }
}

#endif  // OXSIM_HAVE_F16C_PATH

template <oxclReduceOp_t Op>
FoldFn FoldOn(HalfPath path) {
#ifdef OXSIM_HAVE_F16C_PATH
  if (path == HalfPath::kF16c) return HostHasF16c() ? F16cFold<Op> : nullptr;
#endif
  return path == HalfPath::kPortable ? PortableFold<Op> : nullptr;
}

}  // namespace

bool HostHasF16c() {
#ifdef OXSIM_HAVE_F16C_PATH
  static const bool has = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx") && __builtin_cpu_supports("f16c");
  }();
  return has;
#else
  return false;
#endif
}

HalfPath ActiveHalfPath() {
  // The knob's spelling is checked with the others at start-up; here only "0" matters.
  static const HalfPath path = [] {
    const char* v = std::getenv("OXSIM_F16C");
    const bool off = v != nullptr && std::strcmp(v, "0") == 0;
    return HostHasF16c() && !off ? HalfPath::kF16c : HalfPath::kPortable;
  }();
  return path;
}

FoldFn GetHalfFold(oxclReduceOp_t op, HalfPath path) {
  switch (op) {
    case oxclSum: return FoldOn<oxclSum>(path);
    case oxclProd: return FoldOn<oxclProd>(path);
    case oxclMax: return FoldOn<oxclMax>(path);
    case oxclMin: return FoldOn<oxclMin>(path);
  }
  return nullptr;
}

void HalvesToFloats(HalfPath path, const uint16_t* in, float* out, size_t n) {
#ifdef OXSIM_HAVE_F16C_PATH
  if (path == HalfPath::kF16c && HostHasF16c()) return F16cToFloatsN(in, out, n);
#endif
  (void)path;
  PortableToFloats(in, out, n);
}

void FloatsToHalves(HalfPath path, const float* in, uint16_t* out, size_t n) {
#ifdef OXSIM_HAVE_F16C_PATH
  if (path == HalfPath::kF16c && HostHasF16c()) return F16cToHalvesN(in, out, n);
#endif
  (void)path;
  PortableToHalves(in, out, n);
}

}  // namespace oxcl_sim
