// Result codes and small string helpers shared by the whole framework.
#ifndef OXCL_BENCHMARK_COMMON_H_
#define OXCL_BENCHMARK_COMMON_H_

#include <cstdio>
#include <string>
#include <vector>

namespace oxcl_benchmark {

// 0 success, 1 failure, 3 stop quietly (help or version printed); any other non-zero value is
// a failure whose code becomes the exit status. A result cannot be dropped: it is handled, or
// cast to void with the reason beside it.
//
// How failures travel, and which way is for what:
// - this result: the ordinary way. A failure is logged once where it starts and passed up to
//   main, where the code becomes the exit status.
// - Context::NotifyExit (the exit_requested flag): a worker meets a failure the run cannot go
//   on from while other workers may wait for it in a barrier or a collective; the main thread
//   then aborts the communicators and ends the process, and workers stop at their next check.
// - FatalExit: ends the process from any thread at once, outputs flushed, when no orderly way
//   back exists (live threads, aborted collectives that may still write).
// - OxclFatal: a failed collective-library call that the run cannot recover from: the library's
//   message, then FatalExit(1).
// - CheckMpi: a failed MPI wrapper call: the processes no longer agree on what they exchanged,
//   so FatalExit(1) rather than a wait for ever.
enum [[nodiscard]] benchmarkResult_t : int {
  BENCHMARK_SUCCESS = 0,
  BENCHMARK_FAILURE = 1,
  BENCHMARK_QUIT = 3,
};

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
