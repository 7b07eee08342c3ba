// Expected values of the reductions: the card rules of the 8-bit types, the per-step rounding of
// the 16-bit floating types, and a cross-check of every type and operation against a plain fold.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "algorithm.h"
#include "context.h"
#include "datatype.h"
#include "threadinfo.h"
#include "threadpool.h"

namespace oxcl_benchmark {
namespace {

// Only the non-virtual expected-value code is under test.
class NullCollective : public Algorithm {
 public:
  NullCollective() : Algorithm("Null", 0) {}
  benchmarkResult_t RunAlgo(ThreadInfo*, void*, void*, int) override { return BENCHMARK_SUCCESS; }
  benchmarkResult_t SetParam(ThreadInfo*) override { return BENCHMARK_SUCCESS; }
  benchmarkResult_t GetDataRate(ThreadInfo*, double) override { return BENCHMARK_SUCCESS; }
  benchmarkResult_t PrintTitle(ThreadInfo*) override { return BENCHMARK_SUCCESS; }
  benchmarkResult_t PrintLine(ThreadInfo*, double, double, double, int) override {
    return BENCHMARK_SUCCESS;
  }
  benchmarkResult_t InitData(ThreadInfo*, size_t) override { return BENCHMARK_SUCCESS; }
  benchmarkResult_t Check(ThreadInfo*, size_t) override { return BENCHMARK_SUCCESS; }
};

// One data type, one operation, one mode; the rank count is threads x comms x processes.
class Reduction {
 public:
  Reduction(oxclDataType_t type, oxclReduceOp_t op, bool inplace, uint64_t threads = 1,
            uint64_t comms = 1, int32_t nprocs = 1, const std::string& card = "OPU-SIM") {
    ctx.data_type = {type};
    ctx.reduce_op = {op};
    ctx.mode = {inplace};
    ctx.threads = threads;
    ctx.comms = comms;
    ctx.nprocs = nprocs;
    ctx.card_name = card;
    algo.SetContext(&ctx);
    info.type_index = info.op_index = info.mode_index = 0;
  }

  // Runs InitReduce over `len` elements of chunk g. The elements around the chunk's range are
  // preset to 0x5A bytes so that writes outside it show.
  template <typename T>
  std::vector<T> Run(uint64_t start, uint64_t g, uint64_t len, uint64_t slack = 4) {
    const size_t first = g * kChunkElements * sizeof(T);
    const size_t bytes = (len + slack) * sizeof(T);
    if (Storage().size() < first + bytes) Storage().resize(first + bytes);
    std::memset(Storage().data() + (first >= sizeof(T) ? first - sizeof(T) : 0), 0x5A,
                bytes + (first >= sizeof(T) ? sizeof(T) : 0));
    info.host_buffs = {Storage().data()};
    EXPECT_EQ(algo.InitReduce<T>(&info, 0, start, g, len), BENCHMARK_SUCCESS);
    std::vector<T> out(len + slack);
    std::memcpy(out.data(), Storage().data() + first, bytes);
    return out;
  }

  // One buffer for all cases: a chunk index of 1 needs 2^20 elements of room.
  static std::vector<unsigned char>& Storage() {
    static std::vector<unsigned char> storage;
    return storage;
  }

