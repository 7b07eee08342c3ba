// The fold stored straight to the outputs, bit for bit against the tiles' fold: every type it
// serves, every operation, ranks 1 to 5, lengths around its vector steps, an offset start, out
// of place and in place, with the bytes around each output left alone.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <type_traits>
#include <vector>

#include "reduce.h"

namespace oxcl_sim {
namespace {

constexpr uint64_t kFirst = 3;  // the fold starts past the buffers' first elements
constexpr uint64_t kGuard = 8;  // elements after each range that must stay as they were
constexpr unsigned char kFill = 0x5A;

// Random bit patterns; for floats also zeros of both signs, infinities and NaNs, where max
// and min must keep the first operand exactly as the scalar step does.
template <class T>
std::vector<T> Values(std::mt19937_64& rng, size_t n) {
  std::vector<T> v(n);
  for (T& x : v) {
    const uint64_t bits = rng();
    std::memcpy(&x, &bits, sizeof x);
    if constexpr (std::is_floating_point_v<T>) {
      switch (bits % 16) {
        case 0: x = 0.0f; break;
        case 1: x = -0.0f; break;
        case 2: x = std::numeric_limits<T>::infinity(); break;
        case 3: x = std::numeric_limits<T>::quiet_NaN(); break;
        default:
          // Mostly values of many magnitudes, so that sums round and their order shows.
          x = std::ldexp(static_cast<T>(static_cast<int64_t>(bits >> 40) - (1 << 23)),
                         static_cast<int>((bits >> 8) % 41) - 20);
      }
    }
  }
  return v;
}

// Equal bit for bit, but that any NaN matches any NaN: which operand's NaN a product of two
// NaNs keeps (and so its sign) is the compiler's choice of operand order, in either fold.
template <class T>
bool Same(const T* a, const T* b, uint64_t len) {
  for (uint64_t k = 0; k < len; ++k) {
    if constexpr (std::is_floating_point_v<T>) {
      if (std::isnan(a[k]) && std::isnan(b[k])) continue;
    }
    if (std::memcmp(&a[k], &b[k], sizeof(T)) != 0) return false;
  }
  return true;
}

template <class T>
void CheckType(oxclDataType_t type, const char* name) {
  std::mt19937_64 rng(42);
  const oxclReduceOp_t ops[] = {oxclSum, oxclProd, oxclMax, oxclMin};
  for (int o = 0; o < 4; ++o) {
    const FoldFn fold = GetFold(type, ops[o], false);
    const FoldStoreFn store = GetFoldStore(type, ops[o], false);
    ASSERT_NE(store, nullptr) << name;
    for (int n = 1; n <= 5; ++n) {
      for (uint64_t len : {0, 1, 7, 31, 32, 33, 64, 127, 200, 1000}) {
        const std::string where = std::string(name) + " op " + std::to_string(o) + " n " +
                                  std::to_string(n) + " len " + std::to_string(len);
        const size_t total = kFirst + len + kGuard;
        std::vector<std::vector<T>> inputs;
        std::vector<const void*> in;
        for (int r = 0; r < n; ++r) inputs.push_back(Values<T>(rng, total));
        for (auto& v : inputs) in.push_back(v.data());
        std::vector<T> want(len + 1);  // never empty: the fold may copy to it
        fold(in.data(), n, kFirst, len, want.data());
        // Out of place: two outputs, filled with a pattern that must survive around the range.
        std::vector<std::vector<T>> outputs(2, std::vector<T>(total));
        for (auto& v : outputs) std::memset(v.data(), kFill, total * sizeof(T));
        std::vector<void*> out = {outputs[0].data(), outputs[1].data()};
        store(in.data(), n, kFirst, len, out.data(), 2);
        for (auto& v : outputs) {
          EXPECT_TRUE(Same(v.data() + kFirst, want.data(), len)) << where;
          for (size_t k = 0; k < total; ++k) {
            if (k >= kFirst && k < kFirst + len) continue;
            unsigned char c[sizeof(T)];
            std::memcpy(c, &v[k], sizeof c);
            for (unsigned char b : c) ASSERT_EQ(b, kFill) << where << " element " << k;
          }
        }
        // In place: every rank's output is its own input.
        std::vector<std::vector<T>> same = inputs;
        std::vector<const void*> same_in;
        std::vector<void*> same_out;
        for (auto& v : same) {
          same_in.push_back(v.data());
          same_out.push_back(v.data());
        }
        store(same_in.data(), n, kFirst, len, same_out.data(), n);
        for (int r = 0; r < n; ++r) {
          EXPECT_TRUE(Same(same[r].data() + kFirst, want.data(), len))
              << where << " in place, rank " << r;
          EXPECT_EQ(std::memcmp(same[r].data(), inputs[r].data(), kFirst * sizeof(T)), 0) << where;
          EXPECT_EQ(std::memcmp(same[r].data() + kFirst + len, inputs[r].data() + kFirst + len,
                                kGuard * sizeof(T)),
                    0)
              << where;
        }
      }
    }
  }
}

TEST(FoldStore, MatchesTheTilesFoldBitForBit) {
  CheckType<float>(oxclFloat32, "float");
  CheckType<int16_t>(oxclInt16, "int16");
  CheckType<int32_t>(oxclInt32, "int32");
  CheckType<int64_t>(oxclInt64, "int64");
  CheckType<uint16_t>(oxclUint16, "uint16");
  CheckType<uint32_t>(oxclUint32, "uint32");
  CheckType<uint64_t>(oxclUint64, "uint64");
}

// The types whose steps round or saturate through wider values keep to the tiles.
TEST(FoldStore, NoneForTheTypesThatFoldThroughTiles) {
  for (oxclDataType_t type : {oxclFloat16, oxclBfloat16, oxclInt8, oxclUint8}) {
    EXPECT_EQ(GetFoldStore(type, oxclSum, false), nullptr) << type;
    EXPECT_NE(GetFold(type, oxclSum, false), nullptr) << type;
  }
}

}  // namespace
}  // namespace oxcl_sim
