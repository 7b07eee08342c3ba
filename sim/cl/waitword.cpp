#include "waitword.h"

#include <sched.h>

#include <climits>
#include <ctime>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace oxcl_sim {
namespace {

long Futex(std::atomic<uint32_t>* word, int op, uint32_t value, const timespec* timeout) {
  static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t), "futex word layout");
  return syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), op, value, timeout, nullptr, 0);
}

}  // namespace

constexpr std::chrono::nanoseconds WaitWord::kSpin;
constexpr std::chrono::nanoseconds WaitWord::kSleep;
constexpr std::chrono::nanoseconds WaitWord::kYield;

unsigned HostCores() {
  static const unsigned cores = [] {
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0)
      return static_cast<unsigned>(CPU_COUNT(&set));
    const long n = sysconf(_SC_NPROCESSORS_ONLN);
    return n > 0 ? static_cast<unsigned>(n) : 1u;
  }();
  return cores;
}

void WaitWord::NotifyAll() {
  word_.fetch_add(1, std::memory_order_seq_cst);
  // Most notifications find nobody asleep (the waiters are still spinning): skip the syscall.
  if (sleepers_.load(std::memory_order_seq_cst) != 0)
    Futex(&word_, FUTEX_WAKE_PRIVATE, INT_MAX, nullptr);
}

void WaitWord::Sleep(uint32_t seen) {
  timespec timeout{0, static_cast<long>(kSleep.count())};
  // EAGAIN (the word moved on), EINTR and ETIMEDOUT all mean: check again.
  Futex(&word_, FUTEX_WAIT_PRIVATE, seen, &timeout);
}

}  // namespace oxcl_sim
