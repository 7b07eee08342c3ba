#include "context.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <thread>

#include "algorithm.h"
#include "dl_wrapper.h"
#include "dump_param.h"
#include "log.h"
#include "output.h"
#include "ox.h"
#include "oxdev.h"
#include "record.h"
#include "samples.h"
#include "threadinfo.h"
#include "threadpool.h"
#include "watchdog.h"

namespace oxcl_benchmark {

namespace {

// Element sizes indexed by data type code - 16, codes 16 to 51.
constexpr unsigned kTypeSizes[36] = {2, 2, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 2,
                                     4, 8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 2, 4, 8};

// How long a thread spins at a barrier gate before it sleeps.
constexpr int64_t kGateSpinNs = 50000;

void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

// Host clock reading in nanoseconds. Intervals are taken between the integers: converted to
// double first, a reading of about 1.8e18 has a step of 256 ns. The steady clock, because a
// wall-clock adjustment during a timed loop would shift its result.
int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

double ElapsedMs(int64_t t0, int64_t t1) { return static_cast<double>(t1 - t0) / 1e6; }

std::string Version3(const char* fmt, unsigned a, unsigned b, unsigned c) {
  return StrFmt(std::string(fmt) + "." + fmt + "." + fmt, a, b, c);
}

constexpr const char* kFewerThreads = "use fewer threads (-s) or communicators (-c)";

// The first number in `path`; false when the file is missing or holds no number ("max").
bool ReadNumber(const char* path, uint64_t* value) {
  std::ifstream in(path);
  unsigned long long v = 0;
  if (!(in >> v)) return false;
  *value = v;
  return true;
}

}  // namespace

uint64_t HostThreadLimit(std::string* which) {
  uint64_t limit = UINT64_MAX;
  auto lower = [&](uint64_t value, const char* name) {
    if (value != 0 && value < limit) {
      limit = value;
      if (which != nullptr) *which = name;
    }
  };
  uint64_t v = 0;
  if (ReadNumber("/proc/sys/kernel/threads-max", &v)) lower(v, "kernel.threads-max");
  if (ReadNumber("/proc/sys/kernel/pid_max", &v)) lower(v, "kernel.pid_max");
  if (ReadNumber("/sys/fs/cgroup/pids.max", &v)) lower(v, "the control group's pids.max");
  if (ReadNumber("/sys/fs/cgroup/pids/pids.max", &v)) lower(v, "the control group's pids.max");
  // Root is not held to its process limit.
  rlimit nproc{};
  if (geteuid() != 0 && getrlimit(RLIMIT_NPROC, &nproc) == 0 && nproc.rlim_cur != RLIM_INFINITY) {
    lower(static_cast<uint64_t>(nproc.rlim_cur), "the user's process limit (ulimit -u)");
  }
  return limit;
}

uint64_t ThreadsNeeded(uint64_t threads, uint64_t comms, bool async) {
  // Per communicator: its fill-and-check pools, and a queue thread when queues are used.
  const uint64_t per_comm = kPoolsPerComm + (async ? 1 : 0);
  uint64_t n = 0;
  uint64_t total = 0;
  if (__builtin_mul_overflow(threads, comms, &n) || __builtin_mul_overflow(n, per_comm, &n) ||
      __builtin_add_overflow(n, threads, &total)) {
    return UINT64_MAX;
  }
  return total;
}

benchmarkResult_t CheckThreadLimit(const Context& ctx, uint64_t limit, const std::string& which) {
  const uint64_t needed = ThreadsNeeded(ctx.threads, ctx.comms, ctx.async != 0);
  if (needed <= limit) return BENCHMARK_SUCCESS;
  // Refused before anything is sized by the thread count: a huge -s must not first allocate
  // millions of records and then fail.
  const std::string amount = needed == UINT64_MAX ? "more than " + std::to_string(needed)
                                                  : std::to_string(needed);
  OXLOG(ERROR) << "-s " << ctx.threads << " and -c " << ctx.comms << " need " << amount
               << " threads in this process, more than the " << limit << " that " << which
               << " allows; " << kFewerThreads;
  return BENCHMARK_FAILURE;
}


void OxclFatal(const char* file, int line, oxclResult_t result, const std::string& call) {
  std::printf("[%s:%d] OXCL error, msg: %s, code: %#x\n", file, line, oxclGetErrorStr(result),
              static_cast<unsigned>(result));
  // The record keeps the library's message as the failure, the call's line comes after it.
  RecordFailure(StrFmt("OXCL error, msg: %s, code: %#x", oxclGetErrorStr(result),
                       static_cast<unsigned>(result)));
  LogFailedCall(call);
  FatalExit(1);
}

benchmarkResult_t ReportRtError(Context* ctx, oxrtError_t code, const std::string& call,
                                const std::string& detail) {
  OXLOG(ERROR) << StrFmt("OXRT error msg: %s", oxrtGetErrorName(code));
  LogFailedCall(call);
  if (!detail.empty()) OXLOG(ERROR) << detail;
  ctx->NotifyExit();
  return BENCHMARK_FAILURE;
}

void CheckMpi(int code, const char* call) {
  if (code == 0) return;
  OXLOG(ERROR) << StrFmt("MPI error: %s returned %d, ending this process", call, code);
  FatalExit(1);
}

namespace {

std::string Join(const std::vector<std::string>& items) {
  std::string text;
  for (const std::string& item : items) text += (text.empty() ? "" : ",") + item;
  return text;
}

// Every setting that decides the sequence of collective calls and barriers, by the name the
// user knows it by. Processes that differ in any of them would wait for each other for ever.
std::vector<std::pair<std::string, std::string>> CallSequenceSettings(const Context& ctx) {
  std::vector<std::string> counts, modes;
  for (uint64_t c : ctx.special_count) counts.push_back(std::to_string(c));
  for (bool inplace : ctx.mode) modes.push_back(inplace ? "inplace" : "outofplace");
  std::string api = ctx.alltoall_api_text;
  std::replace(api.begin(), api.end(), '\n', ' ');  // the values travel one per line
  auto n = [](uint64_t v) { return std::to_string(v); };
  return {{"-n/--mincount", n(ctx.mincount)},
          {"-x/--maxcount", n(ctx.maxcount)},
          {"-a/--addcount", n(ctx.addcount)},
          {"-m/--multifactor", n(ctx.multifactor)},
          {"-e/--special_count", Join(counts)},
          {"-t/--data_type", Join(ctx.data_type_names)},
          {"-r/--reduce_op", Join(ctx.reduce_op_names)},
          {"-z/--mode", Join(modes)},
          {"-s/--threads", n(ctx.threads)},
          {"-c/--comms", n(ctx.comms)},
          {"-l/--loop", n(ctx.loop)},
          {"-w/--warmup_loop", n(ctx.warmup_loop)},
          {"-b/--block", n(ctx.block)},
          {"-y/--async", n(ctx.async)},
          {"-d/--datacheck", n(ctx.datacheck)},
          {"--stress_test", n(ctx.stress_test)},
          {"-o/--root", std::to_string(ctx.root)},
          {"-q/--clique_num", n(ctx.clique_num)},
          {"BENCHMARK_ALLTOALL_API", api},
          {"BENCHMARK_REPEAT", n(ctx.repeat)}};
}

std::string Shown(const std::string& value) { return value.empty() ? "(unset)" : value; }

}  // namespace

benchmarkResult_t Context::CheckSameSettings() {
  if (nprocs <= 1) return BENCHMARK_SUCCESS;
  const auto mine = CallSequenceSettings(*this);
  // Process 0's values, one per line.
  std::string text;
  for (const auto& setting : mine) text += setting.second + "\n";
  uint64_t length = text.size();
  CheckMpi(OX_MPI_Bcast(&length, 8, OX_MPI_BYTE, 0, OX_MPI_COMM_WORLD), "OX_MPI_Bcast");
  std::string theirs(length, '\0');
  if (proc_rank == 0) theirs = text;
  CheckMpi(OX_MPI_Bcast(theirs.data(), static_cast<int>(length), OX_MPI_BYTE, 0,
                        OX_MPI_COMM_WORLD),
           "OX_MPI_Bcast");
  std::vector<std::string> reference;
  size_t start = 0;
  for (size_t end; (end = theirs.find('\n', start)) != std::string::npos; start = end + 1) {
    reference.push_back(theirs.substr(start, end - start));
  }
  uint64_t first = UINT64_MAX;
  for (size_t i = 0; i < mine.size(); ++i) {
    if (i >= reference.size() || reference[i] != mine[i].second) {
      first = i;
      break;
    }
  }
  // Every process learns where every other one differs, so that all of them stop here.
  std::vector<uint64_t> firsts(static_cast<size_t>(nprocs), UINT64_MAX);
  firsts[static_cast<size_t>(proc_rank)] = first;
  CheckMpi(OX_MPI_Allgather(OX_MPI_IN_PLACE, 0, OX_MPI_DATATYPE_NULL, firsts.data(), 8,
                            OX_MPI_BYTE, OX_MPI_COMM_WORLD),
           "OX_MPI_Allgather");
  int reporter = -1;
  for (int p = 0; p < nprocs; ++p) {
    if (firsts[static_cast<size_t>(p)] != UINT64_MAX &&
        (reporter < 0 || firsts[static_cast<size_t>(p)] < firsts[static_cast<size_t>(reporter)])) {
      reporter = p;
    }
  }
  if (reporter < 0) return BENCHMARK_SUCCESS;
  // One line for the run, from the process that differs first.
  if (reporter == proc_rank) {
    const std::string theirs_value = first < reference.size() ? reference[first] : "";
    OXLOG(ERROR) << "the processes were started with different settings: "
                 << mine[first].first << " is " << Shown(mine[first].second) << " in process "
                 << proc_rank << " but " << Shown(theirs_value)
                 << " in process 0; start every process with the same options";
  }
  failed.store(true);
  return BENCHMARK_FAILURE;
}

Context::Context() = default;
Context::~Context() = default;
ParallelContext::~ParallelContext() = default;

unsigned Context::GetTypeSize(oxclDataType_t type) const {
  int index = static_cast<int>(type) - 16;
  if (index < 0 || index >= 36) return 0;
  return kTypeSizes[index];
}

benchmarkResult_t Context::Init(int argc, char** argv) {
  std::string which;
  const uint64_t thread_limit = HostThreadLimit(&which);
  if (CheckThreadLimit(*this, thread_limit, which) != BENCHMARK_SUCCESS) return BENCHMARK_FAILURE;
  // An unwritable result file would only show up at the first table line; refuse it before
  // any device work.
  if (!csv_path.empty()) {
    if (csv_in_folder) CreateFolderOf(csv_path);
    csv_file = std::fopen(csv_path.c_str(), "w");
    if (csv_file == nullptr) {
      OXLOG(ERROR) << "Cannot open the result CSV file " << csv_path << ": "
                   << std::strerror(errno) << ", please check the -p/--csv_path input";
      return BENCHMARK_FAILURE;
    }
    NameOutput(csv_file, "the result CSV file " + csv_path);
  }
  oxdevReturn_t dev = oxdevInit(0);
  if (dev != OXDEV_SUCCESS) {
    std::fprintf(stderr, "oxdevCheckErrors(%d): %s, from file <%s>, line %i.\n",
                 static_cast<int>(dev), oxdevGetErrorString(dev), LogBaseName(__FILE__),
                 __LINE__);
    RecordFailure(StrFmt("oxdevCheckErrors(%d): %s", static_cast<int>(dev),
                         oxdevGetErrorString(dev)));
    FatalExit(1);
  }
  oxInit(0);
  // Open MPI's handler of fatal signals prints a backtrace, which allocates: after a crash
  // inside malloc (a corrupted heap) it deadlocks, and the process hangs instead of ending.
  // The default action ends it with the signal; a user who wants the handler sets the variable.
  setenv("OMPI_MCA_opal_signal", "", 0);
  CheckMpi(OX_MPI_Init(&argc, &argv), "OX_MPI_Init");
  const uint64_t n = threads * comms;
  comm_list.resize(n, nullptr);
  dev_list.resize(n, 0);
  rank_list.resize(n, 0);
  error_counts.resize(threads);
  error_totals.resize(threads);
  barrier_remaining = threads;
  barrier_generation = 0;
  barrier_leaving = threads;
  const uint64_t pool_count = n * kPoolsPerComm;
  pools.reserve(pool_count);
  for (uint64_t i = 0; i < pool_count; ++i) {
    auto pool = std::make_unique<ThreadPool>(1);
    if (pool->Started() != 1) {
      // Within the limits, but the host ran out (other processes, memory for stacks). The
      // pools already started are idle and are joined when the context goes.
      OXLOG(ERROR) << "cannot start helper thread " << i + 1 << " of " << pool_count << ": "
                   << pool->StartError() << "; " << kFewerThreads;
      return BENCHMARK_FAILURE;
    }
    pools.push_back(std::move(pool));
  }
  return init_wrap();
}

benchmarkResult_t Context::Release() {
  if (!csv_path.empty() && csv_file != nullptr) {
    // A lost write is reported at the end of the run, with the other outputs.
    CloseOutput(csv_file);
    csv_file = nullptr;
  }
  pools.clear();
  // No chunk task runs any more: the fill and check arrays kept for the steps can go.
  pattern_detail::ReleaseAllStaging();
  oxclResult_t res = oxclDestroyComms(comm_list.data(), static_cast<int>(threads * comms));
  if (res != oxclSuccess) {
    OxclFatal(__FILE__, __LINE__, res,
              StrFmt("oxclDestroyComms(%llu communicators)",
                     static_cast<unsigned long long>(threads * comms)));
  }
  close_wrap();
  if (!failed.load()) CheckMpi(OX_MPI_Finalize(), "OX_MPI_Finalize");
  return BENCHMARK_SUCCESS;
}

benchmarkResult_t Context::Execute() {
  if (threads == 1) {
    benchmarkResult_t r = GetThreadParam(0);
    if (r != BENCHMARK_SUCCESS) return r;
  } else {
    std::unique_lock<std::mutex> lock(notify_mutex);
    std::vector<std::thread> workers;
    workers.reserve(threads);
    auto abort_run = [&]() {
      AbortComms();
      // Workers may still be running: leave without static destructors. They are released
      // rather than joined, since a worker can sit in a collective that never completes.
      for (std::thread& worker : workers) worker.detach();
      FatalExit(1);
    };
    for (uint64_t i = threads; i-- > 0;) {
      std::string error;
      // A worker's failure reaches this thread through the flags (failed, exit_requested),
      // which every failing path of the worker sets; its result has nothing to add.
      auto body = [this, i] { (void)GetThreadParam(static_cast<int>(i)); };
      if (!StartThread(&workers, body, &error)) {
        // The workers already started wait in the first barrier for this one: end the run
        // the way a failed worker does. Thread 0 starts last, so nothing has been printed.
        OXLOG(ERROR) << "cannot start worker thread " << threads - i << " of " << threads << ": "
                     << error << "; " << kFewerThreads;
        failed.store(true);
        exit_requested.store(true);
        abort_run();
      }
    }
    notify_cv.wait(lock, [this] { return exit_requested.load() || finished.load(); });
    if (exit_requested.load()) abort_run();
    lock.unlock();
    for (auto it = workers.rbegin(); it != workers.rend(); ++it) it->join();
  }
  const char* word = failed.load() ? "FAILED" : "PASSED";
  RecordVerdict(word);
  if (proc_rank == 0) {
    std::printf("# All Result Check: %s\n", word);
    FlushOutput(stdout);
    if (!csv_path.empty() && csv_file != nullptr) FlushOutput(csv_file);
    LogNoiseWarning();
  }
  return BENCHMARK_SUCCESS;
}

void Context::NotifyFinish() { Notify(finished); }

void Context::NotifyExit() { Notify(exit_requested); }

void Context::Notify(std::atomic<bool>& flag) {
  if (flag.load()) return;
  std::lock_guard<std::mutex> lock(notify_mutex);
  flag.store(true);
  notify_cv.notify_all();
}

void Context::ReadAlltoallApi() {
  const char* env = std::getenv("BENCHMARK_ALLTOALL_API");
  alltoall_api_set = env != nullptr;
  alltoall_api_text = env == nullptr ? "" : env;
}

void Context::ParseEnv(int thread_rank) {
  const bool reporter = thread_rank == 0 && proc_rank == 0;
  const bool is_alltoall = algorithm != nullptr && algorithm->GetName() == "AlltoAll";
  std::string api = alltoall_api_text;
  if (api.empty()) api = "alltoallv";
  if (api != "alltoall" && api != "alltoallv" && api != "group") {
    if (is_alltoall && reporter) {
      OXLOG(WARNING) << "Not supported BENCHMARK_ALLTOALL_API env value, only support group or "
                        "alltoall or alltoallv, change to test alltoallv";
    }
    api = "alltoallv";
  }
  if (is_alltoall && reporter) {
    if (api == "alltoall") OXLOG(DEBUG) << "Run oxclAlltoAll" << std::endl;
    if (api == "alltoallv") OXLOG(DEBUG) << "Run oxclAlltoAllv" << std::endl;
    if (api == "group") OXLOG(DEBUG) << "Run Group Send/Recv" << std::endl;
  }
  if (api == "alltoallv") alltoall_api = 0;
  if (api == "alltoall") alltoall_api = 1;
  if (api == "group") alltoall_api = 2;
  if (is_alltoall) {
    algorithm->SetName(api == "alltoallv" ? "AlltoAllv"
                                          : (api == "alltoall" ? "AlltoAll" : "Group/Send/Recv"));
    // Chosen by the environment, not the command line: say which interface is measured.
    if (reporter && alltoall_api_set && api == alltoall_api_text) {
      OXLOG(WARNING) << "BENCHMARK_ALLTOALL_API=" << api << ": measuring "
                     << (api == "group" ? "grouped oxclSend/oxclRecv"
                                        : (api == "alltoall" ? "oxclAlltoAll" : "oxclAlltoAllv"));
    }
  }
  hw_time = false;
  const char* hw = std::getenv("BENCHMARK_TEST_HW_TIME_ENABLE");
  if (hw != nullptr && std::strcmp(hw, "0") != 0) {
    hw_time = true;
    if (async == 0) {
      hw_time = false;
      if (reporter) OXLOG(WARNING) << "Sync mode cannot test hardware time, change to test software time";
    } else if (reporter) {
      OXLOG(WARNING) << "BENCHMARK_TEST_HW_TIME_ENABLE=" << hw
                     << ": thread 0 times the loop with device notifiers, other threads with "
                        "the host clock";
    }
  } else if (hw != nullptr && reporter) {
    OXLOG(WARNING) << "BENCHMARK_TEST_HW_TIME_ENABLE=0: the loop is timed with the host clock";
  }
}

void Context::GetHostName() {
  char buffer[1024];
  std::memset(buffer, 0, sizeof(buffer));
  gethostname(buffer, sizeof(buffer));
  buffer[sizeof(buffer) - 1] = '\0';
  host_name = buffer;
}

benchmarkResult_t Context::GetDepInfo() {
  char* bus_id = new char[15]();
  oxError_t drv = oxDeviceGetPCIBusId(bus_id, 15, 0);
  auto api_error = [this](oxError_t code, const char* call) {
    const char* text = nullptr;
    oxGetErrorString(code, &text);
    OXLOG(ERROR) << StrFmt("OXAPI error, msg: %s", text == nullptr ? "unknown error" : text);
    LogFailedCall(call);
    NotifyExit();
    return BENCHMARK_FAILURE;
  };
  auto dev_error = [this](oxdevReturn_t code, const std::string& call) {
    OXLOG(ERROR) << StrFmt("OXDEV error, msg: %s", oxdevGetErrorString(code));
    LogFailedCall(call);
    NotifyExit();
    return BENCHMARK_FAILURE;
  };
  if (drv != OX_SUCCESS) {
    delete[] bus_id;
    return api_error(drv, "oxDeviceGetPCIBusId(card 0)");
  }
  oxdevDevice_t handle = nullptr;
  oxdevReturn_t dev = oxdevGetDeviceHandleByPciBusId(bus_id, &handle);
  const std::string bus_text = bus_id;
  delete[] bus_id;
  if (dev != OXDEV_SUCCESS) {
    return dev_error(dev, "oxdevGetDeviceHandleByPciBusId(" + bus_text + ")");
  }
  const char* name = oxdevGetCardNameStringByDevId(handle);
  if (name == nullptr) {
    // No error code comes with it: the card model decides how results are checked, so the run
    // cannot go on without it.
    OXLOG(ERROR) << "OXDEV error, msg: no card name for the device at PCI bus id " << bus_text;
    NotifyExit();
    return BENCHMARK_FAILURE;
  }
  card_name = name;
  oxdevVersion_t record{};
  record.version = OXDEV_VERSION_RECORD;
  dev = oxdevGetLibVersion(&record);
  if (dev != OXDEV_SUCCESS) return dev_error(dev, "oxdevGetLibVersion");
  oxdev_version = Version3("%u", record.major, record.minor, record.patch);
  int a = 0, b = 0, c = 0;
  oxrtError_t rt = oxrtGetLibVersion(&a, &b, &c);
  if (rt != oxrtSuccess) return ReportRtError(this, rt, "oxrtGetLibVersion");
  oxrt_version = StrFmt("%d.%d.%d", a, b, c);
  drv = oxGetDriverVersion(&a, &b, &c);
  if (drv != OX_SUCCESS) return api_error(drv, "oxGetDriverVersion");
  driver_version = StrFmt("%d.%d.%d", a, b, c);
  drv = oxGetLibVersion(&a, &b, &c);
  if (drv != OX_SUCCESS) return api_error(drv, "oxGetLibVersion");
  oxdrv_version = StrFmt("%d.%d.%d", a, b, c);
  oxclResult_t cl = oxclGetLibVersion(&a, &b, &c);
  if (cl != oxclSuccess) OxclFatal(__FILE__, __LINE__, cl, "oxclGetLibVersion");
  oxcl_version = StrFmt("%d.%d.%d", a, b, c);
  return BENCHMARK_SUCCESS;
}

void Context::PrintDepInfo(ThreadInfo* info) {
  if (info->thread_rank != 0 || proc_rank != 0) return;
  std::printf("[%s][DRIVER:%s][OXDRV:%s][OXDEV:%s][OXRT:%s][OXCL:%s]\n", card_name.c_str(),
              driver_version.c_str(), oxdrv_version.c_str(), oxdev_version.c_str(),
              oxrt_version.c_str(), oxcl_version.c_str());
  FlushOutput(stdout);
  if (!csv_path.empty() && csv_file != nullptr) FlushOutput(csv_file);
}

void Context::PassGate(std::atomic<uint64_t>& remaining, std::atomic<uint64_t>& generation) {
  // The generation cannot change before this thread has arrived, so the one read here is the
  // one that the last thread changes.
  const uint64_t seen = generation.load(std::memory_order_acquire);
  if (remaining.fetch_sub(1, std::memory_order_acq_rel) == 1) {
    remaining.store(threads, std::memory_order_relaxed);
    // It alternates between 0 and all ones.
    generation.store(seen == 0 ? ~uint64_t{0} : seen + 1, std::memory_order_release);
    // Taking the mutex orders the change before any sleeper's look at it.
    { std::lock_guard<std::mutex> lock(barrier_mutex); }
    barrier_cv.notify_all();
    return;
  }
  const auto moved = [&] { return generation.load(std::memory_order_acquire) != seen; };
  if (barrier_spins) {
    // A hand-off through the kernel costs tens of microseconds on a virtual machine, more than
    // most waits here. The threads have a core each, so a short spin takes nothing from them.
    const int64_t until = NowNs() + kGateSpinNs;
    do {
      for (int i = 0; i < 64; ++i) {
        if (moved()) return;
        CpuRelax();
      }
    } while (NowNs() < until);
  }
  std::unique_lock<std::mutex> lock(barrier_mutex);
  barrier_cv.wait(lock, moved);
}

void Context::Barrier(uint64_t thread_rank) {
  WatchSetWait(thread_rank, WatchWait::kThreadBarrier);
  PassGate(barrier_remaining, barrier_generation);
  WatchSetWait(thread_rank, WatchWait::kProcessBarrier);
  {
    std::lock_guard<std::mutex> lock(barrier_mutex);
    CheckMpi(OX_MPI_Barrier(OX_MPI_COMM_WORLD), "OX_MPI_Barrier");
    // Stress mode checks every iteration: its mismatches must reach process 0's table and
    // verdict like those of the data check.
    if ((datacheck != 0 || stress_test != 0) && thread_rank < error_counts.size()) {
      unsigned long value = error_counts[thread_rank].load();
      CheckMpi(OX_MPI_Allreduce(OX_MPI_IN_PLACE, &value, 1, OX_MPI_UNSIGNED_LONG, OX_MPI_SUM,
                                OX_MPI_COMM_WORLD),
               "OX_MPI_Allreduce");
      // The local count stays as it is, so that later iterations of the step add to it and the
      // next sum does not count what this one already did.
      error_totals[thread_rank].store(value);
      if (value != 0) failed.store(true);
    }
  }
  PassGate(barrier_leaving, barrier_left_generation);
  WatchSetWait(thread_rank, WatchWait::kNone);
}

void Context::AbortComms() {
  for (uint64_t i = 0; i < comm_list.size(); ++i) {
    oxclResult_t res = oxclAbortComm(comm_list[i]);
    if (res != oxclSuccess) {
      OxclFatal(__FILE__, __LINE__, res,
                StrFmt("oxclAbortComm(card %d, rank %d)", dev_list[i], rank_list[i]));
    }
  }
}

benchmarkResult_t Context::FailureExit() {
  failed.store(true);
  exit_requested.store(true);
  if (threads == 1) {
    // The same end as with several workers. An aborted collective can still be running on a
    // queue thread, here or in a peer process, and write the buffers of every rank: none is
    // freed or destroyed, the process ends with them.
    AbortComms();
    FatalExit(1);
  }
  // The main thread aborts the communicators and ends the process.
  std::lock_guard<std::mutex> lock(notify_mutex);
  notify_cv.notify_all();
  return BENCHMARK_FAILURE;
}

benchmarkResult_t Context::TestTransport(ThreadInfo* info, int iteration) {
  const uint64_t e = info->GetAddrOffset(this, iteration);
  const oxclDataType_t type = data_type[info->type_index];
  const bool inplace = mode[info->mode_index];
  if (exit_requested.load()) return BENCHMARK_FAILURE;
  const uint64_t byte_offset = e * GetTypeSize(type);
  for (uint64_t c = 0; c < comms; ++c) {
    char* recv = static_cast<char*>(info->recv_buffs[c]) + byte_offset;
    char* send = inplace ? recv : static_cast<char*>(info->send_buffs[c]) + byte_offset;
    benchmarkResult_t r = algorithm->RunAlgo(info, send, recv, static_cast<int>(c));
    if (r != BENCHMARK_SUCCESS) return r;
    if (proc_rank == 0 && info->thread_rank * comms + c == 0) ++call_count;
  }
  WatchBeat(info->thread_rank);
  if (block == 0) return BENCHMARK_SUCCESS;
  if (async == 0) {
    Barrier(info->thread_rank);
    return BENCHMARK_SUCCESS;
  }
  WatchSetWait(info->thread_rank, WatchWait::kQueueSync);
  benchmarkResult_t r = algorithm->ThreadQueueSync(info);
  WatchSetWait(info->thread_rank, WatchWait::kNone);
  if (r == BENCHMARK_SUCCESS) {
    Barrier(info->thread_rank);
    return BENCHMARK_SUCCESS;
  }
  if (r == BENCHMARK_QUIT) return r;
  OXLOG(ERROR) << StrFmt("error msg: %s", "sync queue error");
  return r;
}

benchmarkResult_t Context::EndTransport(ThreadInfo* info) {
  if (block != 0 || async == 0) return BENCHMARK_SUCCESS;
  WatchSetWait(info->thread_rank, WatchWait::kQueueSync);
  benchmarkResult_t r = algorithm->ThreadQueueSync(info);
  WatchSetWait(info->thread_rank, WatchWait::kNone);
  if (r == BENCHMARK_SUCCESS || r == BENCHMARK_QUIT) return r;
  OXLOG(ERROR) << StrFmt("error msg: %s", "sync queue error");
  return r;
}

#define OX_RETURN_IF_FAILED(call)                 \
  do {                                            \
    benchmarkResult_t r_ = (call);                \
    if (r_ != BENCHMARK_SUCCESS) return r_;       \
  } while (0)

benchmarkResult_t Context::TimeBlock(ThreadInfo* info, double* elapsed_ms) {
  const uint64_t rank = info->thread_rank;
  double elapsed = 0.0;
  if (stress_test != 0) {
    for (uint64_t i = 0; i < loop; ++i) {
      OX_RETURN_IF_FAILED(algorithm->InitData(info, i));
      const int64_t t0 = NowNs();
      OX_RETURN_IF_FAILED(TestTransport(info, static_cast<int>(i)));
      OX_RETURN_IF_FAILED(EndTransport(info));
      elapsed += ElapsedMs(t0, NowNs());
      OX_RETURN_IF_FAILED(algorithm->Check(info, i));
      Barrier(rank);
    }
  } else {
    const bool device_time = hw_time && rank == 0;
    const int64_t t0 = NowNs();
    if (device_time) {
      oxrtError_t code = oxrtPlaceNotifier(notifier_start, info->queues[0]);
      if (code != oxrtSuccess) return ReportRtError(this, code, "oxrtPlaceNotifier(start)");
    }
    for (uint64_t i = 0; i < loop; ++i) OX_RETURN_IF_FAILED(TestTransport(info, static_cast<int>(i)));
    OX_RETURN_IF_FAILED(EndTransport(info));
    elapsed = ElapsedMs(t0, NowNs());
    if (device_time) {
      float duration = 1.0f;
      oxrtError_t code = oxrtPlaceNotifier(notifier_end, info->queues[0]);
      if (code == oxrtSuccess) code = oxrtWaitNotifier(notifier_end);
      if (code == oxrtSuccess) code = oxrtNotifierDuration(notifier_start, notifier_end, &duration);
      if (code != oxrtSuccess) {
        return ReportRtError(this, code, "oxrtPlaceNotifier/oxrtWaitNotifier/oxrtNotifierDuration");
      }
      elapsed = static_cast<double>(duration / 1000);
    }
  }
  *elapsed_ms = elapsed;
  return BENCHMARK_SUCCESS;
}

benchmarkResult_t Context::GetTimePerColl(ThreadInfo* info) {
  const uint64_t rank = info->thread_rank;
  Barrier(rank);
  OX_RETURN_IF_FAILED(TestTransport(info, 0));
  OX_RETURN_IF_FAILED(EndTransport(info));
  Barrier(rank);
  info->ResetErrorCount(this);
  WatchSetStage(rank, WatchStage::kTimed);
  const uint64_t blocks = std::max<uint64_t>(repeat, 1);
  std::vector<double> block_ms;
  block_ms.reserve(blocks);
  for (uint64_t b = 0; b < blocks; ++b) {
    // Every block starts with all ranks together, as the first one does.
    if (b > 0) Barrier(rank);
    double ms = 0.0;
    OX_RETURN_IF_FAILED(TimeBlock(info, &ms));
    block_ms.push_back(ms);
  }
  const double elapsed = block_ms[MedianBlock(block_ms)];
  // A loop count of 0 measures nothing: report 0 instead of dividing by zero.
  const auto per_op = [this](double ms) {
    return loop == 0 ? 0.0 : ms / (static_cast<double>(loop) * 1000.0);
  };
  info->block_us.clear();
  for (double ms : block_ms) info->block_us.push_back(per_op(ms) * 1e6);
  RecordLoopTimes(rank, block_ms);
  Barrier(rank);
  if (datacheck != 0) {
    WatchSetStage(rank, WatchStage::kDataCheck);
    OX_RETURN_IF_FAILED(algorithm->InitData(info, 0));
    Barrier(rank);
    OX_RETURN_IF_FAILED(TestTransport(info, 0));
    OX_RETURN_IF_FAILED(EndTransport(info));
    Barrier(rank);
    OX_RETURN_IF_FAILED(algorithm->Check(info, 0));
    Barrier(rank);
  }
  const double seconds = per_op(elapsed);
  RecordGatherStep(this, rank);
  return algorithm->GetDataRate(info, seconds);
}
#undef OX_RETURN_IF_FAILED

benchmarkResult_t Context::GetThreadParam(int thread_rank) {
  ThreadInfo info;
  info.thread_rank = static_cast<uint64_t>(thread_rank);
  // The host arrays go on every way out, also the early returns that skip ReleaseBuffer; the
  // device buffers stay as the failure paths leave them.
  struct HostArrays {
    ThreadInfo& info;
    ~HostArrays() {
      for (void*& p : info.host_buffs) {
        std::free(p);
        p = nullptr;
      }
    }
  } host_arrays{info};
  auto failure_exit = [this]() { return FailureExit(); };
  if (thread_rank == 0) ParseEnv(0);
  Barrier(info.thread_rank);
  WatchBuffers(*this, info);
  // A failure here has already asked the run to stop; the worker still meets the barrier
  // below, as the others wait there for it, and leaves before the first step.
  const benchmarkResult_t buffers = info.InitBuffer(this);
  PrintDepInfo(&info);
  if (algorithm->PrintTitle(&info) != BENCHMARK_SUCCESS) return failure_exit();
  Barrier(info.thread_rank);
  const bool memory_report = !mem_usage_path.empty() && thread_rank == 0 && proc_rank == 0;
  auto select_first_card = [this]() {
    const int card = dev_list.empty() ? 0 : dev_list[0];
    oxrtError_t code = oxrtSetDevice(card);
    if (code == oxrtSuccess) return true;
    // It logs and asks the run to stop; the caller ends the worker on false.
    (void)ReportRtError(this, code, StrFmt("oxrtSetDevice(card %d)", card));
    return false;
  };
  if (memory_report) {
    call_count = 0;
    if (!select_first_card()) return failure_exit();
    DumpPrimsParam* dump = DumpPrimsParam::GetSingleton();
    if (dump->SetName(algorithm->GetName()) != BENCHMARK_SUCCESS ||
        dump->GetInitMem(kRunCollPhase, this) != BENCHMARK_SUCCESS) {
      return failure_exit();
    }
  }
  if (buffers != BENCHMARK_SUCCESS) return BENCHMARK_FAILURE;
  while (info.GetTypeAndOp(this)) {
    if (exit_requested.load()) return BENCHMARK_FAILURE;
    info.count = maxcount;
    if (!special_count.empty() && special_count.back() > info.count) info.count = special_count.back();
    info.mode_index = 0;
    if (algorithm->SetParam(&info) != BENCHMARK_SUCCESS) return failure_exit();
    WatchStep(*this, info, WatchStage::kWarmUp);
    for (uint64_t i = 0; i < warmup_loop; ++i) {
      if (TestTransport(&info, static_cast<int>(i)) != BENCHMARK_SUCCESS) return failure_exit();
    }
    if (EndTransport(&info) != BENCHMARK_SUCCESS) return failure_exit();
    info.ResetCountAndMode();
    while (info.GetTransferSizeAndMode(this)) {
      if (exit_requested.load()) return BENCHMARK_FAILURE;
      if (algorithm->SetParam(&info) != BENCHMARK_SUCCESS) return failure_exit();
      WatchStep(*this, info, WatchStage::kStepStart);
      if (GetTimePerColl(&info) != BENCHMARK_SUCCESS) return failure_exit();
    }
  }
  WatchSetStage(info.thread_rank, WatchStage::kEnd);
  if (memory_report) {
    if (!select_first_card()) return failure_exit();
    if (DumpPrimsParam::GetSingleton()->DumpRunTimeMem("oxcl" + algorithm->GetName(),
                                                       kRunCollPhase, this) != BENCHMARK_SUCCESS) {
      return failure_exit();
    }
  }
  // No worker gives its buffers back before the memory in use was sampled: a rank sharing the
  // first card would otherwise take its buffers off the figure.
  Barrier(info.thread_rank);
  // Buffers that cannot be given back are a failed run, even when every check passed.
  if (info.ReleaseBuffer(this) != BENCHMARK_SUCCESS) {
    failed.store(true);
    return BENCHMARK_FAILURE;
  }
  NotifyFinish();
  return BENCHMARK_SUCCESS;
}

}  // namespace oxcl_benchmark
