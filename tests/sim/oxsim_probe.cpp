// Helper process for the tests that need another environment: makes the calls named on its
// command line, so a test can watch exit status, standard error and the call log.
//   oxsim_probe none          makes no simulator call
//   oxsim_probe count         prints the card count
//   oxsim_probe malloc N      allocates N times 1 KiB and prints how many succeeded
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "oxrt.h"

int main(int argc, char** argv) {
  if (argc < 2 || strcmp(argv[1], "none") == 0) return 0;
  if (strcmp(argv[1], "count") == 0) {
    unsigned int count = 0;
    if (oxrtGetDeviceCount(&count) != oxrtSuccess) return 2;
    printf("%u\n", count);
    return 0;
  }
  if (strcmp(argv[1], "malloc") == 0 && argc > 2) {
    const int n = atoi(argv[2]);
    int ok = 0;
    for (int i = 0; i < n; ++i) {
      void* p = nullptr;
      if (oxrtMalloc(&p, 1024) == oxrtSuccess) ++ok;
    }
    printf("%d\n", ok);
    return 0;
  }
  return 2;
}
