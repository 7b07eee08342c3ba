// Helpers shared by the simulator tests.
#ifndef OX_TESTS_SIM_TEST_UTIL_H_
#define OX_TESTS_SIM_TEST_UTIL_H_

#include <string>
#include <utility>
#include <vector>

namespace oxsim_test {

// Outcome of a helper process.
struct ProbeResult {
  int status = -1;  // exit status, -1 when it did not exit normally
  std::string out;
  std::string err;
};

// Runs the probe helper with `args`, its environment being this process's plus `env`
// (NAME=VALUE entries; an entry "NAME" alone removes NAME).
ProbeResult RunProbe(const std::vector<std::string>& args, const std::vector<std::string>& env);

// Number of lines in `text`.
int CountLines(const std::string& text);

}  // namespace oxsim_test

#endif  // OX_TESTS_SIM_TEST_UTIL_H_
