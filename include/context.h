// The run context of a process: every setting, the shared run resources and the run state.
#ifndef OXCL_BENCHMARK_CONTEXT_H_
#define OXCL_BENCHMARK_CONTEXT_H_

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common.h"
#include "log.h"
#include "oxcl.h"
#include "oxmpi_wrapper.h"
#include "oxrt.h"

namespace oxcl_benchmark {

class Algorithm;
class ThreadInfo;
class ThreadPool;

class Context {
 public:
  Context();
  virtual ~Context();
  Context(const Context&) = delete;
  Context& operator=(const Context&) = delete;

  // Platform start-up, per-run containers, the CSV file, the pools and the run-time binding.
  virtual benchmarkResult_t Init(int argc, char** argv);
  // Closes the CSV file, frees the pools, destroys the communicators, unbinds, finalises MPI
  // when the run did not fail.
  virtual benchmarkResult_t Release();

  // Runs the workers and prints the verdict (process rank 0).
  benchmarkResult_t Execute();
  // Called by a worker that completed all its steps.
  void NotifyFinish();
  // Called by any part that meets a failure the run cannot continue from.
  void NotifyExit();

  // The worker body of thread `thread_rank`.
  benchmarkResult_t GetThreadParam(int thread_rank);
  // One collective call on each of the thread's communicators, plus per-iteration sync.
  benchmarkResult_t TestTransport(ThreadInfo* info, int iteration);
  // Waits for the thread's queues at the end of a block of iterations.
  benchmarkResult_t EndTransport(ThreadInfo* info);
  // Measures one step and has the collective print its line.
  benchmarkResult_t GetTimePerColl(ThreadInfo* info);
  // Times one block of `loop` iterations (host clock, or device notifiers) into *elapsed_ms.
  benchmarkResult_t TimeBlock(ThreadInfo* info, double* elapsed_ms);
  // Thread barrier, then MPI barrier (and the error-count all-reduce). A failed MPI call ends
  // the process (CheckMpi), so there is nothing to return.
  void Barrier(uint64_t thread_rank);
  // Aborts every communicator of the process; a failed abort ends the process.
  void AbortComms();
  // Ends the run of a failed worker: with one thread at once, otherwise through the main thread.
  benchmarkResult_t FailureExit();
  // Under a launcher: ends with a message naming the first setting in which the processes
  // differ, since such processes would wait for each other for ever; 0 when they agree.
  benchmarkResult_t CheckSameSettings();

  // Takes BENCHMARK_ALLTOALL_API from the environment into alltoall_api_set/_text; by main,
  // before the watchdog starts.
  void ReadAlltoallApi();
  // Chooses the all-to-all interface (from alltoall_api_text) and reads
  // BENCHMARK_TEST_HW_TIME_ENABLE; a bad value falls back to the default with a warning.
  void ParseEnv(int thread_rank);
  unsigned GetTypeSize(oxclDataType_t type) const;
  long GetNumProcs() const { return static_cast<long>(nprocs); }

  // Environment and version report.
  void GetHostName();
  benchmarkResult_t GetDepInfo();
  // The version line, printed by thread 0 of process 0.
  void PrintDepInfo(ThreadInfo* info);

  // Who writes what, and when. The main thread fills the options, the environment settings and
  // the topology before Execute starts the workers; from then on the workers only read them,
  // except the two settings that ParseEnv (worker 0) writes before the first barrier, which the
  // other workers read only after it. The run state is shared while the workers run, and each
  // member says what guards it.

