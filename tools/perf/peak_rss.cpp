// Runs a command and reports its peak resident memory and wall time, for hosts without GNU time.
//   peak_rss command [args ...]
// Prints "peak_rss_kib <KiB>" and "wall_s <seconds>" on standard error after the command ends
// and exits with the command's status (128 + signal number when a signal ended it; 127 when it
// could not be started). The command's own output passes through untouched. Options of its
// own: --help only, so a command cannot start with '-'.
#include <sys/resource.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
  static const char kUsage[] = "usage: peak_rss command [args ...]\n";
  if (argc >= 2 && (std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0)) {
    std::printf("%s", kUsage);
    return 0;
  }
  if (argc < 2 || argv[1][0] == '-') {
    if (argc >= 2) std::fprintf(stderr, "peak_rss: unknown option '%s'\n", argv[1]);
    std::fprintf(stderr, "%s", kUsage);
    return 2;
  }
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid < 0) {
    std::fprintf(stderr, "peak_rss: fork: %s\n", std::strerror(errno));
    return 127;
  }
  if (pid == 0) {
    execvp(argv[1], argv + 1);
    std::fprintf(stderr, "peak_rss: cannot run %s: %s\n", argv[1], std::strerror(errno));
    _exit(127);
  }
  int status = 0;
  struct rusage usage;
  std::memset(&usage, 0, sizeof usage);
  pid_t got;
  do {
    got = wait4(pid, &status, 0, &usage);
  } while (got < 0 && errno == EINTR);
  if (got < 0) {
    std::fprintf(stderr, "peak_rss: wait4: %s\n", std::strerror(errno));
    return 127;
  }
  const double wall =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  // Linux reports ru_maxrss in KiB, for the child itself (not its own children).
  std::fprintf(stderr, "peak_rss_kib %ld\nwall_s %.3f\n", usage.ru_maxrss, wall);
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return 127;
}
