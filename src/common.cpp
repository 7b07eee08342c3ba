#include "common.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace oxcl_benchmark {

void CreateFolderOf(const std::string& path) {
  for (size_t slash = path.find('/', 1); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    // EEXIST included: another process of the run may create it at the same moment.
    mkdir(path.substr(0, slash).c_str(), 0777);
  }
}

std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> pieces;
  std::string piece;
  for (char c : text) {
    if (c == separator) {
      if (!piece.empty()) pieces.push_back(piece);
      piece.clear();
    } else {
      piece.push_back(c);
    }
  }
  if (!piece.empty()) pieces.push_back(piece);
  return pieces;
}

namespace {
constexpr int kMaxHooks = 8;
void (*fatal_hooks[kMaxHooks])() = {};
std::atomic<int> hook_count{0};
std::atomic<bool> exiting{false};
}  // namespace

void AddFatalExitHook(void (*hook)()) {
  int slot = hook_count.load();
  if (slot < kMaxHooks) {
    fatal_hooks[slot] = hook;
    hook_count.store(slot + 1);
  }
}

void FatalExit(int status) {
  // The first caller writes what must survive; a second caller (another thread failing at the
  // same moment) must not run the hooks twice, and simply waits to be ended.
  if (exiting.exchange(true)) {
    for (;;) pause();
  }
  int n = hook_count.load();
  for (int i = 0; i < n; ++i) fatal_hooks[i]();
  std::fflush(nullptr);
  // No static destructor may run under live workers; what the libraries registered for a quick
  // exit (the simulator's call log, say) still runs.
  std::quick_exit(status);
}

}  // namespace oxcl_benchmark