  Context ctx;
  NullCollective algo;
  ThreadInfo info;
};

TEST(InitReduce, Int8SumWrapsOnOrdinaryCardsAndSaturatesOnTheLargeOnes) {
  // Element 120 over 4 ranks: 120 + 121 + 122 + 123 = 486.
  EXPECT_EQ(Reduction(oxclInt8, oxclSum, true, 4).Run<int8_t>(0, 0, 121)[120], -26);
  EXPECT_EQ(Reduction(oxclInt8, oxclSum, true, 2, 2, 1, "OPU150").Run<int8_t>(0, 0, 121)[120], 127);
  EXPECT_EQ(Reduction(oxclInt8, oxclSum, true, 1, 1, 4, "OPU190 X").Run<int8_t>(0, 0, 121)[120],
            127);
  // A name of the card family that does not saturate keeps the wrap.
  EXPECT_EQ(Reduction(oxclInt8, oxclSum, true, 4, 1, 1, "OPU100").Run<int8_t>(0, 0, 121)[120], -26);
  // Saturation applies after every rank step: 120 + 121 clamps to 127, then +122 stays 127. A
  // clamp only at the end of a wrapped sum would give a different value for 3 ranks:
  // (120 + 121) wraps to -15, + 122 = 107.
  EXPECT_EQ(Reduction(oxclInt8, oxclSum, true, 3).Run<int8_t>(0, 0, 121)[120], 107);
  EXPECT_EQ(Reduction(oxclInt8, oxclSum, true, 3, 1, 1, "OPU150").Run<int8_t>(0, 0, 121)[120], 127);
  // uint8 clamps to 255 and otherwise keeps the low byte.
  EXPECT_EQ(Reduction(oxclUint8, oxclSum, true, 4).Run<uint8_t>(0, 0, 121)[120], 486 & 0xFF);
  EXPECT_EQ(Reduction(oxclUint8, oxclSum, true, 4, 1, 1, "OPU150").Run<uint8_t>(0, 0, 121)[120],
            255);
  EXPECT_EQ(Reduction(oxclUint8, oxclProd, true, 2, 1, 1, "OPU150").Run<uint8_t>(0, 0, 21)[20],
            255);  // 20 x 21
  EXPECT_EQ(Reduction(oxclInt8, oxclProd, true, 2, 1, 1, "OPU150").Run<int8_t>(0, 0, 21)[20], 127);
}

TEST(InitReduce, Int32ProductOverThreeRanks) {
  const std::vector<int32_t> got = Reduction(oxclInt32, oxclProd, true, 3).Run<int32_t>(0, 0, 3);
  EXPECT_EQ(got[0], 0);       // 0 x 1 x 2
  EXPECT_EQ(got[1], 6);       // 1 x 2 x 3
  EXPECT_EQ(got[2], 24);      // 2 x 3 x 4
}

TEST(InitReduce, MinimumNeverKeepsTheStartValue) {
  for (oxclDataType_t type : {oxclInt8, oxclUint8, oxclInt16, oxclUint16, oxclInt32, oxclUint32,
                              oxclInt64, oxclUint64}) {
    for (uint64_t ranks : {1, 3}) {
      Reduction red(type, oxclMin, false, ranks);
      const benchmarkResult_t dispatched = WithElementType(type, [&](auto tag) {
        using T = typename decltype(tag)::type;
        const std::vector<T> got = red.Run<T>(0, 0, 300, 0);
        for (size_t k = 0; k < got.size(); ++k) {
          EXPECT_NE(static_cast<int64_t>(got[k]), 255) << type << " element " << k;
          EXPECT_LT(static_cast<int64_t>(got[k]), 127) << type << " element " << k;
        }
        return BENCHMARK_SUCCESS;
      });
      EXPECT_EQ(dispatched, BENCHMARK_SUCCESS) << type;
    }
  }
}

TEST(InitReduce, Float16MaxAndHalfRoundingAfterEveryRank) {
  // Element 15 over 2 ranks: contributions 16 and 1.
  const std::vector<uint16_t> got =
      Reduction(oxclFloat16, oxclMax, true, 2).Run<uint16_t>(0, 0, 16);
  EXPECT_EQ(got[15], static_cast<uint16_t>(float2half(16.0f)));
  EXPECT_EQ(half2float(got[15]), 16.0f);
  // Products of 15, 16, 1, 2 (element 14, 4 ranks) stay exact: 480.
  const std::vector<uint16_t> prod =
      Reduction(oxclFloat16, oxclProd, true, 4).Run<uint16_t>(0, 0, 15);
  EXPECT_EQ(half2float(prod[14]), 480.0f);
  // 13 x 14 x 15 = 2730 is exact in half precision, x 16 = 43680 is too; x 1 keeps it.
  const std::vector<uint16_t> big =
      Reduction(oxclFloat16, oxclProd, false, 5).Run<uint16_t>(0, 0, 12);
  EXPECT_EQ(half2float(big[11]), 43680.0f);  // contributions 13, 14, 15, 16, 1
  // bfloat16 keeps 8 significant bits: 13 x 14 = 182 is exact, x 15 = 2730 rounds to 2736.
  const std::vector<uint16_t> bf =
      Reduction(oxclBfloat16, oxclProd, true, 3).Run<uint16_t>(0, 0, 13);
  EXPECT_EQ(bf16Tofloat(bf[12]), 2736.0f);
}

TEST(InitReduce, OutOfPlaceShiftsThePatternByOne) {
  // Element 126 of one rank: (126 + 1) mod 127 = 0.
  EXPECT_EQ(Reduction(oxclUint8, oxclSum, false).Run<uint8_t>(0, 0, 127)[126], 0);
  EXPECT_EQ(Reduction(oxclUint8, oxclSum, true).Run<uint8_t>(0, 0, 127)[126], 126);
  // The 16-bit floating pattern runs 1..16: element 15 out-of-place is (16 mod 16) + 1.
  EXPECT_EQ(half2float(Reduction(oxclFloat16, oxclSum, false).Run<uint16_t>(0, 0, 16)[15]), 1.0f);
}

TEST(InitReduce, WritesExactlyTheChunkRange) {
  // Chunk 1 with a start shift: element k of the chunk reduces pattern index 2^20 + 5 + k.
  Reduction red(oxclInt32, oxclSum, true, 2);
  const std::vector<int32_t> got = red.Run<int32_t>(5, 1, 3);
  const uint64_t x = kChunkElements + 5;
  for (uint64_t k = 0; k < 3; ++k) {
    EXPECT_EQ(got[k], static_cast<int32_t>((x + k) % 127 + (x + k + 1) % 127)) << k;
  }
  int32_t sentinel;
  std::memset(&sentinel, 0x5A, sizeof(sentinel));
  EXPECT_EQ(got[3], sentinel);  // nothing past len
  int32_t before;
  std::memcpy(&before, Reduction::Storage().data() + (kChunkElements - 1) * sizeof(int32_t),
              sizeof(before));
  EXPECT_EQ(before, sentinel);  // nothing before the chunk
  const std::vector<int32_t> none = red.Run<int32_t>(0, 0, 0, 2);
  EXPECT_EQ(none[0], sentinel);
}

// A plain fold over the ranks, written without the production helpers: 8-bit values clamp or
// wrap after each rank, 16-bit floating values round after each rank, everything else is
// computed in the type itself (wrapping integers through their unsigned form).
template <typename T>
T Reference(oxclDataType_t type, int op, uint64_t x, uint64_t ranks, bool saturate) {
  const int64_t identity[4] = {0, 1, 0, 255};
  if (type == oxclFloat16 || type == oxclBfloat16) {
    const bool half = type == oxclFloat16;
    uint16_t acc = static_cast<uint16_t>(half ? float2half(float(identity[op]))
                                              : float2bf16_rn(float(identity[op])));
    for (uint64_t r = 0; r < ranks; ++r) {
      const float a = half ? half2float(acc) : bf16Tofloat(acc);
      const float c = float((x + r) % 16 + 1);
      float v = op == 0 ? a + c : op == 1 ? a * c : op == 2 ? (a > c ? a : c) : (a < c ? a : c);
      acc = static_cast<uint16_t>(half ? float2half(v) : float2bf16_rn(v));
    }
    return static_cast<T>(acc);
  }
  if (type == oxclInt8 || type == oxclUint8) {
    int64_t acc = identity[op];
    const int64_t lo = type == oxclInt8 ? -128 : 0, hi = type == oxclInt8 ? 127 : 255;
    for (uint64_t r = 0; r < ranks; ++r) {
      const int64_t c = static_cast<int64_t>((x + r) % 127);
      int64_t v = op == 0 ? acc + c : op == 1 ? acc * c : op == 2 ? std::max(acc, c)
                                                                  : std::min(acc, c);
      if (saturate) {
        acc = v < lo ? lo : v > hi ? hi : v;
      } else {
        acc = static_cast<int64_t>(static_cast<uint8_t>(v));
        if (type == oxclInt8 && acc > 127) acc -= 256;
      }
    }
    return static_cast<T>(acc);
  }
  if (type == oxclFloat32) {
    float acc = float(identity[op]);
    for (uint64_t r = 0; r < ranks; ++r) {
      const float c = float((x + r) % 127);
      acc = op == 0 ? acc + c : op == 1 ? acc * c : op == 2 ? std::max(acc, c) : std::min(acc, c);
    }
    return static_cast<T>(acc);
  }
  // Sum and product modulo 2^64 truncate to the same value as a fold that wraps in T.
  uint64_t acc = static_cast<uint64_t>(identity[op]);
  for (uint64_t r = 0; r < ranks; ++r) {
    const uint64_t c = (x + r) % 127;
    acc = op == 0 ? acc + c : op == 1 ? acc * c : op == 2 ? std::max(acc, c) : std::min(acc, c);
  }
  return static_cast<T>(acc);
}

TEST(InitReduce, EveryTypeAndOperationMatchesAPlainFold) {
  struct Ranks {
    uint64_t threads, comms;
    int32_t nprocs;
  };
  const std::vector<Ranks> layouts = {{1, 1, 1}, {2, 1, 1}, {1, 1, 3}, {2, 2, 1}, {1, 3, 2}};
  const std::vector<oxclDataType_t> types = {oxclFloat16, oxclBfloat16, oxclFloat32, oxclInt8,
                                             oxclInt16,   oxclInt32,    oxclInt64,   oxclUint8,
                                             oxclUint16,  oxclUint32,   oxclUint64};
  const uint64_t len = 300;  // passes both pattern periods (16 and 127)
  int checked = 0;
  for (const char* card : {"OPU-SIM", "OPU150"}) {
    const bool saturate = std::string(card) == "OPU150";
    for (oxclDataType_t type : types) {
      for (int op = 0; op < 4; ++op) {
        for (const Ranks& l : layouts) {
          const uint64_t ranks = l.threads * l.comms * static_cast<uint64_t>(l.nprocs);
          for (bool inplace : {true, false}) {
            for (uint64_t g : {0, 1}) {
              const uint64_t start = g == 0 ? 0 : 77;
              Reduction red(type, static_cast<oxclReduceOp_t>(op), inplace, l.threads, l.comms,
                            l.nprocs, card);
              // A mismatch is reported inside; `checked` counts the types that ran.
              (void)WithElementType(type, [&](auto tag) {
                using T = typename decltype(tag)::type;
                const std::vector<T> got = red.Run<T>(start, g, len, 0);
                for (uint64_t k = 0; k < len; ++k) {
                  const uint64_t x = g * kChunkElements + start + k + (inplace ? 0 : 1);
                  const T want = Reference<T>(type, op, x, ranks, saturate);
                  if (std::memcmp(&got[k], &want, sizeof(T)) != 0) {
                    ADD_FAILURE() << card << " type " << type << " op " << op << " ranks "
                                  << ranks << " inplace " << inplace << " g " << g
                                  << " element " << k << ": got " << +got[k] << ", want "
                                  << +want;
                    return BENCHMARK_FAILURE;
                  }
                }
                ++checked;
                return BENCHMARK_SUCCESS;
              });
            }
          }
        }
      }
    }
  }
  EXPECT_EQ(checked, 2 * 11 * 4 * 5 * 2 * 2);
}


// The chunk scheme passes on what its tasks return: a chunk that could not be checked (its
// host memory was refused, say) fails the check instead of being skipped.
class ChunkCollective : public NullCollective {
 public:
  benchmarkResult_t Chunks(ThreadInfo* info, uint64_t total, const ChunkTask& task,
                           bool fill = false) {
    return RunChunks(info, 0, total, fill, task);
  }
  bool FillCoversReceive(const ThreadInfo*) const override { return covers; }
  bool covers = false;
};

void StartPools(Context& ctx) {
  for (uint64_t i = 0; i < ctx.comms * kPoolsPerComm; ++i) {
    ctx.pools.push_back(std::make_unique<ThreadPool>(1));
  }
}

// The same on the pools and, where the workers fill the cores, on the worker itself.
TEST(ChunkScheme, FailedChunkFailsTheCheck) {
  for (bool on_workers : {false, true}) {
    SCOPED_TRACE(on_workers ? "chunks on the worker" : "chunks on the pools");
    Context ctx;
    ctx.data_type = {oxclFloat32};
    ctx.threads = 1;
    ctx.comms = 2;
    ctx.chunks_on_workers = on_workers;
    StartPools(ctx);
    ChunkCollective algo;
    algo.SetContext(&ctx);
    ThreadInfo info;
    info.type_index = 0;
    std::atomic<uint64_t> ran{0}, here{0};
    const std::thread::id caller = std::this_thread::get_id();
    const uint64_t total = 3 * kChunkElements + 5;
    auto count = [&](int, uint64_t, uint64_t) {
      ran.fetch_add(1);
      if (std::this_thread::get_id() == caller) here.fetch_add(1);
      return BENCHMARK_SUCCESS;
    };
    EXPECT_EQ(algo.Chunks(&info, total, count), BENCHMARK_SUCCESS);
    EXPECT_EQ(ran.load(), 2u * 4u);
    EXPECT_EQ(here.load(), on_workers ? 2u * 4u : 0u);
    EXPECT_FALSE(ctx.exit_requested.load());
    ran = 0;
    // One chunk of the second communicator fails; every other chunk still runs.
    auto one_fails = [&](int comm, uint64_t g, uint64_t) {
      ran.fetch_add(1);
      return comm == 1 && g == 2 ? BENCHMARK_FAILURE : BENCHMARK_SUCCESS;
    };
    EXPECT_EQ(algo.Chunks(&info, total, one_fails), BENCHMARK_FAILURE);
    EXPECT_EQ(ran.load(), 2u * 4u);
    EXPECT_TRUE(ctx.exit_requested.load()) << "the run must stop";
  }
}

// A receive buffer that the fill does not overwrite is zeroed first, so that a collective that
// writes nothing cannot pass; one that the fill covers is left to the fill.
TEST(ChunkScheme, FillZeroesTheReceiveBufferUnlessTheFillCoversIt) {
  constexpr uint64_t kCount = 3000;
  for (bool covers : {false, true}) {
    Context ctx;
    ctx.data_type = {oxclFloat32};
    ctx.threads = 1;
    ctx.comms = 1;
    ctx.dev_list = {0};
    StartPools(ctx);
    ChunkCollective algo;
    algo.covers = covers;
    algo.SetContext(&ctx);
    void* recv = nullptr;
    ASSERT_EQ(oxrtMalloc(&recv, kCount * sizeof(float)), oxrtSuccess);
    ASSERT_EQ(oxrtMemset(recv, 0x5A, kCount * sizeof(float)), oxrtSuccess);
    ThreadInfo info;
    info.type_index = 0;
    info.recv_buffs = {recv};
    info.recv_count = kCount - 1;  // the last element is not the step's
    auto nothing = [](int, uint64_t, uint64_t) { return BENCHMARK_SUCCESS; };
    EXPECT_EQ(algo.Chunks(&info, kCount, nothing, true), BENCHMARK_SUCCESS);
    std::vector<unsigned char> got(kCount * sizeof(float));
    ASSERT_EQ(oxrtMemcpy(got.data(), recv, got.size(), oxrtMemcpyDeviceToHost), oxrtSuccess);
    const size_t step_bytes = (kCount - 1) * sizeof(float);
    const auto zeroes = std::count(got.begin(), got.begin() + step_bytes, 0);
    EXPECT_EQ(zeroes, covers ? 0 : static_cast<std::ptrdiff_t>(step_bytes)) << "covers " << covers;
    EXPECT_EQ(std::count(got.begin() + step_bytes, got.end(), 0x5A), 4) << "beyond the step";
    EXPECT_EQ(oxrtFree(recv), oxrtSuccess);
  }
}

}  // namespace
}  // namespace oxcl_benchmark
