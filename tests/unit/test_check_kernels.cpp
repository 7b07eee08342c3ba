// The fast paths of the data check: periodic fills, the generated expected values, the block
// comparison that skips identical blocks, the shared host arrays, and the checks and fills built
// on them, each against a plain element-by-element reference.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>
#include <vector>

#include "allgather.h"
#include "allreduce.h"
#include "alltoall.h"
#include "reducescatter.h"
#include "context.h"
#include "threadinfo.h"

namespace oxcl_benchmark {
namespace {

using pattern_detail::FillPeriodic;
using pattern_detail::kCheckBlockElements;
using pattern_detail::PatternTile;
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

// A sweep's steps grow: with the run's size reserved, the first array serves every later and
// larger request, instead of each step mapping a larger one.
TEST(CheckKernels, ReservedHostArraysServeEveryStepAndGoAtTheEnd) {
  pattern_detail::ReleaseAllStaging();
  pattern_detail::Staging small = pattern_detail::AcquireStaging(100);
  pattern_detail::ReleaseStaging(small);
  pattern_detail::ReserveStaging(64 << 10);
  pattern_detail::ReserveStaging(4 << 10);  // never shrinks
  void* first = nullptr;
  for (size_t bytes = 1000; bytes <= (64 << 10); bytes *= 2) {
    pattern_detail::Staging s = pattern_detail::AcquireStaging(bytes);
    ASSERT_NE(s.data, nullptr);
    EXPECT_GE(s.capacity, size_t{64} << 10) << bytes;  // the kept small one is not handed out
    if (first == nullptr) first = s.data;
    EXPECT_EQ(s.data, first) << bytes;
    std::memset(s.data, 1, bytes);
    pattern_detail::ReleaseStaging(s);
  }
  // At the end of a run the reserve is forgotten: the next run sizes its own.
  pattern_detail::ReleaseAllStaging();
  pattern_detail::Staging after = pattern_detail::AcquireStaging(100);
  EXPECT_EQ(after.capacity, 100u);
  pattern_detail::ReleaseStaging(after);
  pattern_detail::ReleaseAllStaging();
}

TEST(CheckKernels, PatternTileLinesUpWithEveryPhase) {
  for (uint64_t p : {1u, 16u, 127u, 256u}) {
    std::vector<uint64_t> period(p);
    for (uint64_t v = 0; v < p; ++v) period[v] = v * 3 + 1;
    const PatternTile<uint64_t> tile(period.data(), p);
    for (uint64_t q = 0; q < 2 * p + 1; ++q) {
      const uint64_t* at = tile.At(q);
      for (uint64_t k = 0; k < kCheckBlockElements; ++k) {
        ASSERT_EQ(at[k], period[(q + k) % p]) << "p " << p << " phase " << q << " element " << k;
      }
    }
  }
}

TEST(CheckKernels, OnlyBlocksWithADifferenceAreVisited) {
  std::vector<uint8_t> period(127);
  for (uint64_t v = 0; v < 127; ++v) period[v] = static_cast<uint8_t>(v);
  const PatternTile<uint8_t> tile(period.data(), 127);
  const uint64_t phase = 5, len = 3 * kCheckBlockElements + 37;
  std::vector<uint8_t> data(len);
  for (uint64_t k = 0; k < len; ++k) data[k] = period[(phase + k) % 127];
  std::vector<uint64_t> seen;
  auto visit = [&](uint64_t k, uint8_t e) {
    EXPECT_EQ(e, period[(phase + k) % 127]) << k;
    seen.push_back(k);
  };
  pattern_detail::VisitDifferingBlocks(tile, phase, data.data(), len, visit);
  EXPECT_TRUE(seen.empty());
  data[kCheckBlockElements + 9] ^= 0x80;
  data[len - 1] ^= 1;
  pattern_detail::VisitDifferingBlocks(tile, phase, data.data(), len, visit);
  std::vector<uint64_t> want;
  for (uint64_t k = kCheckBlockElements; k < 2 * kCheckBlockElements; ++k) want.push_back(k);
  for (uint64_t k = 3 * kCheckBlockElements; k < len; ++k) want.push_back(k);
  EXPECT_EQ(seen, want);
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
  ~Harness() { EXPECT_EQ(info.ReleaseBuffer(&ctx), BENCHMARK_SUCCESS); }

  template <typename T>
  void PutReceived(const std::vector<T>& data, uint64_t at = 0) {
    ASSERT_EQ(oxrtMemcpy(static_cast<T*>(info.recv_buffs[0]) + at, data.data(),
                         data.size() * sizeof(T), oxrtMemcpyHostToDevice),
              oxrtSuccess);
  }
  template <typename T>
  std::vector<T> Device(void* buffer, uint64_t len) {
    std::vector<T> out(len);
    EXPECT_EQ(oxrtMemcpy(out.data(), buffer, len * sizeof(T), oxrtMemcpyDeviceToHost), oxrtSuccess);
    return out;
  }
  uint64_t Errors() const { return ctx.error_counts[0].load(); }

  Context ctx;
  ThreadInfo info;
};

// v with one bit of its representation flipped.
template <typename T>
T FlipBit(T v, unsigned bit) {
  unsigned char bytes[sizeof(T)];
  std::memcpy(bytes, &v, sizeof(T));
  bytes[(bit / 8) % sizeof(T)] ^= static_cast<unsigned char>(1u << (bit % 8));
  std::memcpy(&v, bytes, sizeof(T));
  return v;
}

// Chunk g (len elements) of a sum's check, rank 1 of 3, against the expected values of
// InitReduce (whose fold has its own tests): the received data is those values with `changes`
// (offset in the chunk, new value) planted, and CheckDelta, which generates its expected values,
// must count what a plain loop over InitReduce's values with the element rule counts. The rule:
// sums of integers and floats are exact, so are 16-bit floating sums with `check_exact`; the
// other rows pass what is within the tolerance, and never a NaN.
template <typename T, typename Algo>
void ExpectReduceCheckAgrees(oxclDataType_t type, bool inplace, uint64_t g, uint64_t len,
                             const std::vector<std::pair<uint64_t, T>>& changes,
                             bool check_exact = false) {
  const uint64_t first = g * kChunkElements;
  Harness h(type, inplace, 3 * (first + len), 3, 1);
  h.ctx.check_exact = check_exact;
  const bool exact = check_exact || (type != oxclFloat16 && type != oxclBfloat16);
  Algo algo;
  algo.SetContext(&h.ctx);
  EXPECT_EQ(algo.SetParam(&h.info), BENCHMARK_SUCCESS);
  // The reference values land at the chunk's place of the host buffer.
  const uint64_t start = h.info.recv_count == h.info.count ? 0 : h.info.recv_count;
  ASSERT_EQ(algo.template InitReduce<T>(&h.info, 0, start, g, len), BENCHMARK_SUCCESS);
  const T* reference = static_cast<const T*>(h.info.host_buffs[0]) + first;
  std::vector<T> received(reference, reference + len);
  for (const auto& c : changes) received[c.first] = c.second;
  // In place a reduce-scatter result stays at its own slice of the buffer.
  h.PutReceived(received, first + (inplace && start != 0 ? start : 0));
  uint64_t want = 0;
  for (uint64_t k = 0; k < len; ++k) {
    want += exact ? std::memcmp(&reference[k], &received[k], sizeof(T)) != 0
                  : !(check_detail::RelativeDiff<T>(type, reference[k], received[k]) <=
                      GetDelta(type));
  }
  ASSERT_EQ(algo.template CheckDelta<T>(&h.info, 0, g, len, 0), BENCHMARK_SUCCESS);
  EXPECT_EQ(h.Errors(), want) << "type " << type << " inplace " << inplace << " g " << g;
  EXPECT_EQ(h.ctx.failed.load(), want != 0);
}

// Chunks pass through the host array a piece at a time: elements on either side of a piece
// boundary are found and reported at their own index.
TEST(CheckKernels, ReductionCheckFindsChangesAtPieceBoundaries) {
  for (oxclDataType_t type : {oxclFloat32, oxclUint64, oxclFloat16}) {
    const benchmarkResult_t dispatched = WithElementType(type, [&](auto tag) {
      using T = typename decltype(tag)::type;
      const uint64_t piece = pattern_detail::PieceElements<T>();
      const uint64_t len = 2 * piece + 37;
      // Each planted value is another element's: a change in every type and pattern phase.
      const T a = check_detail::Store<T>(type, 3), b = check_detail::Store<T>(type, 200);
      for (bool inplace : {true, false}) {
        ExpectReduceCheckAgrees<T, Allreduce>(
            type, inplace, 0, len, {{piece - 1, a}, {piece, b}, {2 * piece, a}, {len - 1, b}});
      }
      return BENCHMARK_SUCCESS;
    });
    EXPECT_EQ(dispatched, BENCHMARK_SUCCESS) << type;
  }
}

// The host arrays are sized by the run's largest piece when the buffers are made.
TEST(CheckKernels, BuffersReserveHostArraysOfTheLargestPiece) {
  for (uint64_t count : {uint64_t{1000}, uint64_t{1} << 20}) {
    pattern_detail::ReleaseAllStaging();
    Harness h(oxclFloat32, true, count);
    pattern_detail::Staging s = pattern_detail::AcquireStaging(1);
    EXPECT_EQ(s.capacity, std::min<uint64_t>(count * h.ctx.max_type_size,
                                             pattern_detail::kPieceBytes));
    pattern_detail::ReleaseStaging(s);
  }
  pattern_detail::ReleaseAllStaging();
}

// A fill's piece is the whole periods of its pattern that fit a host array, for every element
// size and pattern period.
template <typename T>
void ExpectWholePeriods(uint64_t p) {
  const uint64_t piece = pattern_detail::FillPieceElements<T>(p);
  EXPECT_EQ(piece % p, 0u) << p << " " << sizeof(T);
  EXPECT_LE(piece, pattern_detail::PieceElements<T>()) << p << " " << sizeof(T);
  EXPECT_GT(piece + p, pattern_detail::PieceElements<T>()) << p << " " << sizeof(T);
}

TEST(CheckKernels, FillPiecesAreWholePeriodsThatFitTheHostArrays) {
  for (uint64_t p : {kReducePeriod, kHalfReducePeriod, kGatherPeriod, kAllToAllPeriod}) {
    ExpectWholePeriods<uint8_t>(p);
    ExpectWholePeriods<uint16_t>(p);
    ExpectWholePeriods<float>(p);
    ExpectWholePeriods<uint64_t>(p);
  }
}

TEST(CheckKernels, GeneratedReductionCheckAgreesWithTheStoredValuesForEveryType) {
  // Two full blocks and a ragged tail that no vector width divides.
  const uint64_t len = 2 * kCheckBlockElements + 37;
  for (oxclDataType_t type : {oxclFloat16, oxclBfloat16, oxclFloat32, oxclInt8, oxclInt16,
                              oxclInt32, oxclInt64, oxclUint8, oxclUint16, oxclUint32,
                              oxclUint64}) {
    const benchmarkResult_t dispatched = WithElementType(type, [&](auto tag) {
      using T = typename decltype(tag)::type;
      for (bool inplace : {true, false}) {
        ExpectReduceCheckAgrees<T, Allreduce>(type, inplace, 0, len, {});
        ExpectReduceCheckAgrees<T, Reducescatter>(type, inplace, 1, len, {});
        // One step off in the element's own representation, at block edges and the tail.
        std::vector<std::pair<uint64_t, T>> changes;
        for (uint64_t k : {uint64_t{0}, uint64_t{1}, kCheckBlockElements - 1, kCheckBlockElements,
                           len - 2, len - 1}) {
          changes.push_back({k, static_cast<T>(check_detail::Store<T>(type, 7) + 1)});
        }
        ExpectReduceCheckAgrees<T, Allreduce>(type, inplace, 1, len, changes);
        ExpectReduceCheckAgrees<T, Reducescatter>(type, inplace, 0, len, changes);
        ExpectReduceCheckAgrees<T, Allreduce>(type, inplace, 2, 5,
                                              {{4, FlipBit(check_detail::Store<T>(type, 3), 4)}});
      }
      return BENCHMARK_SUCCESS;
    });
    EXPECT_EQ(dispatched, BENCHMARK_SUCCESS) << type;
  }
}

TEST(CheckKernels, ReductionCheckIsExactWhereTheResultIsAndKeepsTheToleranceElsewhere) {
  const uint64_t len = kCheckBlockElements + 9;
  // Three ranks in place: element k expects 3k + 3 (mod-127 wrap aside), 3 at element 0.
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  // The float sum is exact: a change in the last bit counts like any other.
  ExpectReduceCheckAgrees<float, Allreduce>(
      oxclFloat32, true, 0, len,
      {{0, 3.0f * 1.002f}, {1, FlipBit(6.0f, 0)}, {2, -9.0f}, {3, nan}, {4, inf}, {5, -inf},
       {6, 0.0f}, {len - 1, 1e30f}});
  auto half = [](float v) { return static_cast<uint16_t>(float2half(v)); };
  auto bf16 = [](float v) { return static_cast<uint16_t>(float2bf16_rn(v)); };
  // 16-bit sums keep the tolerance unless asked to be exact; a NaN is never tolerated.
  for (bool check_exact : {false, true}) {
    ExpectReduceCheckAgrees<uint16_t, Allreduce>(
        oxclFloat16, false, 0, len,
        {{0, half(9.01f)}, {1, half(12.5f)}, {2, 0x8000}, {3, 0x7E00}, {len - 1, 0x7C00}},
        check_exact);
    ExpectReduceCheckAgrees<uint16_t, Allreduce>(
        oxclBfloat16, false, 0, len,
        {{0, bf16(9.25f)}, {1, bf16(14.0f)}, {2, 0x7FC0}, {3, 0xFFC1}, {len - 1, 0}},
        check_exact);
  }
  ExpectReduceCheckAgrees<int64_t, Allreduce>(oxclInt64, true, 0, len,
                                              {{0, 4}, {1, 7}, {len - 1, -1000}});
  ExpectReduceCheckAgrees<uint8_t, Allreduce>(oxclUint8, true, 0, len, {{len - 1, 255}});
}

// The elements that a far-off change would never reveal: one step off in the last bit of a
// large int64 or uint64 sum, and a float16 max one step up.
TEST(CheckKernels, SmallChangesOfExactRowsAreMismatches) {
  const uint64_t len = 300;
  Harness h(oxclInt64, true, 4 * len, 4, 3);
  h.ctx.reduce_op = {oxclSum};
  Allreduce algo;
  algo.SetContext(&h.ctx);
  EXPECT_EQ(algo.SetParam(&h.info), BENCHMARK_SUCCESS);
  // Four ranks in place: element 120 sums 120 + 121 + 122 + 123 = 486.
  std::vector<int64_t> received(len);
  for (uint64_t k = 0; k < len; ++k) {
    for (uint64_t r = 0; r < 4; ++r) received[k] += static_cast<int64_t>((k + r) % 127);
  }
  ASSERT_EQ(received[120], 486);
  received[120] += 1;
  h.PutReceived(received);
  ASSERT_EQ(algo.CheckDelta<int64_t>(&h.info, 0, 0, len, 0), BENCHMARK_SUCCESS);
  EXPECT_EQ(h.Errors(), 1u);

  Harness m(oxclFloat16, false, 2 * 32, 2, 1);
  m.ctx.reduce_op = {oxclMax};
  algo.SetContext(&m.ctx);
  EXPECT_EQ(algo.SetParam(&m.info), BENCHMARK_SUCCESS);
  // Two ranks out of place: element k is the larger of (k + 1) % 16 + 1 and (k + 2) % 16 + 1.
  std::vector<uint16_t> maxima(32);
  for (uint64_t k = 0; k < 32; ++k) {
    maxima[k] = static_cast<uint16_t>(
        float2half(static_cast<float>(std::max((k + 1) % 16, (k + 2) % 16) + 1)));
  }
  maxima[7] = static_cast<uint16_t>(maxima[7] + 1);
  m.PutReceived(maxima);
  ASSERT_EQ(algo.CheckDelta<uint16_t>(&m.info, 0, 0, 32, 0), BENCHMARK_SUCCESS);
  EXPECT_EQ(m.Errors(), 1u);
}

// The gathered (all-gather) or received (all-to-all) buffer of rank 1 of 3 with blocks of c
// elements, filled from the patterns' formulas with `changes` planted; the check must count
// exactly the changed elements, and CheckExact must report their indices.
template <typename Algo>
void ExpectGatherCheckFinds(uint64_t c, bool inplace, const std::vector<uint64_t>& changes) {
  const uint64_t n = 3, r = 1, span = n * c, o = inplace ? 0 : 1;
  const bool gather = std::is_same<Algo, Allgather>::value;
  Harness h(oxclInt16, inplace, span, static_cast<int32_t>(n), static_cast<int32_t>(r));
  Algo algo;
  algo.SetContext(&h.ctx);
  EXPECT_EQ(algo.SetParam(&h.info), BENCHMARK_SUCCESS);
  auto value = [&](uint64_t x) {
    return static_cast<int16_t>(gather ? Allgather::GatheredValue(x, c, n, o)
                                       : AllToAll::ReceivedValue(x, c, r, n, o));
  };
  std::vector<int16_t> received(span);
  for (uint64_t x = 0; x < span; ++x) received[x] = value(x);
  for (uint64_t x : changes) received[x] = static_cast<int16_t>(received[x] + 300);
  h.PutReceived(received);
  for (uint64_t g = 0; g * kChunkElements < span; ++g) {
    const uint64_t len = std::min(kChunkElements, span - g * kChunkElements);
    ASSERT_EQ(algo.template CheckDelta<int16_t>(&h.info, 0, g, len, 0), BENCHMARK_SUCCESS);
  }
  EXPECT_EQ(h.Errors(), changes.size()) << "c " << c << " inplace " << inplace;

  const uint64_t p = gather ? 127 : 256;
  std::vector<int16_t> period(p);
  for (uint64_t v = 0; v < p; ++v) period[v] = static_cast<int16_t>(v);
  std::vector<uint64_t> found;
  for (uint64_t g = 0; g * kChunkElements < span; ++g) {
    const uint64_t len = std::min(kChunkElements, span - g * kChunkElements);
    ASSERT_EQ(CheckExact<int16_t>(&h.ctx, &h.info, 0, g, len, 0, oxclInt16, 0, period.data(), p,
                                  c, [&](uint64_t x) { return static_cast<uint64_t>(value(x)); },
                                  [&](uint64_t index, const std::string&, const std::string&) {
                                    found.push_back(index);
                                  }),
              BENCHMARK_SUCCESS);
  }
  EXPECT_EQ(found, changes) << "c " << c << " inplace " << inplace;
}

TEST(CheckKernels, GatherChecksFindEveryChangedElementAcrossBlocksAndChunks) {
  // Blocks shorter than a check block, longer than one, and straddling a chunk boundary.
  for (uint64_t c : {uint64_t{5}, 2 * kCheckBlockElements + 3, kChunkElements / 2 + 3}) {
    for (bool inplace : {true, false}) {
      const uint64_t span = 3 * c;
      ExpectGatherCheckFinds<Allgather>(c, inplace, {});
      ExpectGatherCheckFinds<AllToAll>(c, inplace, {});
      const std::vector<uint64_t> changes = {0, c - 1, c, 2 * c + 1, span - 1};
      ExpectGatherCheckFinds<Allgather>(c, inplace, changes);
      ExpectGatherCheckFinds<AllToAll>(c, inplace, changes);
    }
  }
}

// Data that is only moved must arrive bit for bit: a zero turned into -0, a NaN and a flip of
// the last bit are all mismatches, in float and float16 alike.
TEST(CheckKernels, GatherChecksCompareFloatsBitForBit) {
  const uint64_t c = 40, n = 3;
  for (oxclDataType_t type : {oxclFloat32, oxclFloat16}) {
    const benchmarkResult_t dispatched = WithElementType(type, [&](auto tag) {
      using T = typename decltype(tag)::type;
      Harness h(type, true, n * c, static_cast<int32_t>(n), 2);
      Allgather algo;
      algo.SetContext(&h.ctx);
      EXPECT_EQ(algo.SetParam(&h.info), BENCHMARK_SUCCESS);
      std::vector<T> received(n * c);
      for (uint64_t x = 0; x < n * c; ++x) {
        received[x] = check_detail::Store<T>(type, Allgather::GatheredValue(x, c, n, 0));
      }
      EXPECT_TRUE(check_detail::SameBits(received[0], check_detail::Store<T>(type, 0)));
      received[0] = FlipBit(received[0], 8 * sizeof(T) - 1);  // -0
      received[5] = FlipBit(received[5], 0);
      received[c + 1] = type == oxclFloat32 ? static_cast<T>(std::numeric_limits<float>::quiet_NaN())
                                            : static_cast<T>(0x7E00);
      h.PutReceived(received);
      EXPECT_EQ(algo.CheckDelta<T>(&h.info, 0, 0, n * c, 0), BENCHMARK_SUCCESS);
      EXPECT_EQ(h.Errors(), 3u) << type;
      return BENCHMARK_SUCCESS;
    });
    EXPECT_EQ(dispatched, BENCHMARK_SUCCESS) << type;
  }
}

// Fills chunk 1 of rank 2 of 3 over a length longer than the repeated stretch and compares the
// device data with the element formula.
template <typename T>
void ExpectReductionFill(oxclDataType_t type, bool inplace) {
  // Over more than one piece of the host array, too.
  const uint64_t len = pattern_detail::PieceElements<T>() + 3 * kTileElements + 11;
  Harness h(type, inplace, kChunkElements + len, 3, 2);
  Allreduce algo;
  algo.SetContext(&h.ctx);
  EXPECT_EQ(algo.SetParam(&h.info), BENCHMARK_SUCCESS);
  EXPECT_EQ(algo.InitBuff<T>(&h.info, 0, 1, len, 0), BENCHMARK_SUCCESS);
  const bool float16 = type == oxclFloat16;
  const std::vector<T> sent = h.Device<T>(
      static_cast<T*>(inplace ? h.info.recv_buffs[0] : h.info.send_buffs[0]) + kChunkElements, len);
  for (uint64_t k = 0; k < len; ++k) {
    const uint64_t x = kChunkElements + k + (inplace ? 0 : 1);
    const T want = check_detail::Store<T>(type, float16 ? (x + 2) % 16 + 1 : (x + 2) % 127);
    ASSERT_EQ(sent[k], want) << type << " element " << k;
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
  // Blocks both shorter and longer than the repeated stretch, and than a piece of the host
  // array (of int32, and of uint8 across the blocks).
  for (uint64_t c : {uint64_t{5}, uint64_t{300}, 2 * kTileElements + 3,
                     pattern_detail::PieceElements<uint8_t>() / 2 + 3}) {
    const uint64_t n = 3, r = 1;
    const uint64_t span = n * c;
    for (bool inplace : {true, false}) {
      const uint64_t o = inplace ? 0 : 1;
      {
        Harness h(oxclInt32, inplace, span, static_cast<int32_t>(n), static_cast<int32_t>(r));
        Allgather algo;
        algo.SetContext(&h.ctx);
        EXPECT_EQ(algo.SetParam(&h.info), BENCHMARK_SUCCESS);
        EXPECT_EQ(algo.InitBuff<int32_t>(&h.info, 0, 0, span, 0), BENCHMARK_SUCCESS);
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
        EXPECT_EQ(algo.SetParam(&h.info), BENCHMARK_SUCCESS);
        EXPECT_EQ(algo.InitBuff<uint8_t>(&h.info, 0, 0, span, 0), BENCHMARK_SUCCESS);
        void* send = inplace ? h.info.recv_buffs[0] : h.info.send_buffs[0];
        const std::vector<uint8_t> sent = h.Device<uint8_t>(send, span);
        for (uint64_t x = 0; x < span; ++x) {
          ASSERT_EQ(sent[x], AllToAll::SendValue(x, r, o)) << "c " << c << " x " << x;
        }
      }
    }
  }
}

}  // namespace
}  // namespace oxcl_benchmark
