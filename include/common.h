// Result codes and small string helpers shared by the whole framework.
#ifndef OXCL_BENCHMARK_COMMON_H_
#define OXCL_BENCHMARK_COMMON_H_

#include <cstdio>
#include <string>
#include <vector>

namespace oxcl_benchmark {

// 0 success, 1 failure, 3 stop quietly (help or version printed); any other non-zero value is
// a failure whose code becomes the exit status.
typedef int benchmarkResult_t;
constexpr benchmarkResult_t BENCHMARK_SUCCESS = 0;
constexpr benchmarkResult_t BENCHMARK_FAILURE = 1;
constexpr benchmarkResult_t BENCHMARK_QUIT = 3;

// printf-style formatting into a string.
template <typename... Args>
std::string StrFmt(const std::string& format, Args... args) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-security"
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
  int n = std::snprintf(nullptr, 0, format.c_str(), args...);
  if (n <= 0) return std::string();
  std::vector<char> buffer(static_cast<size_t>(n) + 1);
  std::snprintf(buffer.data(), buffer.size(), format.c_str(), args...);
#pragma GCC diagnostic pop
  return std::string(buffer.data(), static_cast<size_t>(n));
}

// Cuts text at every separator, dropping empty pieces.
std::vector<std::string> Split(const std::string& text, char separator);

// Creates the missing folders on the way to the file `path` (as mkdir -p does), so that
// "-p out/" works on a fresh tree. Failures are left to the caller's open, which names them.
void CreateFolderOf(const std::string& path);

// Ends the process with `status` from any thread, while other threads may still run: flushes
// standard output, standard error and the hooks' files (the result CSV, the memory report),
// then leaves without running static destructors, which live threads may still depend on.
[[noreturn]] void FatalExit(int status);
// Registers a function that FatalExit runs first (at most a few; registration order).
void AddFatalExitHook(void (*hook)());

}  // namespace oxcl_benchmark

#endif  // OXCL_BENCHMARK_COMMON_H_
