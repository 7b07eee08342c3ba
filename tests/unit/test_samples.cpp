// Repeated timed blocks: the variable, the block the table shows, the statistics of the
// record, and the noise warning.
#include "samples.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "log.h"

namespace oxcl_benchmark {
namespace {

TEST(Repeat, AcceptsWholeNumbersFromOneToTenThousand) {
  std::string why;
  uint64_t r = 0;
  for (const auto& [text, value] : std::vector<std::pair<const char*, uint64_t>>{
           {nullptr, 1}, {"", 1}, {"1", 1}, {"7", 7}, {"010", 10}, {"10000", 10000}}) {
    r = 0;
    EXPECT_TRUE(ParseRepeat(text, &r, &why)) << (text ? text : "(unset)") << ": " << why;
    EXPECT_EQ(r, value) << (text ? text : "(unset)");
  }
  for (const char* text : {"0", "10001", "-3", "+3", " 3", "3 ", "3.0", "1e3", "abc", "0x10",
                           "99999999999999999999999"}) {
    r = 5;
    why.clear();
    EXPECT_FALSE(ParseRepeat(text, &r, &why)) << text;
    EXPECT_EQ(r, 5u) << text << ": the value is left alone";
    EXPECT_EQ(why.rfind("BENCHMARK_REPEAT=", 0), 0u) << why;
    EXPECT_NE(why.find("from 1 to 10000"), std::string::npos) << why;
  }
}

TEST(Repeat, ReadFromTheEnvironment) {
  uint64_t r = 0;
  ASSERT_EQ(setenv("BENCHMARK_REPEAT", "12", 1), 0);
  EXPECT_EQ(ReadRepeat(&r), BENCHMARK_SUCCESS);
  EXPECT_EQ(r, 12u);
  ASSERT_EQ(setenv("BENCHMARK_REPEAT", "many", 1), 0);
  testing::internal::CaptureStderr();
  EXPECT_EQ(ReadRepeat(&r), BENCHMARK_FAILURE);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("[Error]: BENCHMARK_REPEAT=many is not a whole number"), std::string::npos)
      << err;
  unsetenv("BENCHMARK_REPEAT");
}

TEST(MedianBlock, ABlockThatRanTiesToTheEarliest) {
  EXPECT_EQ(MedianBlock({}), 0u);
  EXPECT_EQ(MedianBlock({4.0}), 0u);
  EXPECT_EQ(MedianBlock({9.0, 1.0, 5.0}), 2u);
  // Even count: the faster of the middle two (3.0 at index 1, not 7.0).
  EXPECT_EQ(MedianBlock({8.0, 3.0, 7.0, 1.0}), 1u);
  // Ties: the earliest block of the median time.
  EXPECT_EQ(MedianBlock({2.0, 5.0, 5.0, 5.0, 9.0}), 1u);
  EXPECT_EQ(MedianBlock({6.0, 6.0, 6.0, 6.0}), 0u);
}

TEST(SampleStats, FixedSets) {
  // 1..10 (shuffled): p10 = 1.9, median 5.5, p90 = 9.1 by linear interpolation.
  SampleStats s = StatsOf({7, 3, 10, 1, 5, 9, 2, 8, 4, 6});
  EXPECT_EQ(s.min, 1);
  EXPECT_EQ(s.max, 10);
  EXPECT_NEAR(s.p10, 1.9, 1e-12);
  EXPECT_EQ(s.median, 5.5);
  EXPECT_NEAR(s.p90, 9.1, 1e-12);
  EXPECT_EQ(s.mean, 5.5);
  EXPECT_NEAR(s.stdev, std::sqrt(82.5 / 9), 1e-12) << "sample standard deviation (n - 1)";
  EXPECT_NEAR(s.cv, std::sqrt(82.5 / 9) / 5.5, 1e-12);

  // Ties, an even count: the mean of the middle two; three samples: the middle one.
  s = StatsOf({2, 4, 4, 4, 5, 5, 7, 9});
  EXPECT_EQ(s.median, 4.5);
  EXPECT_EQ(s.mean, 5);
  EXPECT_NEAR(s.stdev, std::sqrt(32.0 / 7), 1e-12);
  s = StatsOf({3, 1, 3});
  EXPECT_EQ(s.median, 3);
  EXPECT_NEAR(s.p10, 1.4, 1e-12);
  EXPECT_EQ(s.p90, 3);
}

TEST(SampleStats, OneSampleAndAllEqual) {
  SampleStats s = StatsOf({12.5});
  for (double v : {s.min, s.p10, s.median, s.p90, s.max, s.mean}) EXPECT_EQ(v, 12.5);
  EXPECT_EQ(s.stdev, 0);
  EXPECT_EQ(s.cv, 0);
  // 0.1 does not sum exactly: no rounding may show as a spread or move the mean.
  s = StatsOf(std::vector<double>(7, 0.1));
  EXPECT_EQ(s.mean, 0.1);
  EXPECT_EQ(s.p10, 0.1);
  EXPECT_EQ(s.stdev, 0);
  EXPECT_EQ(s.cv, 0);
  // -l 0 times nothing: every sample 0, no division by a zero mean.
  s = StatsOf({0, 0, 0});
  EXPECT_EQ(s.cv, 0);
  EXPECT_FALSE(std::isnan(s.cv));
  s = StatsOf({});
  EXPECT_EQ(s.max, 0);
}

TEST(NoiseWarning, NamesTheCountAndTheWorstRowOnce) {
  testing::internal::CaptureStderr();
  LogNoiseWarning();
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << "nothing noted";

  NoteRowNoise("4096 bytes, 1024 x float sum, inplace", 0.05);
  NoteRowNoise("4096 bytes, 1024 x float sum, outofplace", 0.10);  // not above the limit
  testing::internal::CaptureStderr();
  LogNoiseWarning();
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

  NoteRowNoise("a, inplace", 0.12);
  NoteRowNoise("b, inplace", 0.40);
  NoteRowNoise("c, inplace", 0.30);
  NoteRowNoise("d, inplace", 0.01);
  testing::internal::CaptureStderr();
  LogNoiseWarning();
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("[Warning]: 3 of 4 rows vary by more than 10% between their timed blocks "
                     "(cv above 0.10), worst b, inplace (cv 0.40)"),
            std::string::npos)
      << err;
  EXPECT_NE(err.find("\"Numbers you can trust\" in README.md"), std::string::npos) << err;
  EXPECT_EQ(err.find('\n'), err.size() - 1) << "one line";
  testing::internal::CaptureStderr();
  LogNoiseWarning();
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << "the rows are forgotten";
}

}  // namespace
}  // namespace oxcl_benchmark
