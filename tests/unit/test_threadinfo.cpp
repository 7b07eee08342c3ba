// The count series, the type/operation walk and the address offset of the thread record.
#include <gtest/gtest.h>

#include <vector>

#include "context.h"
#include "threadinfo.h"

namespace oxcl_benchmark {
namespace {

constexpr uint64_t M = 1048576;

std::vector<uint64_t> Steps(Context& ctx) {
  ThreadInfo info;
  std::vector<uint64_t> steps;
  while (info.GetTransferSizeAndMode(&ctx)) {
    if (info.mode_index == 0) steps.push_back(info.count);
    if (steps.size() > 64) break;  // a broken walk must not loop for ever
  }
  return steps;
}

struct SeriesCase {
  uint64_t min, max, factor, add;
  std::vector<uint64_t> special, expected;
};

TEST(ThreadInfoSeries, MergesSpecialCountsInOrder) {
  const std::vector<SeriesCase> cases = {
      {M, 4 * M, 2, M, {3 * M}, {M, 2 * M, 3 * M, 4 * M}},
      {M, 2 * M, 2, M, {5 * M, 6 * M}, {M, 2 * M, 5 * M, 6 * M}},
      {4 * M, 8 * M, 2, M, {M, 2 * M}, {M, 2 * M, 4 * M, 8 * M}},
      {M, 4 * M, 2, M, {2 * M}, {M, 2 * M, 4 * M}},
      {M, 4 * M, 1, M, {}, {M, 2 * M, 3 * M, 4 * M}},
      {8 * M, 4 * M, 2, M, {}, {8 * M}},
      {M, 4 * M, 2, M, {M}, {M, 2 * M, 4 * M}},
      {M, 2 * M, 2, M, {3 * M, 3 * M}, {M, 2 * M, 3 * M, 3 * M}},
  };
  for (const SeriesCase& c : cases) {
    Context ctx;
    ctx.mincount = c.min;
    ctx.maxcount = c.max;
    ctx.multifactor = c.factor;
    ctx.addcount = c.add;
    ctx.special_count = c.special;
    ctx.mode = {true};
    EXPECT_EQ(Steps(ctx), c.expected) << "min " << c.min << " max " << c.max;
  }
}

TEST(ThreadInfoSeries, EveryCountRunsEveryModeInPlaceFirstAndResets) {
  Context ctx;
  ctx.mincount = M;
  ctx.maxcount = 2 * M;
  ctx.multifactor = 2;
  ThreadInfo info;
  std::vector<std::pair<uint64_t, int64_t>> seen;
  while (info.GetTransferSizeAndMode(&ctx)) seen.emplace_back(info.count, info.mode_index);
  const std::vector<std::pair<uint64_t, int64_t>> expected = {
      {M, 0}, {M, 1}, {2 * M, 0}, {2 * M, 1}};
  EXPECT_EQ(seen, expected);
  EXPECT_EQ(info.count, 0u);
  EXPECT_EQ(info.mode_index, -1);
  EXPECT_TRUE(info.GetTransferSizeAndMode(&ctx));  // a second walk starts over
  EXPECT_EQ(info.count, M);
}

TEST(ThreadInfoWalk, DataTypesAdvanceFastestThenOperations) {
  Context ctx;
  ctx.data_type = {oxclFloat32, oxclInt8, oxclUint64};
  ctx.reduce_op = {oxclSum, oxclMax};
  ThreadInfo info;
  std::vector<std::pair<int64_t, int64_t>> seen;
  while (info.GetTypeAndOp(&ctx)) seen.emplace_back(info.type_index, info.op_index);
  const std::vector<std::pair<int64_t, int64_t>> expected = {{0, 0}, {1, 0}, {2, 0},
                                                             {0, 1}, {1, 1}, {2, 1}};
  EXPECT_EQ(seen, expected);
  EXPECT_EQ(info.type_index, -1);
}

TEST(ThreadInfoOffset, WindowMovesAndWrapsInsideTheCap) {
  Context ctx;
  ctx.maxcount = 32 * M;
  ThreadInfo info;
  info.span_count = 12 * M;
  EXPECT_EQ(info.GetAddrOffset(&ctx, 1), 0u);  // offset off
  ctx.offset = 1;
  EXPECT_EQ(info.GetAddrOffset(&ctx, 0), 0u);
  EXPECT_EQ(info.GetAddrOffset(&ctx, 1), 12 * M);
  EXPECT_EQ(info.GetAddrOffset(&ctx, 2), 0u);
  EXPECT_EQ(info.GetAddrOffset(&ctx, 3), 4 * M);
  ctx.special_count = {64 * M};  // a larger special count widens the cap
  EXPECT_EQ(info.GetAddrOffset(&ctx, 2), 24 * M);
  ctx.maxcount = 0;
  ctx.special_count.clear();
  EXPECT_EQ(info.GetAddrOffset(&ctx, 3), 0u);  // no cap: no division by zero
}

TEST(ContextTypes, ElementSizesByCode) {
  Context ctx;
  EXPECT_EQ(ctx.GetTypeSize(oxclFloat16), 2u);
  EXPECT_EQ(ctx.GetTypeSize(oxclFloat32), 4u);
  EXPECT_EQ(ctx.GetTypeSize(oxclInt8), 1u);
  EXPECT_EQ(ctx.GetTypeSize(oxclInt64), 8u);
  EXPECT_EQ(ctx.GetTypeSize(oxclUint64), 8u);
  EXPECT_EQ(ctx.GetTypeSize(static_cast<oxclDataType_t>(0)), 0u);
  EXPECT_EQ(ctx.GetTypeSize(static_cast<oxclDataType_t>(19)), 0u);
  EXPECT_EQ(ctx.GetTypeSize(static_cast<oxclDataType_t>(52)), 0u);
}

}  // namespace
}  // namespace oxcl_benchmark
