// The vectorised float16 folds and conversions on every path this host runs, bit for bit
// against the scalar conversions applied one step at a time.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "fp16.h"
#include "half_fold.h"

namespace oxcl_sim {
namespace {

uint32_t Bits(float x) {
  uint32_t b;
  std::memcpy(&b, &x, sizeof b);
  return b;
}

float FromBits(uint32_t b) {
  float x;
  std::memcpy(&x, &b, sizeof x);
  return x;
}

std::vector<HalfPath> Paths() {
  std::vector<HalfPath> paths = {HalfPath::kPortable};
  if (HostHasF16c()) paths.push_back(HalfPath::kF16c);
  return paths;
}

const char* Name(HalfPath p) { return p == HalfPath::kF16c ? "f16c" : "portable"; }

float StepRef(oxclReduceOp_t op, float a, float b) {
  switch (op) {
    case oxclSum: return a + b;
    case oxclProd: return a * b;
    case oxclMax: return b > a ? b : a;
    case oxclMin: return b < a ? b : a;
  }
  return 0;
}

// Floats around every boundary of the conversion: each sign and exponent, all top ten
// mantissa bits with the round bit and sticky bits in each state, plus random mantissas
// (the subnormal range rounds at other bit positions); NaNs and infinities included.
std::vector<float> ConversionInputs() {
  std::mt19937 rng(7);
  std::vector<float> xs;
  const uint32_t lows[] = {0, 1, 0x7FF, 0xFFF, 0x1000, 0x1001, 0x17FF, 0x1FFF};
  for (uint32_t se = 0; se < 512; ++se) {
    for (uint32_t top = 0; top < 1024; ++top)
      for (uint32_t low : lows) xs.push_back(FromBits((se << 23) | (top << 13) | low));
    for (int k = 0; k < 2048; ++k) xs.push_back(FromBits((se << 23) | (rng() & 0x7FFFFF)));
  }
  return xs;
}

TEST(HalfFold, EveryHalfPatternReadsAsTheScalarConversion) {
  std::vector<uint16_t> hs(65536 + 5);
  for (size_t k = 0; k < hs.size(); ++k) hs[k] = static_cast<uint16_t>(k);
  for (HalfPath path : Paths()) {
    std::vector<float> got(hs.size());
    HalvesToFloats(path, hs.data(), got.data(), hs.size());
    for (size_t k = 0; k < hs.size(); ++k)
      ASSERT_EQ(Bits(got[k]), Bits(HalfToFloat(hs[k])))
          << Name(path) << " half 0x" << std::hex << hs[k];
  }
}

TEST(HalfFold, FloatsRoundAsTheScalarConversion) {
  const std::vector<float> xs = ConversionInputs();
  for (HalfPath path : Paths()) {
    // An odd length, so the tail after the last full vector is checked as well.
    std::vector<uint16_t> got(xs.size() - 3);
    FloatsToHalves(path, xs.data(), got.data(), got.size());
    for (size_t k = 0; k < got.size(); ++k)
      ASSERT_EQ(got[k], FloatToHalf(xs[k]))
          << Name(path) << " float 0x" << std::hex << Bits(xs[k]);
  }
}

// Every operation on every path against the scalar steps, over inputs[r][first, first + len).
void ExpectFoldsMatch(const std::vector<std::vector<uint16_t>>& in, uint64_t first, uint64_t len,
                      const char* what) {
  const int n = static_cast<int>(in.size());
  std::vector<const void*> ptrs;
  for (auto& v : in) ptrs.push_back(v.data());
  for (oxclReduceOp_t op : {oxclSum, oxclProd, oxclMax, oxclMin}) {
    std::vector<uint16_t> want(len);
    for (uint64_t k = 0; k < len; ++k) {
      uint16_t o = in[0][first + k];
      for (int r = 1; r < n; ++r)
        o = FloatToHalf(StepRef(op, HalfToFloat(o), HalfToFloat(in[r][first + k])));
      want[k] = o;
    }
    for (HalfPath path : Paths()) {
      FoldFn fold = GetHalfFold(op, path);
      ASSERT_NE(fold, nullptr);
      std::vector<uint16_t> got(len + 1, 0xA5A5);
      fold(ptrs.data(), n, first, len, got.data());
      for (uint64_t k = 0; k < len; ++k)
        ASSERT_EQ(got[k], want[k]) << what << ": " << Name(path) << " n=" << n << " op=" << op
                                   << " element " << k << " rank0 0x" << std::hex
                                   << in[0][first + k];
      EXPECT_EQ(got[len], 0xA5A5) << what << ": written past the end";
    }
  }
}

// Rank 0 holds every pattern; the other ranks random patterns, a share of them from the
// saturation edge and signed zeros, so carries into 0x7C00 and its re-reading are folded too.
TEST(HalfFold, FoldsMatchTheScalarSteps) {
  std::mt19937 rng(11);
  const uint64_t len = 65536 + 7, first = 3;
  const uint16_t edges[] = {0x0000, 0x8000, 0x0001, 0x8001, 0x7BFF, 0xFBFF, 0x7C00, 0xFFFF, 0x3C00};
  for (int n : {1, 2, 3, 5}) {
    std::vector<std::vector<uint16_t>> in(n, std::vector<uint16_t>(first + len));
    for (int r = 0; r < n; ++r) {
      for (uint64_t k = 0; k < first + len; ++k) {
        const uint16_t any = static_cast<uint16_t>(rng());
        in[r][k] = r == 0 ? static_cast<uint16_t>(k) : (rng() % 8 == 0 ? edges[rng() % 9] : any);
      }
    }
    ExpectFoldsMatch(in, first, len, "every pattern");
  }
}

// Zeros of both signs among normal values, as a buffer that held another type leaves them:
// whole vectors of normal results with zeros in them, x + -x and -0 + -0 included, which the
// fast conversion takes only for +0.
TEST(HalfFold, ZerosAmongNormalsMatchTheScalarSteps) {
  std::mt19937 rng(5);
  const uint16_t values[] = {0x0000, 0x8000, 0x3C00, 0xBC00, 0x4000, 0xC000, 0x4248, 0x5640};
  const uint64_t len = 4096 + 9, first = 1;
  for (int n : {2, 3}) {
    std::vector<std::vector<uint16_t>> in(n, std::vector<uint16_t>(first + len));
    for (auto& v : in)
      for (auto& h : v) h = values[rng() % 8];
    ExpectFoldsMatch(in, first, len, "zeros among normals");
  }
}

// Sums and products past the largest half, as in-place calls that double their data every
// time end up: whole vectors that saturate (and the band that rounds up into 0x7C00), among
// values just below, with both signs.
TEST(HalfFold, SaturatingFoldsMatchTheScalarSteps) {
  std::mt19937 rng(3);
  const uint16_t values[] = {0x7BFF, 0xFBFF, 0x7BFE, 0x7BF0, 0xFBF8, 0x4C00, 0x5BFF, 0x4E00};
  const uint64_t len = 4096 + 5, first = 2;
  for (int n : {2, 3, 4}) {
    std::vector<std::vector<uint16_t>> in(n, std::vector<uint16_t>(first + len));
    for (auto& v : in)
      for (auto& h : v) h = values[rng() % 8];
    ExpectFoldsMatch(in, first, len, "saturating");
  }
}

TEST(HalfFold, PathFollowsTheHostAndTheKnob) {
  EXPECT_EQ(GetHalfFold(static_cast<oxclReduceOp_t>(99), HalfPath::kPortable), nullptr);
  EXPECT_EQ(GetHalfFold(oxclSum, HalfPath::kF16c) != nullptr, HostHasF16c());
  const char* knob = std::getenv("OXSIM_F16C");
  const bool off = knob != nullptr && std::string(knob) == "0";
  EXPECT_EQ(ActiveHalfPath(), HostHasF16c() && !off ? HalfPath::kF16c : HalfPath::kPortable);
}

}  // namespace
}  // namespace oxcl_sim
