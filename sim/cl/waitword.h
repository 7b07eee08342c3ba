// Waiting without burning a core: a short spin, optionally a bounded phase that yields the
// core to whoever else wants it, then a futex sleep that any state change (or a bounded
// timeout) ends, after which the condition is checked again.
#ifndef OX_SIM_CL_WAITWORD_H_
#define OX_SIM_CL_WAITWORD_H_

#include <sched.h>

#include <atomic>
#include <chrono>
#include <cstdint>

namespace oxcl_sim {

class WaitWord {
 public:
  // Wakes every thread sleeping on this word. Call after the state change it announces.
  void NotifyAll();

  // Waits until done() holds (returns true) or, while done() is false, stop() holds (returns
  // false). done() is always checked before stop(), so a finished wait wins over a stop.
  // After the spin, the waiter yields its core for up to `yield` before it sleeps.
  template <class Done, class Stop>
  bool Await(Done done, Stop stop, std::chrono::nanoseconds yield = std::chrono::nanoseconds(0));

  // How long a waiter spins before it sleeps, and how long one sleep lasts at most.
  static constexpr std::chrono::nanoseconds kSpin{4000};
  static constexpr std::chrono::nanoseconds kSleep{20'000'000};
  // The yielding phase of waits whose partners have a core each. A rank that sleeps runs
  // again only when the kernel gets round to it after the wake-up; on 2 ranks at 1 MiB, where
  // a call takes some 40 us, more than half of the calls found the partner not there yet after
  // the spin and slept, so the wake-ups, not the work, set the row and its spread. A yielding
  // waiter sees the arrival at once and still gives the core to any thread ready to run.
  static constexpr std::chrono::nanoseconds kYield{50'000};

 private:
  // Sleeps while the word still holds `seen`, for kSleep at most.
  void Sleep(uint32_t seen);

  std::atomic<uint32_t> word_{0};
  std::atomic<uint32_t> sleepers_{0};
};

// CPUs this process may run on, read once.
unsigned HostCores();

inline void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#endif
}

template <class Done, class Stop>
bool WaitWord::Await(Done done, Stop stop, std::chrono::nanoseconds yield) {
  if (done()) return true;
  const auto spin_end = std::chrono::steady_clock::now() + kSpin;
  for (int i = 1;; ++i) {
    if (done()) return true;
    if (stop()) return false;
    CpuRelax();
    // Reading the clock costs more than a pause, so only every few rounds.
    if ((i & 31) == 0 && std::chrono::steady_clock::now() >= spin_end) break;
  }
  if (yield.count() > 0) {
    const auto yield_end = spin_end + yield;
    for (;;) {
      if (done()) return true;
      if (stop()) return false;
      sched_yield();
      if (std::chrono::steady_clock::now() >= yield_end) break;
    }
  }
  for (;;) {
    // Announce the sleeper before the last check: a notifier that changed the state after
    // that check then sees us and bumps the word, so the futex wait returns at once.
    sleepers_.fetch_add(1, std::memory_order_seq_cst);
    const uint32_t seen = word_.load(std::memory_order_seq_cst);
    bool finished = done();
    bool stopped = !finished && stop();
    if (!finished && !stopped) Sleep(seen);
    sleepers_.fetch_sub(1, std::memory_order_seq_cst);
    if (finished) return true;
    if (stopped) return false;
  }
}

}  // namespace oxcl_sim

#endif  // OX_SIM_CL_WAITWORD_H_
