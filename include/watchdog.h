// Signs of life of a run. Workers set cheap progress marks at their phase boundaries; with
// BENCHMARK_TIMEOUT_S=N a monitor thread ends a run whose marks stand still for N seconds
// (one Error line, every communicator aborted, status 1), and with BENCHMARK_PROGRESS=1 the
// first worker of process 0 logs a line before every step.
#ifndef OXCL_BENCHMARK_WATCHDOG_H_
#define OXCL_BENCHMARK_WATCHDOG_H_

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "common.h"

namespace oxcl_benchmark {

class Context;
class ThreadInfo;

// What a worker (or, during set-up, the main thread) is doing.
enum class WatchStage : uint32_t {
  kBuffers,     // allocating and filling its buffers, printing the title
  kWarmUp,      // the warm-up of a (type, operation) pair
  kStepStart,   // a step's own warm-up call
  kTimed,       // the timed loop of a step
  kDataCheck,   // filling, the checked call and the check
  kEnd,         // after the last step: memory report, buffers given back
  kSetUp,       // communicator set-up (main thread)
  kRunning,     // main thread: set-up done, the workers run
  kStartUp,     // main thread: device, driver and MPI initialisation
  kTearDown,    // main thread: communicators destroyed, MPI finalised
};
// What it waits for, if anything, within its stage.
enum class WatchWait : uint32_t { kNone, kQueueSync, kThreadBarrier, kProcessBarrier };

// The settings read from the environment.
struct WatchSettings {
  double timeout_s = 0;  // 0: no watchdog
  bool progress = false;
};
// BENCHMARK_TIMEOUT_S: unset, empty or a number equal to 0 is off; otherwise a positive
// decimal number of seconds (at most a year). False with the reason for anything else.
bool ParseTimeout(const char* text, double* seconds, std::string* why);
// BENCHMARK_PROGRESS: unset, empty or "0" is off, "1" on. False with the reason otherwise.
bool ParseProgress(const char* text, bool* on, std::string* why);
// Reads both variables into the process's settings; logs what is wrong and returns 1 for a bad
// value.
benchmarkResult_t ReadWatchSettings();
const WatchSettings& GetWatchSettings();

// Starts the monitor (when the timeout is on) for ctx's workers, with the main thread in
// start-up. `collective` is the algorithm's name. Call once, before the context's Init.
benchmarkResult_t StartWatchdog(const Context& ctx, const std::string& collective);
// The main thread begins communicator set-up.
void WatchSetUp(const Context& ctx);
// After communicator set-up: the communicators the watchdog aborts and the ranks it names.
void WatchCommunicators(const Context& ctx);
// The run is over and the communicators are about to go: from here a stall ends the process
// without aborting them.
void WatchTearDown(const Context& ctx);
// Ends the monitor. When the watchdog has already fired, it is ending the process: then this
// never returns.
void StopWatchdog();

// The monitor's view of one thread, in a cache line of its own: its owner stores, the monitor
// loads, no lock and no system call on the way.
struct alignas(64) WatchMark {
  std::atomic<uint64_t> beats{0};  // changes at every mark: progress
  std::atomic<uint32_t> stage{static_cast<uint32_t>(WatchStage::kBuffers)};
  std::atomic<uint32_t> wait{static_cast<uint32_t>(WatchWait::kNone)};
  std::atomic<uint64_t> count{0};  // the step's element count, as the table shows it
  std::atomic<int64_t> type_index{-1};
  std::atomic<int64_t> op_index{-1};
  std::atomic<int64_t> mode_index{-1};
};
namespace watch_detail {
// One mark per worker, then one for the main thread; null while nothing watches.
extern WatchMark* marks;
inline void Bump(WatchMark& m) {
  m.beats.store(m.beats.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
}
}  // namespace watch_detail

// One more call made: progress inside a stage.
inline void WatchBeat(uint64_t worker) {
  if (watch_detail::marks != nullptr) watch_detail::Bump(watch_detail::marks[worker]);
}
// The same from a helper thread of the worker (a pool task): several may mark at once.
inline void WatchBeatFromHelper(uint64_t worker) {
  if (watch_detail::marks != nullptr)
    watch_detail::marks[worker].beats.fetch_add(1, std::memory_order_relaxed);
}
inline void WatchSetStage(uint64_t worker, WatchStage stage) {
  if (watch_detail::marks == nullptr) return;
  WatchMark& m = watch_detail::marks[worker];
  m.stage.store(static_cast<uint32_t>(stage), std::memory_order_relaxed);
  watch_detail::Bump(m);
}
inline void WatchSetWait(uint64_t worker, WatchWait wait) {
  if (watch_detail::marks == nullptr) return;
  WatchMark& m = watch_detail::marks[worker];
  m.wait.store(static_cast<uint32_t>(wait), std::memory_order_relaxed);
  watch_detail::Bump(m);
}

// A worker is about to allocate and fill its buffers (logs the progress line).
void WatchBuffers(const Context& ctx, const ThreadInfo& info);
// A warm-up (kWarmUp) or a step (kStepStart) begins at info's count, type, operation and
// mode, after SetParam: publishes them and logs the progress line.
void WatchStep(const Context& ctx, const ThreadInfo& info, WatchStage stage);

// The steps a run makes: (count, mode) steps times (type, operation) pairs.
uint64_t CountSteps(Context* ctx);
// The library call a collective of this name measures ("AllReduce": "oxclAllReduce").
std::string CallName(const std::string& collective);

// What a stalled run was doing, from the marks; the text of the watchdog's Error line.
struct StallView {
  double timeout_s = 0;
  std::string call;               // "oxclAllReduce"
  bool has_op = true;             // the collective has a reduce operation
  std::vector<std::string> type_names, op_names;
  std::vector<bool> modes;        // true: in place
  bool set_up = false;            // the main thread is in start-up, set-up or tear-down
  WatchStage main_stage = WatchStage::kSetUp;  // which of the three
  bool ranks_known = false;       // set-up done: the numbering below holds
  uint64_t comms = 1;             // communicators per worker
  int64_t first_rank = 0;         // global rank of this process's first communicator
  int32_t proc_rank = 0, nprocs = 1;
  bool aborting = false;          // there are communicators to abort
  struct Worker {
    WatchStage stage = WatchStage::kBuffers;
    WatchWait wait = WatchWait::kNone;
    uint64_t count = 0;
    int64_t type_index = -1, op_index = -1, mode_index = -1;
  };
  std::vector<Worker> workers;
};
std::string DescribeStall(const StallView& view);
// "0-3, 6, 8-9"
std::string RankList(const std::vector<int64_t>& sorted_ranks);

}  // namespace oxcl_benchmark

#endif  // OXCL_BENCHMARK_WATCHDOG_H_
