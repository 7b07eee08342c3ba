// Preloaded into the programs by the multi-process tests: shows which ranks and cards each
// process hands to oxclInitComms, which no log of the programs does, and lets a test give one
// process a host name of its own (OX_TEST_HOST_NAME) to stand for a second host.
#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "oxcl.h"

namespace {
template <typename F>
F Next(const char* name) {
  void* symbol = dlsym(RTLD_NEXT, name);
  if (symbol == nullptr) {
    std::fprintf(stderr, "deal_probe: no %s after the probe\n", name);
    std::abort();
  }
  return reinterpret_cast<F>(symbol);
}
}  // namespace

extern "C" {

int gethostname(char* name, size_t len) {
  const char* own = std::getenv("OX_TEST_HOST_NAME");
  if (own == nullptr || *own == '\0') {
    static auto real = Next<int (*)(char*, size_t)>("gethostname");
    return real(name, len);
  }
  if (std::strlen(own) + 1 > len) return -1;
  std::strcpy(name, own);
  return 0;
}

oxclResult_t oxclInitComms(oxclComm** comms, int n, const int* devs, const int* ranks, int nranks,
                           oxclCliqueId clique_id) {
  // One line written at once, so that the lines of several processes do not interleave.
  std::string line = "deal: ranks";
  for (int i = 0; i < n; ++i) line += " " + std::to_string(ranks[i]);
  line += " cards";
  for (int i = 0; i < n; ++i) line += " " + std::to_string(devs[i]);
  line += " of " + std::to_string(nranks) + ".\n";
  if (write(STDERR_FILENO, line.data(), line.size()) < 0) std::abort();
  static auto real =
      Next<oxclResult_t (*)(oxclComm**, int, const int*, const int*, int, oxclCliqueId)>(
          "oxclInitComms");
  return real(comms, n, devs, ranks, nranks, clique_id);
}

}  // extern "C"
