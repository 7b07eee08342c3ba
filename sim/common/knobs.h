// Parsers of the simulator's environment knobs, kept apart from the process-wide values so that
// tests can check every accepted and rejected spelling without changing the environment.
#ifndef OX_SIM_COMMON_KNOBS_H_
#define OX_SIM_COMMON_KNOBS_H_

#include <cstdint>
#include <string>

namespace oxsim {

// Largest card count a process may ask for; keeps per-card tables small.
constexpr int kMaxDeviceCount = 4096;

// Parses a whole number from 1 to kMaxDeviceCount.
bool ParseDeviceCount(const std::string& text, int* count);
// Parses a byte count with an optional K, M or G suffix (binary multiples); must be above 0.
bool ParseMemorySize(const std::string& text, uint64_t* bytes);
// Parses a finite decimal number; `positive` demands > 0, otherwise >= 0 is enough.
bool ParseRate(const std::string& text, bool positive, double* value);
// Parses a decimal unsigned number without sign or spaces; false on overflow.
bool ParseUnsigned(const std::string& text, uint64_t* value);

// Reads the knobs once; a bad one ends the process (see Reject).
void CheckKnobs();

// Ends the process with status 1 after one line "oxsim: <text>" on standard error.
[[noreturn]] void Reject(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace oxsim

#endif  // OX_SIM_COMMON_KNOBS_H_
