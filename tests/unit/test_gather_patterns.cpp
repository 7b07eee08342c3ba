// The all-gather and all-to-all data patterns: each expected value must be what the sending rank
// put at the matching position, for the shapes where blocks do not divide the count evenly too.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "alltoall.h"

namespace oxcl_benchmark {
namespace {

TEST(GatherPattern, ExpectedBlockJIsRankJsBlock) {
  for (uint64_t o : {0u, 1u}) {
    for (uint64_t n : {1u, 2u, 3u, 8u}) {
      for (uint64_t c : {1u, 10u, 200u}) {
        for (uint64_t x = 0; x < n * c; ++x) {
          ASSERT_EQ(Allgather::GatheredValue(x, c, n, o), Allgather::BlockValue(x % c, x / c, o))
              << "n " << n << " c " << c << " x " << x << " o " << o;
        }
      }
    }
  }
}

TEST(GatherPattern, WorkedBlock) {
  // Rank 2, blocks of 10: 3, 4, ... out of place and 2, 3, ... in place, at elements 20 to 29.
  for (uint64_t k = 0; k < 10; ++k) {
    EXPECT_EQ(Allgather::BlockValue(k, 2, 1), 3 + k);
    EXPECT_EQ(Allgather::GatheredValue(20 + k, 10, 3, 1), 3 + k);
    EXPECT_EQ(Allgather::GatheredValue(20 + k, 10, 3, 0), 2 + k);
  }
}

TEST(AlltoallPattern, ReceivedBlockJIsBlockRSentByRankJ) {
  for (uint64_t o : {0u, 1u}) {
    for (uint64_t n : {1u, 2u, 3u, 5u}) {
      for (uint64_t c : {1u, 3u, 100u}) {
        for (uint64_t r = 0; r < n; ++r) {
          for (uint64_t x = 0; x < n * c; ++x) {
            const uint64_t j = x / c;
            ASSERT_EQ(AllToAll::ReceivedValue(x, c, r, n, o),
                      AllToAll::SendValue(r * c + x % c, j, o))
                << "n " << n << " c " << c << " r " << r << " x " << x << " o " << o;
          }
        }
      }
    }
  }
}

TEST(AlltoallPattern, WorkedExchange) {
  // Two ranks, blocks of 3, out of place.
  const std::vector<uint64_t> send0 = {1, 2, 3, 4, 5, 6}, send1 = {2, 3, 4, 5, 6, 7};
  const std::vector<uint64_t> recv1 = {4, 5, 6, 5, 6, 7};
  for (uint64_t p = 0; p < 6; ++p) {
    EXPECT_EQ(AllToAll::SendValue(p, 0, 1), send0[p]);
    EXPECT_EQ(AllToAll::SendValue(p, 1, 1), send1[p]);
    EXPECT_EQ(AllToAll::ReceivedValue(p, 3, 1, 2, 1), recv1[p]);
  }
  EXPECT_EQ(AllToAll::SendValue(255, 0, 1), 0u);  // values wrap at 256
}

TEST(AlltoallPattern, NegativeInt8ValuesAreChecked) {
  // 200 is stored as -56 in int8; a wrong value there must still count.
  const int8_t e = check_detail::Store<int8_t>(oxclInt8, 200);
  EXPECT_EQ(e, -56);
  EXPECT_GT(check_detail::RelativeDiff<int8_t>(oxclInt8, e, static_cast<int8_t>(-55)), 0.0);
  EXPECT_GT(check_detail::RelativeDiff<int8_t>(oxclInt8, e, static_cast<int8_t>(72)), 0.0);
  EXPECT_EQ(check_detail::RelativeDiff<int8_t>(oxclInt8, e, e), 0.0);
  const uint16_t h = check_detail::Store<uint16_t>(oxclFloat16, 255);
  EXPECT_EQ(half2float(h), 255.0f);
  EXPECT_GT(check_detail::RelativeDiff<uint16_t>(oxclFloat16, h,
                                                 check_detail::Store<uint16_t>(oxclFloat16, 254)),
            0.0);
}

}  // namespace
}  // namespace oxcl_benchmark
