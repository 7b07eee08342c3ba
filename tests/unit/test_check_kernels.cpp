// The fast paths of the data check: periodic fills, the block comparison that skips identical
// blocks, the shared host arrays, and the checks and fills built on them, each against a plain
// element-by-element reference.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "allgather.h"
#include "allreduce.h"
#include "alltoall.h"
#include "context.h"
#include "threadinfo.h"

namespace oxcl_benchmark {
namespace {

using pattern_detail::FillPeriodic;
using pattern_detail::kCheckBlockElements;
using pattern_detail::kTileElements;

template <typename T>
void ExpectPeriodicFill(uint64_t p, uint64_t phase, uint64_t len, bool stream, size_t shift) {
  std::vector<T> period(p);
  for (uint64_t v = 0; v < p; ++v) period[v] = static_cast<T>(v * 3 + 1);
  // `shift` moves the output off its natural alignment; two sentinels mark its ends.
  std::vector<T> buffer(len + shift + 2, static_cast<T>(0x5A));
  FillPeriodic(buffer.data() + shift + 1, len, period.data(), p, phase, stream);
  ASSERT_EQ(buffer[shift], static_cast<T>(0x5A)) << "write before the range";
  for (uint64_t k = 0; k < len; ++k) {
    ASSERT_EQ(buffer[shift + 1 + k], period[(phase + k) % p])
        << "p " << p << " phase " << phase << " len " << len << " stream " << stream
        << " element " << k;
  }
  ASSERT_EQ(buffer[shift + 1 + len], static_cast<T>(0x5A)) << "write past the range";
}

TEST(CheckKernels, PeriodicFillMatchesTheModuloFormula) {
  for (uint64_t p : {1u, 16u, 127u, 256u}) {
    const uint64_t span = p * (kTileElements / p);
    for (uint64_t phase : {uint64_t{0}, uint64_t{1}, p - 1, p + 5}) {
      for (uint64_t len : {uint64_t{0}, uint64_t{1}, p - 1, p, p + 1, 2 * p + 3, span - 1, span,
                           span + 1, 3 * span + 7}) {
        for (bool stream : {false, true}) {
          ExpectPeriodicFill<uint8_t>(p, phase, len, stream, 1);
          ExpectPeriodicFill<uint16_t>(p, phase, len, stream, 0);
          ExpectPeriodicFill<float>(p, phase, len, stream, 3);
          ExpectPeriodicFill<uint64_t>(p, phase, len, stream, 1);
        }
      }
    }
  }
}

TEST(CheckKernels, BlockComparisonSeesEveryByte) {
  for (size_t bytes : {size_t{0}, size_t{1}, size_t{7}, size_t{8}, size_t{9}, size_t{63},
                       size_t{64}, size_t{65}, size_t{4 * 4096 + 3}}) {
    std::vector<unsigned char> a(bytes + 1), b(bytes + 1);
    for (size_t k = 0; k <= bytes; ++k) a[k] = b[k] = static_cast<unsigned char>(k * 7);
    b[bytes] ^= 1;  // beyond the range: never looked at
    EXPECT_FALSE(pattern_detail::BytesDiffer(a.data(), b.data(), bytes)) << bytes;
    for (size_t k = 0; k < bytes; ++k) {
      for (unsigned char bit : {0x01, 0x80}) {
        b[k] ^= bit;
        ASSERT_TRUE(pattern_detail::BytesDiffer(a.data(), b.data(), bytes)) << bytes << " " << k;
        b[k] ^= bit;
      }
    }
  }
}

TEST(CheckKernels, HostArraysAreReusedLastReleasedFirst) {
  pattern_detail::Staging a = pattern_detail::AcquireStaging(1000);
  pattern_detail::Staging b = pattern_detail::AcquireStaging(1000);
  ASSERT_NE(a.data, nullptr);
  ASSERT_NE(b.data, nullptr);
  EXPECT_NE(a.data, b.data);
  std::memset(a.data, 1, 1000);
  pattern_detail::ReleaseStaging(a);
  pattern_detail::ReleaseStaging(b);
  const pattern_detail::Staging again = pattern_detail::AcquireStaging(500);
  EXPECT_EQ(again.data, b.data);  // the warmest fitting array
  // A request larger than any kept array gets one of its own, of at least that size.
  const pattern_detail::Staging big = pattern_detail::AcquireStaging(5000);
  EXPECT_NE(big.data, a.data);
  EXPECT_GE(big.capacity, 5000u);
  std::memset(big.data, 2, 5000);
  pattern_detail::ReleaseStaging(again);
  pattern_detail::ReleaseStaging(big);
  const pattern_detail::Staging none = pattern_detail::AcquireStaging(0);
  EXPECT_NE(none.data, nullptr);  // an empty chunk still gets a valid address to copy with
  pattern_detail::ReleaseStaging(none);
}

// One communicator of one worker thread with real (simulated) device buffers.
class Harness {
 public:
  Harness(oxclDataType_t type, bool inplace, uint64_t count, int32_t ranks = 1, int32_t rank = 0,
          const std::string& card = "OPU-SIM") {
    ctx.data_type = {type};
    ctx.reduce_op = {oxclSum};
    ctx.mode = {inplace};
    ctx.nprocs = ranks;
    ctx.card_name = card;
    ctx.mincount = ctx.maxcount = count;
    ctx.max_type_size = 8;
    ctx.dev_list = {0};
    ctx.rank_list = {rank};
    ctx.comm_list = {nullptr};
    ctx.error_counts.resize(1);
    info.type_index = info.op_index = info.mode_index = 0;
    info.count = count;
    EXPECT_EQ(info.InitBuffer(&ctx), BENCHMARK_SUCCESS);
  }
  ~Harness() { info.ReleaseBuffer(&ctx); }

