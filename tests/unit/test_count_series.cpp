// The count series of the thread record: the merge of the special counts into the regular
// series, the mode steps within each count, the restart of a walk, and the address offset window.
#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "context.h"
#include "threadinfo.h"

namespace oxcl_benchmark {
namespace {

constexpr uint64_t K = 1024;
constexpr uint64_t M = 1048576;

struct Series {
  uint64_t min, max, factor, add;
  std::vector<uint64_t> special;
};

void Configure(Context& ctx, const Series& s, std::vector<bool> mode = {true}) {
  ctx.mincount = s.min;
  ctx.maxcount = s.max;
  ctx.multifactor = s.factor;
  ctx.addcount = s.add;
  ctx.special_count = s.special;
  ctx.mode = std::move(mode);
}

// The counts of one walk with a single mode.
std::vector<uint64_t> Walk(const Series& s) {
  Context ctx;
  Configure(ctx, s);
  ThreadInfo info;
  std::vector<uint64_t> steps;
  while (info.GetTransferSizeAndMode(&ctx)) {
    steps.push_back(info.count);
    if (steps.size() > 64) break;  // a walk that never ends must still fail the test
  }
  return steps;
}

TEST(CountSeries, GrowthFactorAndAddend) {
  EXPECT_EQ(Walk({1, 100, 3, 0, {}}), (std::vector<uint64_t>{1, 3, 9, 27, 81}));
  EXPECT_EQ(Walk({K, 64 * K, 4, 0, {2 * K, 16 * K, 100 * K}}),
            (std::vector<uint64_t>{K, 2 * K, 4 * K, 16 * K, 64 * K, 100 * K}));
  // An addend that does not divide the range stops below maxcount.
  EXPECT_EQ(Walk({1, 10, 1, 4, {}}), (std::vector<uint64_t>{1, 5, 9}));
  // The addend is used only with a factor of 1.
  EXPECT_EQ(Walk({M, 4 * M, 2, 3 * M, {}}), (std::vector<uint64_t>{M, 2 * M, 4 * M}));
  EXPECT_EQ(Walk({M, 4 * M, 1, M, {M + M / 2, 3 * M, 5 * M}}),
            (std::vector<uint64_t>{M, M + M / 2, 2 * M, 3 * M, 4 * M, 5 * M}));
}

TEST(CountSeries, SpecialCountsBelowAtAndBetweenRegularCounts) {
  EXPECT_EQ(Walk({4, 8, 2, 0, {1, 2, 3}}), (std::vector<uint64_t>{1, 2, 3, 4, 8}));
  // One special count equal to mincount is that step.
  EXPECT_EQ(Walk({M, 4 * M, 2, M, {M}}), (std::vector<uint64_t>{M, 2 * M, 4 * M}));
  EXPECT_EQ(Walk({M, 4 * M, 2, 0, {M / 2, M}}), (std::vector<uint64_t>{M / 2, M, 2 * M, 4 * M}));
  EXPECT_EQ(Walk({M, 4 * M, 2, 0, {M / 2, 2 * M}}),
            (std::vector<uint64_t>{M / 2, M, 2 * M, 4 * M}));
  EXPECT_EQ(Walk({M, 8 * M, 2, 0, {3 * M, 4 * M, 5 * M}}),
            (std::vector<uint64_t>{M, 2 * M, 3 * M, 4 * M, 5 * M, 8 * M}));
  EXPECT_EQ(Walk({M, 4 * M, 2, 0, {3 * M, 10 * M}}),
            (std::vector<uint64_t>{M, 2 * M, 3 * M, 4 * M, 10 * M}));
}

TEST(CountSeries, RepeatedSpecialCountsEachGetAStep) {
  EXPECT_EQ(Walk({M, 2 * M, 2, 0, {5 * M, 5 * M, 5 * M}}),
            (std::vector<uint64_t>{M, 2 * M, 5 * M, 5 * M, 5 * M}));
  EXPECT_EQ(Walk({M, 4 * M, 2, 0, {3 * M, 3 * M}}),
            (std::vector<uint64_t>{M, 2 * M, 3 * M, 3 * M, 4 * M}));
  // One of the two entries coincides with the regular count, the other still gets its step.
  EXPECT_EQ(Walk({M, 4 * M, 2, 0, {2 * M, 2 * M}}),
            (std::vector<uint64_t>{M, 2 * M, 2 * M, 4 * M}));
  EXPECT_EQ(Walk({M, 4 * M, 2, 0, {M, M}}), (std::vector<uint64_t>{M, M, 2 * M, 4 * M}));
}

// mincount is always measured, also when the regular series has no second count and a special
// count below it came first.
TEST(CountSeries, MincountIsNeverLostBehindASmallerSpecialCount) {
  EXPECT_EQ(Walk({M, M, 2, 0, {M / 2}}), (std::vector<uint64_t>{M / 2, M}));
  EXPECT_EQ(Walk({8 * M, 4 * M, 2, M, {}}), (std::vector<uint64_t>{8 * M}));
  EXPECT_EQ(Walk({M, M, 2, 0, {M / 2, 2 * M}}), (std::vector<uint64_t>{M / 2, M, 2 * M}));
  EXPECT_EQ(Walk({8 * M, 4 * M, 2, 0, {2 * M}}), (std::vector<uint64_t>{2 * M, 8 * M}));
  EXPECT_EQ(Walk({8 * M, 4 * M, 2, 0, {16 * M}}), (std::vector<uint64_t>{8 * M, 16 * M}));
  EXPECT_EQ(Walk({M, 1, 1, M, {M / 4, M / 2, 3 * M}}),
            (std::vector<uint64_t>{M / 4, M / 2, M, 3 * M}));
}

TEST(CountSeries, RegularPositionMovesOnlyWithRegularCounts) {
  Context ctx;
  Configure(ctx, {M, 4 * M, 2, 0, {M / 2, 3 * M}});
  ThreadInfo info;
  std::vector<std::pair<uint64_t, uint64_t>> seen;  // (count, base_count)
  while (info.GetTransferSizeAndMode(&ctx)) seen.emplace_back(info.count, info.base_count);
  const std::vector<std::pair<uint64_t, uint64_t>> expected = {
      {M / 2, M}, {M, M}, {2 * M, 2 * M}, {3 * M, 2 * M}, {4 * M, 4 * M}};
  EXPECT_EQ(seen, expected);
}

TEST(CountSeries, EachCountRunsTheModeListInOrder) {
  Context ctx;
  Configure(ctx, {M, 2 * M, 2, 0, {M / 2, 3 * M}}, {true, false});
  ThreadInfo info;
  std::vector<std::pair<uint64_t, int64_t>> seen;
  while (info.GetTransferSizeAndMode(&ctx)) seen.emplace_back(info.count, info.mode_index);
  const std::vector<std::pair<uint64_t, int64_t>> expected = {
      {M / 2, 0}, {M / 2, 1}, {M, 0}, {M, 1}, {2 * M, 0}, {2 * M, 1}, {3 * M, 0}, {3 * M, 1}};
  EXPECT_EQ(seen, expected);

  ctx.mode = {false};
  seen.clear();
  while (info.GetTransferSizeAndMode(&ctx)) seen.emplace_back(info.count, info.mode_index);
  const std::vector<std::pair<uint64_t, int64_t>> single = {
      {M / 2, 0}, {M, 0}, {2 * M, 0}, {3 * M, 0}};
  EXPECT_EQ(seen, single);

  // Without -i both modes run, in place first.
  Context defaults;
  defaults.mincount = M;
  defaults.maxcount = 2 * M;
  defaults.multifactor = 2;
  seen.clear();
  while (info.GetTransferSizeAndMode(&defaults)) seen.emplace_back(info.count, info.mode_index);
  const std::vector<std::pair<uint64_t, int64_t>> both = {{M, 0}, {M, 1}, {2 * M, 0}, {2 * M, 1}};
  EXPECT_EQ(seen, both);
  EXPECT_TRUE(defaults.mode.front());
}

TEST(CountSeries, ResetRestartsAWalkHalfWayThrough) {
  Context ctx;
  Configure(ctx, {M, 8 * M, 2, 0, {M / 2, 3 * M}}, {true, false});
  ThreadInfo info;
  for (int step = 0; step < 5; ++step) ASSERT_TRUE(info.GetTransferSizeAndMode(&ctx));
  ASSERT_EQ(info.count, 2 * M);
  info.ResetCountAndMode();
  EXPECT_EQ(info.count, 0u);
  EXPECT_EQ(info.base_count, 0u);
  EXPECT_EQ(info.mode_index, -1);
  EXPECT_EQ(info.special_index, -1);
  // The special count below mincount is taken again: the merge position was reset too.
  ASSERT_TRUE(info.GetTransferSizeAndMode(&ctx));
  EXPECT_EQ(info.count, M / 2);
  EXPECT_EQ(info.mode_index, 0);

  // A finished walk leaves the record as a reset does, and the next walk starts over.
  while (info.GetTransferSizeAndMode(&ctx)) {
  }
  EXPECT_EQ(info.count, 0u);
  EXPECT_EQ(info.base_count, 0u);
  EXPECT_EQ(info.mode_index, -1);
  EXPECT_EQ(info.special_index, -1);
  ASSERT_TRUE(info.GetTransferSizeAndMode(&ctx));
  EXPECT_EQ(info.count, M / 2);
}

TEST(AddrOffset, WindowStaysInsideTheCap) {
  Context ctx;
  ctx.maxcount = 32 * M;
  ThreadInfo info;
  info.span_count = 8 * M;
  EXPECT_EQ(info.GetAddrOffset(&ctx, 1), 0u);  // without -o the window never moves
  ctx.offset = 1;
  std::vector<uint64_t> got;
  for (int it = 0; it < 6; ++it) got.push_back(info.GetAddrOffset(&ctx, it));
  EXPECT_EQ(got, (std::vector<uint64_t>{0, 8 * M, 16 * M, 24 * M, 0, 8 * M}));

  // A window as large as the cap, or larger, never moves.
  for (uint64_t span : {32 * M, 40 * M}) {
    info.span_count = span;
    for (int it = 0; it < 4; ++it) EXPECT_EQ(info.GetAddrOffset(&ctx, it), 0u) << span;
  }
  info.span_count = 0;
  EXPECT_EQ(info.GetAddrOffset(&ctx, 7), 0u);
  // No cap at all (no count): no division by zero.
  ctx.maxcount = 0;
  info.span_count = 12 * M;
  EXPECT_EQ(info.GetAddrOffset(&ctx, 3), 0u);
  ctx.maxcount = 32 * M;

  // Whatever the sizes, a moved window ends inside the cap, also for iteration numbers whose
  // product with the span passes 32 bits.
  for (uint64_t cap : {uint64_t{1000}, 32 * M, 100 * M + 7}) {
    ctx.maxcount = cap;
    for (uint64_t span : {uint64_t{1}, uint64_t{333}, 12 * M, 50 * M}) {
      info.span_count = span;
      for (int it : {1, 2, 3, 5, 1000, 65537, 2147483647}) {
        const uint64_t off = info.GetAddrOffset(&ctx, it);
        EXPECT_LE(off + span, span <= cap ? cap : span) << cap << " " << span << " " << it;
        if (span + (span * static_cast<uint64_t>(it)) % cap <= cap) {
          EXPECT_EQ(off, (span * static_cast<uint64_t>(it)) % cap);
        }
      }
    }
  }
}

TEST(AddrOffset, LargestSpecialCountSetsTheCap) {
  Context ctx;
  ctx.offset = 1;
  ctx.maxcount = 4 * M;
  ctx.special_count = {M, 16 * M};
  EXPECT_EQ(OffsetCap(ctx), 16 * M);
  ThreadInfo info;
  info.span_count = 6 * M;
  EXPECT_EQ(info.GetAddrOffset(&ctx, 1), 6 * M);
  EXPECT_EQ(info.GetAddrOffset(&ctx, 2), 0u);      // 12M + 6M passes 16M
  EXPECT_EQ(info.GetAddrOffset(&ctx, 3), 2 * M);   // 18M mod 16M
  ctx.special_count = {M, 2 * M};                  // all specials below maxcount
  EXPECT_EQ(OffsetCap(ctx), 4 * M);
  EXPECT_EQ(info.GetAddrOffset(&ctx, 1), 0u);
}

}  // namespace
}  // namespace oxcl_benchmark
