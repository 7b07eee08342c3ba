// Environment knobs: read and checked once per process, at the first call into the simulator.
#include "knobs.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "oxsim.h"

namespace oxsim {
namespace {

struct Knobs {
  int device_count = 8;
  std::string card_name = "OPU-SIM";
  uint64_t device_memory = 16ull << 30;
  double link_gbps = 0;
  double link_latency_us = 0;
  bool peer_access = true;
  bool peer_map = true;
};

// A knob that is set must be valid: an unusable value ends the process rather than being
// silently replaced by the default.
Knobs ReadKnobs() {
  Knobs k;
  if (const char* v = getenv("OXSIM_DEVICE_COUNT")) {
    if (!ParseDeviceCount(v, &k.device_count))
      Reject("OXSIM_DEVICE_COUNT='%s' is not a card count (a whole number from 1 to %d)", v,
             kMaxDeviceCount);
  }
  if (const char* v = getenv("OXSIM_CARD_NAME")) {
    if (*v == '\0') Reject("OXSIM_CARD_NAME is set but empty; give a card model name");
    k.card_name = v;
  }
  if (const char* v = getenv("OXSIM_DEVICE_MEMORY")) {
    if (!ParseMemorySize(v, &k.device_memory))
      Reject("OXSIM_DEVICE_MEMORY='%s' is not a memory size (bytes above 0, optional K/M/G)", v);
  }
  if (const char* v = getenv("OXSIM_LINK_GBPS")) {
    if (!ParseRate(v, true, &k.link_gbps))
      Reject("OXSIM_LINK_GBPS='%s' is not a link rate (a number of GB/s above 0)", v);
  }
  if (const char* v = getenv("OXSIM_LINK_LATENCY_US")) {
    if (!ParseRate(v, false, &k.link_latency_us))
      Reject("OXSIM_LINK_LATENCY_US='%s' is not a latency (microseconds, 0 or more)", v);
  }
  if (const char* v = getenv("OXSIM_PEER_ACCESS")) {
    if (std::strcmp(v, "0") != 0 && std::strcmp(v, "1") != 0)
      Reject("OXSIM_PEER_ACCESS='%s' is not 0 or 1", v);
    k.peer_access = *v == '1';
  }
  if (const char* v = getenv("OXSIM_PEER_MAP")) {
    if (std::strcmp(v, "0") != 0 && std::strcmp(v, "1") != 0)
      Reject("OXSIM_PEER_MAP='%s' is not 0 or 1", v);
    k.peer_map = *v == '1';
  }
  // Read where the float16 kernels are picked; checked here so that a typo is not ignored.
  if (const char* v = getenv("OXSIM_F16C")) {
    if (std::strcmp(v, "0") != 0 && std::strcmp(v, "1") != 0)
      Reject("OXSIM_F16C='%s' is not 0 or 1", v);
  }
  return k;
}

const Knobs& GetKnobs() {
  static const Knobs knobs = ReadKnobs();
  return knobs;
}

}  // namespace

bool ParseUnsigned(const std::string& text, uint64_t* value) {
  if (text.empty()) return false;
  uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    const uint64_t digit = static_cast<uint64_t>(c - '0');
    if (v > (UINT64_MAX - digit) / 10) return false;
    v = v * 10 + digit;
  }
  *value = v;
  return true;
}

bool ParseDeviceCount(const std::string& text, int* count) {
  uint64_t v = 0;
  if (!ParseUnsigned(text, &v) || v < 1 || v > static_cast<uint64_t>(kMaxDeviceCount))
    return false;
  *count = static_cast<int>(v);
  return true;
}

bool ParseMemorySize(const std::string& text, uint64_t* bytes) {
  if (text.empty()) return false;
  std::string digits = text;
  unsigned shift = 0;
  switch (text.back()) {
    case 'K': case 'k': shift = 10; break;
    case 'M': case 'm': shift = 20; break;
    case 'G': case 'g': shift = 30; break;
    default: break;
  }
  if (shift != 0) digits.pop_back();
  uint64_t v = 0;
  if (!ParseUnsigned(digits, &v) || v == 0 || v > (UINT64_MAX >> shift)) return false;
  *bytes = v << shift;
  return true;
}

bool ParseRate(const std::string& text, bool positive, double* value) {
  // strtod alone would accept "inf", "nan", hex and leading spaces; allow plain decimals only.
  if (text.empty() || text.find_first_not_of("0123456789.eE+-") != std::string::npos)
    return false;
  errno = 0;
  char* end = nullptr;
  const double v = strtod(text.c_str(), &end);
  if (errno != 0 || end != text.c_str() + text.size() || !std::isfinite(v)) return false;
  if (positive ? !(v > 0) : !(v >= 0)) return false;
  *value = v;
  return true;
}

void Complain(const char* format, ...) {
  // One write per line, so lines of concurrent threads and processes do not interleave.
  char line[1024];
  va_list args;
  va_start(args, format);
  int n = vsnprintf(line + 7, sizeof(line) - 8, format, args);
  va_end(args);
  memcpy(line, "oxsim: ", 7);
  if (n < 0) n = 0;
  size_t len = 7 + std::min(static_cast<size_t>(n), sizeof(line) - 9);
  line[len++] = '\n';
  fwrite(line, 1, len, stderr);
  fflush(stderr);
}

void Reject(const char* format, ...) {
  char text[900];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof(text), format, args);
  va_end(args);
  Complain("%s", text);
  exit(1);
}

int DeviceCount() { return GetKnobs().device_count; }
const std::string& CardName() { return GetKnobs().card_name; }
uint64_t DeviceMemory() { return GetKnobs().device_memory; }
double LinkGbps() { return GetKnobs().link_gbps; }
double LinkLatencyUs() { return GetKnobs().link_latency_us; }
bool PeerAccess() { return GetKnobs().peer_access; }
bool PeerMap() { return GetKnobs().peer_map; }

bool SaturatingCard() {
  const std::string& name = CardName();
  return name.find("OPU150") != std::string::npos || name.find("OPU190") != std::string::npos;
}

void CheckKnobs() { (void)GetKnobs(); }

}  // namespace oxsim