  template <typename T>
  void PutReceived(const std::vector<T>& data) {
    ASSERT_EQ(oxrtMemcpy(info.recv_buffs[0], data.data(), data.size() * sizeof(T),
                         oxrtMemcpyHostToDevice),
              oxrtSuccess);
  }
  template <typename T>
  std::vector<T> Device(void* buffer, uint64_t len) {
    std::vector<T> out(len);
    EXPECT_EQ(oxrtMemcpy(out.data(), buffer, len * sizeof(T), oxrtMemcpyDeviceToHost), oxrtSuccess);
    return out;
  }
  template <typename T>
  T* Expected() {
    return static_cast<T*>(info.host_buffs[0]);
  }

  Context ctx;
  ThreadInfo info;
};

// Plants the differences listed in `changes` (index, new value) into a copy of the expected
// values, then checks chunk g of `len` elements both ways: the production check (through the
// error count of Allreduce::CheckDelta and the index list of CheckExact) and a plain loop over
// every element with the same per-element rule.
template <typename T>
void ExpectCheckAgrees(oxclDataType_t type, const std::vector<T>& expected, uint64_t g,
                       const std::vector<std::pair<uint64_t, T>>& changes) {
  const uint64_t len = expected.size();
  const uint64_t first = g * kChunkElements;
  Harness h(type, false, first + len);
  std::vector<T> received(first + len);
  std::copy(expected.begin(), expected.end(), h.Expected<T>() + first);
  std::copy(expected.begin(), expected.end(), received.begin() + static_cast<std::ptrdiff_t>(first));
  for (const auto& c : changes) received[first + c.first] = c.second;
  h.PutReceived(received);

  const double tolerance = GetDelta(type);
  uint64_t want_tolerant = 0;
  std::vector<uint64_t> want_exact;
  for (uint64_t k = 0; k < len; ++k) {
    const double rel = check_detail::RelativeDiff<T>(type, expected[k], received[first + k]);
    if (rel > tolerance) ++want_tolerant;
    if (rel > 0) want_exact.push_back(first + k);
  }

  Allreduce algo;
  algo.SetContext(&h.ctx);
  ASSERT_EQ(algo.CheckDelta<T>(&h.info, 0, g, len, 0), BENCHMARK_SUCCESS);
  EXPECT_EQ(h.ctx.error_counts[0].load(), want_tolerant) << "type " << type << " g " << g;
  EXPECT_EQ(h.ctx.failed.load(), want_tolerant != 0);

  std::vector<uint64_t> got_exact;
  ASSERT_EQ(CheckExact<T>(&h.ctx, &h.info, 0, g, len, 0, type, 0,
                          [&](uint64_t index, const std::string&, const std::string&) {
                            got_exact.push_back(index);
                          }),
            BENCHMARK_SUCCESS);
  EXPECT_EQ(got_exact, want_exact) << "type " << type << " g " << g;
}

// v with one bit of its representation flipped.
template <typename T>
T FlipBit(T v, unsigned bit) {
  unsigned char bytes[sizeof(T)];
  std::memcpy(bytes, &v, sizeof(T));
  bytes[(bit / 8) % sizeof(T)] ^= static_cast<unsigned char>(1u << (bit % 8));
  std::memcpy(&v, bytes, sizeof(T));
  return v;
}

// Expected values of a real run: the small integers of the patterns, some of them negative.
template <typename T>
std::vector<T> Pattern(oxclDataType_t type, uint64_t len) {
  std::vector<T> v(len);
  for (uint64_t k = 0; k < len; ++k) v[k] = check_detail::Store<T>(type, (k * 5) % 256);
  return v;
}

TEST(CheckKernels, BlockCheckAgreesWithElementCheckForEveryType) {
  // Two full blocks and a ragged tail that no vector width divides.
  const uint64_t len = 2 * kCheckBlockElements + 37;
  const std::vector<uint64_t> where = {0, 1, kCheckBlockElements - 1, kCheckBlockElements,
                                       len - 2, len - 1};
  for (oxclDataType_t type : {oxclFloat16, oxclBfloat16, oxclFloat32, oxclInt8, oxclInt16,
                              oxclInt32, oxclInt64, oxclUint8, oxclUint16, oxclUint32,
                              oxclUint64}) {
    WithElementType(type, [&](auto tag) {
      using T = typename decltype(tag)::type;
      const std::vector<T> expected = Pattern<T>(type, len);
      ExpectCheckAgrees<T>(type, expected, 0, {});
      std::vector<std::pair<uint64_t, T>> changes;
      for (uint64_t k : where) {
        // One step off in the element's own representation.
        changes.push_back({k, static_cast<T>(expected[k] + 1)});
      }
      ExpectCheckAgrees<T>(type, expected, 0, changes);
      ExpectCheckAgrees<T>(type, expected, 1, {{len - 1, FlipBit(expected[len - 1], 4)}});
      return BENCHMARK_SUCCESS;
    });
  }
}

TEST(CheckKernels, BlockCheckKeepsTheToleranceAndNanRules) {
  const uint64_t len = kCheckBlockElements + 9;
  // float: +-0, NaN on either side, infinities, both sides of the relative tolerance.
  std::vector<float> f(len, 1000.0f);
  f[3] = 0.0f;
  f[4] = std::numeric_limits<float>::quiet_NaN();
  f[5] = std::numeric_limits<float>::infinity();
  f[6] = -1000.0f;
  ExpectCheckAgrees<float>(oxclFloat32, f, 0,
                           {{0, 1003.0f},
                            {1, 1003.5f},
                            {2, 997.0f},
                            {3, -0.0f},
                            {4, 1.0f},
                            {5, std::numeric_limits<float>::infinity()},
                            {6, -1004.0f},
                            {7, std::numeric_limits<float>::quiet_NaN()},
                            {8, -std::numeric_limits<float>::infinity()},
                            {len - 1, 1000.0001f}});
  // float16 and bfloat16: negative zero, a NaN pattern, values inside and outside tolerance.
  auto half = [](float v) { return static_cast<uint16_t>(float2half(v)); };
  auto bf16 = [](float v) { return static_cast<uint16_t>(float2bf16_rn(v)); };
  std::vector<uint16_t> h(len, half(100.0f));
  h[2] = 0x0000;
  ExpectCheckAgrees<uint16_t>(oxclFloat16, h, 0,
                              {{0, half(100.25f)}, {1, half(102.0f)}, {2, 0x8000}, {len - 1, 0x7C00}});
  std::vector<uint16_t> b(len, bf16(100.0f));
  ExpectCheckAgrees<uint16_t>(oxclBfloat16, b, 0,
                              {{0, bf16(102.0f)}, {1, bf16(110.0f)}, {2, 0x7FC0}, {len - 1, 0}});
  // int64 shares the floating tolerance; uint8 extremes differ by the whole range.
  std::vector<int64_t> i64(len, 1000);
  ExpectCheckAgrees<int64_t>(oxclInt64, i64, 0, {{0, 1003}, {1, 1004}, {len - 1, -1000}});
  std::vector<uint8_t> u8(len, 255);
  ExpectCheckAgrees<uint8_t>(oxclUint8, u8, 0, {{len - 1, 0}});
}

// Fills chunk 1 of rank 2 of 3 over a length longer than the repeated stretch and compares the
// device data and the expected values with the element formulas.
template <typename T>
void ExpectReductionFill(oxclDataType_t type, bool inplace) {
  const uint64_t len = 3 * kTileElements + 11;
  Harness h(type, inplace, kChunkElements + len, 3, 2);
  Allreduce algo;
  algo.SetContext(&h.ctx);
  algo.SetParam(&h.info);
  EXPECT_EQ(algo.InitBuff<T>(&h.info, 0, 1, len, 0), BENCHMARK_SUCCESS);
  const bool float16 = type == oxclFloat16;
  const std::vector<T> sent = h.Device<T>(
      static_cast<T*>(inplace ? h.info.recv_buffs[0] : h.info.send_buffs[0]) + kChunkElements, len);
  const T* expected = h.Expected<T>() + kChunkElements;
  for (uint64_t k = 0; k < len; ++k) {
    const uint64_t x = kChunkElements + k + (inplace ? 0 : 1);
    const T want = check_detail::Store<T>(type, float16 ? (x + 2) % 16 + 1 : (x + 2) % 127);
    ASSERT_EQ(sent[k], want) << type << " element " << k;
    // Three ranks fold elements x, x + 1, x + 2 of the pattern.
    T acc{};
    if (float16) {
      uint16_t a = static_cast<uint16_t>(float2half(0.0f));
      for (uint64_t r = 0; r < 3; ++r) {
        a = static_cast<uint16_t>(float2half(half2float(a) + float((x + r) % 16 + 1)));
      }
      acc = static_cast<T>(a);
    } else {
      int64_t sum = 0;
      for (uint64_t r = 0; r < 3; ++r) sum += static_cast<int64_t>((x + r) % 127);
      acc = static_cast<T>(sum);  // int8 wraps like the ordinary card
    }
    ASSERT_EQ(expected[k], acc) << type << " expected element " << k;
  }
}

TEST(CheckKernels, ReductionFillMatchesTheElementPatternOverLongChunks) {
  for (bool inplace : {true, false}) {
    ExpectReductionFill<float>(oxclFloat32, inplace);
    ExpectReductionFill<uint16_t>(oxclFloat16, inplace);
    ExpectReductionFill<int8_t>(oxclInt8, inplace);
    ExpectReductionFill<uint64_t>(oxclUint64, inplace);
  }
}

TEST(CheckKernels, GatherFillsFollowTheirFormulasAcrossBlocks) {
  // Blocks both shorter and longer than the repeated stretch; the chunk starts inside a block.
  for (uint64_t c : {uint64_t{5}, uint64_t{300}, 2 * kTileElements + 3}) {
    const uint64_t n = 3, r = 1;
    const uint64_t span = n * c;
    for (bool inplace : {true, false}) {
      const uint64_t o = inplace ? 0 : 1;
      {
        Harness h(oxclInt32, inplace, span, static_cast<int32_t>(n), static_cast<int32_t>(r));
        Allgather algo;
        algo.SetContext(&h.ctx);
        algo.SetParam(&h.info);
        EXPECT_EQ(algo.InitBuff<int32_t>(&h.info, 0, 0, span, 0), BENCHMARK_SUCCESS);
        const int32_t* expected = h.Expected<int32_t>();
        for (uint64_t x = 0; x < span; ++x) {
          ASSERT_EQ(static_cast<uint64_t>(expected[x]), Allgather::GatheredValue(x, c, n, o))
              << "c " << c << " x " << x;
        }
        void* block = inplace ? static_cast<void*>(static_cast<int32_t*>(h.info.recv_buffs[0]) + r * c)
                              : h.info.send_buffs[0];
        const std::vector<int32_t> sent = h.Device<int32_t>(block, c);
        for (uint64_t k = 0; k < c; ++k) {
          ASSERT_EQ(static_cast<uint64_t>(sent[k]), Allgather::BlockValue(k, r, o)) << k;
        }
      }
      {
        Harness h(oxclUint8, inplace, span, static_cast<int32_t>(n), static_cast<int32_t>(r));
        AllToAll algo;
        algo.SetContext(&h.ctx);
        algo.SetParam(&h.info);
        EXPECT_EQ(algo.InitBuff<uint8_t>(&h.info, 0, 0, span, 0), BENCHMARK_SUCCESS);
        const uint8_t* expected = h.Expected<uint8_t>();
        void* send = inplace ? h.info.recv_buffs[0] : h.info.send_buffs[0];
        const std::vector<uint8_t> sent = h.Device<uint8_t>(send, span);
        for (uint64_t x = 0; x < span; ++x) {
          ASSERT_EQ(expected[x], AllToAll::ReceivedValue(x, c, r, n, o)) << "c " << c << " x " << x;
          ASSERT_EQ(sent[x], AllToAll::SendValue(x, r, o)) << "c " << c << " x " << x;
        }
      }
    }
  }
}

}  // namespace
}  // namespace oxcl_benchmark