  // Options, from the command line (Argument::ParseArguments).
  uint64_t mincount = 1048576;
  uint64_t maxcount = 33554432;
  uint64_t addcount = 1048576;
  uint64_t multifactor = 1;
  std::vector<uint64_t> special_count;
  int32_t root = 0;
  uint64_t threads = 1;
  uint64_t comms = 1;
  uint64_t warmup_loop = 1;
  uint64_t loop = 1;
  uint64_t block = 0;
  uint64_t async = 0;
  uint64_t offset = 0;
  uint64_t datacheck = 0;
  uint64_t stress_test = 0;
  uint64_t clique_num = 0;
  // Accepted and range-checked; nothing in the run depends on them.
  uint64_t clique_size = 0;
  uint64_t mp_first = 1;
  uint64_t priority = 0;
  std::vector<oxclDataType_t> data_type{oxclFloat32};
  std::vector<oxclReduceOp_t> reduce_op{oxclSum};
  std::vector<std::string> data_type_names{"float"};
  std::vector<std::string> reduce_op_names{"sum"};
  // The widest element size of the -t types: buffers are sized by it.
  uint64_t max_type_size = 4;
  std::vector<bool> mode{true, false};
  std::string csv_path;
  std::string mem_usage_path;
  // -p DIR/ and -u DIR/ name a folder, which is created when missing; a file path is not.
  bool csv_in_folder = false;
  bool mem_usage_in_folder = false;

  // Environment settings, read once by main before Init.
  // Timed blocks of `loop` iterations per step (BENCHMARK_REPEAT); the table shows the median.
  uint64_t repeat = 1;
  // BENCHMARK_CHECK_EXACT=1: floating sums whose result is exact are checked bit for bit too.
  bool check_exact = false;
  // BENCHMARK_ALLTOALL_API as given (alltoall_api_set false when unset); the watchdog, the
  // check that all processes agree and ParseEnv all use this one reading.
  bool alltoall_api_set = false;
  std::string alltoall_api_text;
  // Chosen by ParseEnv on worker 0: the all-to-all interface (0 alltoallv, 1 alltoall,
  // 2 group) and whether thread 0 times with device notifiers.
  int32_t alltoall_api = 0;
  bool hw_time = false;

  // Topology and platform, from Init and Algorithm::InitComm.
  int32_t nprocs = 1;
  int32_t proc_rank = 0;
  // This process's position among the processes of its host: which cards it is dealt.
  uint64_t local_index = 0;
  uint64_t device_count = 0;
  // Card, global rank and communicator of each of the threads x comms ranks of the process,
  // indexed thread_rank * comms + c.
  std::vector<int32_t> dev_list;
  std::vector<int32_t> rank_list;
  std::vector<oxclComm*> comm_list;
  // kPoolsPerComm helper pools per communicator, for the fill and the check.
  std::vector<std::unique_ptr<ThreadPool>> pools;
  std::string host_name;
  std::string card_name;
  std::string driver_version;
  std::string oxdrv_version;
  std::string oxdev_version;
  std::string oxrt_version;
  std::string oxcl_version;
  // The collective, set by main before Execute.
  Algorithm* algorithm = nullptr;
  // The result CSV file, opened by Init; written by thread 0 of process 0 only.
  FILE* csv_file = nullptr;

  // Run state, shared by the workers.
  // barrier_mutex serialises this process's calls into the MPI wrapper, which is called by one
  // thread at a time (the barrier, the record's gathering); barrier_cv's sleepers wait under it.
  std::mutex barrier_mutex;
  // The barrier's two gates, each a count of the threads still to arrive and a generation that
  // the last of them changes: the threads meet, then (after the process barrier) none leaves
  // before every thread of the process has stored its error count summed over the processes
  // (thread 0 prints the row from all of them). A thread waits by spinning a little while the
  // threads fit the host's cores (barrier_spins), then asleep on barrier_cv.
  std::atomic<uint64_t> barrier_remaining{0};
  std::atomic<uint64_t> barrier_generation{0};
  std::atomic<uint64_t> barrier_leaving{0};
  std::atomic<uint64_t> barrier_left_generation{0};
  bool barrier_spins = false;
  // The worker threads of this host's processes already keep every core the process may use
  // busy: the fill and the check then run each chunk on its worker, since the pools would add
  // no parallelism, only hand-offs between threads and caches.
  bool chunks_on_workers = false;
  std::condition_variable barrier_cv;
  // One gate of the barrier: returns when all `threads` threads of this process have reached it.
  void PassGate(std::atomic<uint64_t>& remaining, std::atomic<uint64_t>& generation);
  // This process's mismatches of the current step, per worker thread: each slot is written by
  // its worker and the pool threads that check for it.
  std::deque<std::atomic<uint64_t>> error_counts;
  // The same counts summed over the processes at the last barrier: what the table shows.
  std::deque<std::atomic<uint64_t>> error_totals;
  // The verdict (any thread may set it) and the two ways a run ends: a worker asked it to stop
  // (NotifyExit), or a worker completed (NotifyFinish). notify_mutex and notify_cv wake the
  // main thread that waits in Execute.
  std::atomic<bool> failed{false};
  std::atomic<bool> exit_requested{false};
  std::atomic<bool> finished{false};
  std::mutex notify_mutex;
  std::condition_variable notify_cv;
  // Collective calls of the first rank, for the memory report; thread 0 of process 0 only.
  uint64_t call_count = 0;
  // Device notifiers of hw_time, created and used by thread 0 only.
  oxrtNotifier_t notifier_start = nullptr;
  oxrtNotifier_t notifier_end = nullptr;

