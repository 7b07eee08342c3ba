#include "samples.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <mutex>
#include <cstddef>
#include <numeric>

#include "log.h"

namespace oxcl_benchmark {

bool ParseRepeat(const char* text, uint64_t* repeat, std::string* why) {
  if (text == nullptr || *text == '\0') {
    *repeat = 1;
    return true;
  }
  const std::string value = text;
  uint64_t v = 0;
  bool ok = value.size() <= 16;
  for (char c : value) {
    if (!ok || c < '0' || c > '9') {
      ok = false;
      break;
    }
    v = v * 10 + static_cast<uint64_t>(c - '0');
  }
  if (!ok || v < 1 || v > kMaxRepeat) {
    *why = "BENCHMARK_REPEAT=" + value.substr(0, 32) +
           " is not a whole number from 1 to " + std::to_string(kMaxRepeat) +
           "; give the number of timed blocks per step, or 1 for one (the default)";
    return false;
  }
  *repeat = v;
  return true;
}

benchmarkResult_t ReadRepeat(uint64_t* repeat) {
  std::string why;
  if (ParseRepeat(std::getenv("BENCHMARK_REPEAT"), repeat, &why)) return BENCHMARK_SUCCESS;
  OXLOG(ERROR) << why;
  return BENCHMARK_FAILURE;
}

size_t MedianBlock(const std::vector<double>& times) {
  if (times.empty()) return 0;
  std::vector<double> sorted = times;
  const auto middle = sorted.begin() + static_cast<std::ptrdiff_t>((times.size() - 1) / 2);
  std::nth_element(sorted.begin(), middle, sorted.end());
  return static_cast<size_t>(std::find(times.begin(), times.end(), *middle) - times.begin());
}

namespace {

// Linear interpolation between the closest ranks of sorted `v` (not empty), q in [0, 1].
double Quantile(const std::vector<double>& v, double q) {
  const double at = q * static_cast<double>(v.size() - 1);
  const size_t low = static_cast<size_t>(std::floor(at));
  const size_t high = std::min(low + 1, v.size() - 1);
  const double frac = at - static_cast<double>(low);
  // Equal neighbours give their value exactly, whatever the fraction.
  return v[low] == v[high] ? v[low] : v[low] + (v[high] - v[low]) * frac;
}

struct NoiseTally {
  std::mutex mutex;
  size_t rows = 0;
  size_t noisy = 0;
  double worst_cv = 0.0;
  std::string worst;
};

NoiseTally& Tally() {
  static NoiseTally tally;
  return tally;
}

}  // namespace

SampleStats StatsOf(std::vector<double> samples) {
  SampleStats s;
  if (samples.empty()) return s;
  std::sort(samples.begin(), samples.end());
  const double n = static_cast<double>(samples.size());
  s.min = samples.front();
  s.max = samples.back();
  s.p10 = Quantile(samples, 0.10);
  s.median = Quantile(samples, 0.50);
  s.p90 = Quantile(samples, 0.90);
  s.mean = std::accumulate(samples.begin(), samples.end(), 0.0) / n;
  if (s.min == s.max) {
    s.mean = s.min;  // all equal: no rounding of the sum may show a spread that is not there
    return s;
  }
  double squares = 0.0;
  for (double x : samples) squares += (x - s.mean) * (x - s.mean);
  s.stdev = std::sqrt(squares / (n - 1));
  s.cv = s.mean > 0 ? s.stdev / s.mean : 0.0;
  return s;
}

void NoteRowNoise(const std::string& row, double cv) {
  NoiseTally& t = Tally();
  std::lock_guard<std::mutex> lock(t.mutex);
  ++t.rows;
  if (!(cv > kNoisyCv)) return;
  ++t.noisy;
  if (cv > t.worst_cv) {
    t.worst_cv = cv;
    t.worst = row;
  }
}

void LogNoiseWarning() {
  NoiseTally& t = Tally();
  std::lock_guard<std::mutex> lock(t.mutex);
  if (t.noisy > 0) {
    OXLOG(WARNING) << StrFmt("%zu of %zu rows vary by more than %.0f%% between their timed "
                             "blocks (cv above %.2f), worst %s (cv %.2f): the host was "
                             "busy or the steps are too short; see \"Numbers you can trust\" "
                             "in README.md",
                             t.noisy, t.rows, kNoisyCv * 100, kNoisyCv, t.worst.c_str(),
                             t.worst_cv);
  }
  t.rows = t.noisy = 0;
  t.worst_cv = 0.0;
  t.worst.clear();
}

}  // namespace oxcl_benchmark
