// The time model: with a simulated link rate or latency, a collective lasts at least
// latency + bus bytes / rate, so the benchmark must report the configured bus bandwidth.
#include <sys/prctl.h>

#include <thread>

#include "oxsim.h"

namespace oxsim {

void ModelWait(std::chrono::steady_clock::time_point start, double bus_bytes) {
  const double gbps = LinkGbps();
  const double latency_us = LinkLatencyUs();
  if (gbps <= 0 && latency_us <= 0) return;
  double seconds = latency_us * 1e-6;
  if (gbps > 0 && bus_bytes > 0) seconds += bus_bytes / (gbps * 1e9);
  const auto deadline =
      start + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                  std::chrono::duration<double>(seconds));
  // The default timer slack (50 us) would dwarf short modelled times.
  thread_local bool slack_set = false;
  if (!slack_set) {
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    slack_set = true;
  }
  // Sleep to just short of the deadline, then spin the last few microseconds.
  constexpr auto kSpin = std::chrono::microseconds(5);
  auto now = std::chrono::steady_clock::now();
  if (deadline - now > kSpin) std::this_thread::sleep_until(deadline - kSpin);
  while (std::chrono::steady_clock::now() < deadline) {
  }
}

}  // namespace oxsim