 private:
  // Sets the flag and wakes the main thread, once.
  void Notify(std::atomic<bool>& flag);
};

// Prints the library failure on standard output and ends the process with status 1. `call`,
// when given, names the entry point and its arguments that matter, in an Error line of its own.
[[noreturn]] void OxclFatal(const char* file, int line, oxclResult_t result,
                            const std::string& call = std::string());
// Logs "OXRT error msg: ..." for a failed runtime call (and `call` as OxclFatal does; then
// `detail`, when given, before any other thread can end the process), asks the run to stop,
// returns 1.
benchmarkResult_t ReportRtError(Context* ctx, oxrtError_t code,
                                const std::string& call = std::string(),
                                const std::string& detail = std::string());
// The Error line that names a failed call: "Failed call: " and `call`; nothing when empty.
inline void LogFailedCall(const std::string& call) {
  if (!call.empty()) OXLOG(ERROR) << "Failed call: " << call;
}
// A collective library call that failed: logs "error msg: " with the library's text and then
// `call` as LogFailedCall does, asks the workers to stop (when ctx is given), returns 1.
// Defined beside the wrappers of the optional entry points (src/dl_wrapper.cpp), which their
// tests link without the rest of the framework.
benchmarkResult_t ReportOxclError(Context* ctx, oxclResult_t status,
                                  const std::string& call = std::string());
// The tail of a collective library call: 0 on success, otherwise ReportOxclError. `describe`
// names the call and runs only on failure, so that a call that succeeds builds no text.
inline benchmarkResult_t CheckStatus(oxclResult_t status, Context* ctx) {
  return status == oxclSuccess ? BENCHMARK_SUCCESS : ReportOxclError(ctx, status);
}
template <typename Describe>
benchmarkResult_t CheckStatus(oxclResult_t status, Context* ctx, Describe&& describe) {
  return status == oxclSuccess ? BENCHMARK_SUCCESS : ReportOxclError(ctx, status, describe());
}
// Ends the process with status 1 after a failed MPI wrapper call: the processes no longer
// agree on what they exchanged, and carrying on would wait for ever or hide a mismatch.
void CheckMpi(int code, const char* call);

// The most threads the system lets exist at once (kernel, control group, the user's process
// limit when not root); `which` names the binding one. UINT64_MAX when none is known.
uint64_t HostThreadLimit(std::string* which);
// The threads a run of `threads` workers with `comms` communicators each starts in a process:
// the workers, ten helper pools per communicator, and a queue thread per communicator when
// queues are used. Saturates at UINT64_MAX.
uint64_t ThreadsNeeded(uint64_t threads, uint64_t comms, bool async);
// Logs and returns 1 when the run would need more threads than `limit` (named by `which`).
benchmarkResult_t CheckThreadLimit(const Context& ctx, uint64_t limit, const std::string& which);

// The context that main always creates; the same for one process or several under a launcher.
class ParallelContext : public Context {
 public:
  ParallelContext() = default;
  ~ParallelContext() override;
};

}  // namespace oxcl_benchmark

#endif  // OXCL_BENCHMARK_CONTEXT_H_
