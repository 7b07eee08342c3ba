// Repeated timed blocks of one step (BENCHMARK_REPEAT): which block the table shows, the
// statistics the run record keeps of them, and the warning about rows that vary too much.
#ifndef OXCL_BENCHMARK_SAMPLES_H_
#define OXCL_BENCHMARK_SAMPLES_H_

#include <cstdint>
#include <string>
#include <vector>

#include "common.h"

namespace oxcl_benchmark {

// The most timed blocks a step may have.
constexpr uint64_t kMaxRepeat = 10000;
// Rows whose coefficient of variation exceeds this are named by the noise warning.
constexpr double kNoisyCv = 0.10;

// Summary of one step's block times. Percentiles interpolate linearly between the two nearest
// samples (the median of an even count is the mean of the middle two); stdev is the sample
// standard deviation (n - 1), 0 for one sample; cv = stdev / mean, 0 when stdev is 0.
struct SampleStats {
  double min = 0.0;
  double p10 = 0.0;
  double median = 0.0;
  double p90 = 0.0;
  double max = 0.0;
  double mean = 0.0;
  double stdev = 0.0;
  double cv = 0.0;
};

// BENCHMARK_REPEAT: unset or empty is 1; otherwise a whole number from 1 to kMaxRepeat.
// False with the reason for anything else.
bool ParseRepeat(const char* text, uint64_t* repeat, std::string* why);
// Reads BENCHMARK_REPEAT into *repeat; logs the reason and returns 1 for a bad value.
benchmarkResult_t ReadRepeat(uint64_t* repeat);

// Index of the block whose figures the table shows: the median block; of an even count the
// faster of the middle two, and the earliest of equal times, so that it is a block that ran.
// 0 for no blocks.
size_t MedianBlock(const std::vector<double>& times);
// Statistics of `samples`; all zero for none.
SampleStats StatsOf(std::vector<double> samples);

// Notes a table row's spread between its blocks; `row` names it for the warning.
void NoteRowNoise(const std::string& row, double cv);
// After the verdict: one Warning line when some noted rows exceed kNoisyCv; forgets them.
void LogNoiseWarning();

}  // namespace oxcl_benchmark

#endif  // OXCL_BENCHMARK_SAMPLES_H_
