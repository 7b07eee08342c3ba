#include "watchdog.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "algorithm.h"
#include "context.h"
#include "log.h"
#include "threadinfo.h"

namespace oxcl_benchmark {

namespace watch_detail {
WatchMark* marks = nullptr;
}  // namespace watch_detail

namespace {

using Clock = std::chrono::steady_clock;

// Taken when the program loads: the progress lines count from the start of the process.
const Clock::time_point process_start = Clock::now();

double Elapsed() { return std::chrono::duration<double>(Clock::now() - process_start).count(); }

WatchSettings settings;

// How long an abort may take before the process ends without it: an abort that never
// returns must not undo the watchdog.
constexpr std::chrono::seconds kAbortGrace(5);

// The steps of the sweep and how many were started; only the reporting worker touches them.
uint64_t progress_total = 0;
uint64_t progress_started = 0;

// The monitor thread and what it must know to report and end a stall. Never freed: the
// monitor may still run while the process ends.
struct Monitor {
  std::mutex mutex;
  std::condition_variable cv;
  bool stopping = false;           // under mutex
  bool fired = false;              // under mutex
  StallView view;                  // under mutex; the workers are filled in at a stall
  std::vector<oxclComm*> comms;    // under mutex
  size_t mark_count = 0;
  std::thread thread;

  void Run();
};
Monitor* monitor = nullptr;

[[noreturn]] void EndStalledRun(const StallView& view, const std::vector<oxclComm*>& comms) {
  OXLOG(ERROR) << DescribeStall(view);
  if (!comms.empty()) {
    // The hung calls return once their communicators are aborted; the process ends after the
    // aborts, or after the grace time when an abort itself hangs.
    struct Done {
      std::mutex mutex;
      std::condition_variable cv;
      bool done = false;
    };
    auto done = std::make_shared<Done>();
    auto abort_all = [comms, done] {
      for (oxclComm* comm : comms) oxclAbortComm(comm);
      std::lock_guard<std::mutex> lock(done->mutex);
      done->done = true;
      done->cv.notify_all();
    };
    bool finished = false;
    try {
      std::thread(abort_all).detach();
      std::unique_lock<std::mutex> lock(done->mutex);
      finished = done->cv.wait_for(lock, kAbortGrace, [&] { return done->done; });
    } catch (const std::system_error&) {
      abort_all();  // no thread to spare: abort here and hope
      finished = true;
    }
    if (!finished) {
      OXLOG(ERROR) << "oxclAbortComm did not return within " << kAbortGrace.count()
                   << " s; ending the process without it";
    }
  }
  FatalExit(1);
}

void Monitor::Run() {
  const auto timeout = std::chrono::duration<double>(settings.timeout_s);
  // Fine enough for a small timeout, rare enough to cost nothing.
  const auto tick = std::clamp<Clock::duration>(
      std::chrono::duration_cast<Clock::duration>(timeout / 10), std::chrono::milliseconds(10),
      std::chrono::milliseconds(250));
  WatchMark* marks = watch_detail::marks;
  std::vector<uint64_t> seen(mark_count);
  auto moved = [&] {
    bool any = false;
    for (size_t i = 0; i < mark_count; ++i) {
      const uint64_t beats = marks[i].beats.load(std::memory_order_relaxed);
      if (beats != seen[i]) any = true;
      seen[i] = beats;
    }
    return any;
  };
  moved();
  Clock::time_point last = Clock::now();
  std::unique_lock<std::mutex> lock(mutex);
  while (!stopping) {
    cv.wait_for(lock, tick);
    if (stopping) break;
    const Clock::time_point now = Clock::now();
    if (moved()) {
      last = now;
      continue;
    }
    if (now - last < timeout) continue;
    fired = true;
    StallView stalled = view;
    const size_t workers = mark_count - 1;
    stalled.main_stage = static_cast<WatchStage>(marks[workers].stage.load());
    stalled.set_up = stalled.main_stage == WatchStage::kSetUp ||
                     stalled.main_stage == WatchStage::kStartUp ||
                     stalled.main_stage == WatchStage::kTearDown;
    stalled.workers.resize(workers);
    for (size_t i = 0; i < workers; ++i) {
      StallView::Worker& w = stalled.workers[i];
      w.stage = static_cast<WatchStage>(marks[i].stage.load(std::memory_order_relaxed));
      w.wait = static_cast<WatchWait>(marks[i].wait.load(std::memory_order_relaxed));
      w.count = marks[i].count.load(std::memory_order_relaxed);
      w.type_index = marks[i].type_index.load(std::memory_order_relaxed);
      w.op_index = marks[i].op_index.load(std::memory_order_relaxed);
      w.mode_index = marks[i].mode_index.load(std::memory_order_relaxed);
    }
    const std::vector<oxclComm*> to_abort = comms;
    lock.unlock();
    EndStalledRun(stalled, to_abort);
  }
}

// Whole digits with at most one decimal point, nothing else.
bool DecimalNumber(const std::string& text) {
  bool digit = false, point = false;
  for (char c : text) {
    if (c >= '0' && c <= '9') {
      digit = true;
    } else if (c == '.' && !point) {
      point = true;
    } else {
      return false;
    }
  }
  return digit;
}

const char* StageText(WatchStage stage) {
  switch (stage) {
    case WatchStage::kBuffers: return "buffer set-up";
    case WatchStage::kWarmUp: return "the warm-up";
    case WatchStage::kStepStart: return "the warm-up call of a step";
    case WatchStage::kTimed: return "the timed loop";
    case WatchStage::kDataCheck: return "the data check";
    case WatchStage::kEnd: return "the end of the run";
    case WatchStage::kSetUp: return "communicator set-up";
    case WatchStage::kRunning: return "the run";
    case WatchStage::kStartUp: return "start-up (device and MPI initialisation)";
    case WatchStage::kTearDown: return "tear-down (communicators destroyed, MPI finalised)";
  }
  return "an unknown phase";
}

const char* WaitText(WatchWait wait) {
  switch (wait) {
    case WatchWait::kNone: return "";
    case WatchWait::kQueueSync: return " (a queue sync)";
    case WatchWait::kThreadBarrier: return " (a barrier between threads)";
    case WatchWait::kProcessBarrier: return " (a barrier between processes)";
  }
  return "";
}

bool Working(const StallView::Worker& w) {
  return w.wait == WatchWait::kNone || w.wait == WatchWait::kQueueSync;
}

template <typename T>
const char* NameAt(const std::vector<T>& names, int64_t i) {
  return i >= 0 && static_cast<size_t>(i) < names.size() ? names[i].c_str() : "?";
}

// "<count> <type> [<op>] <mode>"
std::string StepText(uint64_t count, const std::string& type, const std::string& op,
                     bool has_op, bool inplace) {
  std::string text = std::to_string(count) + " " + type;
  if (has_op) text += " " + op;
  return text + (inplace ? " in-place" : " out-of-place");
}

bool HasOp(const std::string& call) { return call.find("Reduce") != std::string::npos; }

}  // namespace

bool ParseTimeout(const char* text, double* seconds, std::string* why) {
  if (text == nullptr || *text == '\0') {
    *seconds = 0;
    return true;
  }
  const std::string value = text;
  // A year at most keeps every later sum of times finite and exact to the millisecond.
  constexpr double kMax = 365.0 * 24 * 3600;
  if (!DecimalNumber(value) || value.size() > 32) {
    *why = "BENCHMARK_TIMEOUT_S=" + value.substr(0, 32) +
           " is not a number of seconds; give a positive number such as 60, or 0 for no "
           "timeout";
    return false;
  }
  const double v = std::strtod(value.c_str(), nullptr);
  if (!(v <= kMax)) {
    *why = "BENCHMARK_TIMEOUT_S=" + value + " is more than a year; give at most 31536000";
    return false;
  }
  *seconds = v;
  return true;
}

bool ParseProgress(const char* text, bool* on, std::string* why) {
  if (text == nullptr || *text == '\0' || std::strcmp(text, "0") == 0) {
    *on = false;
    return true;
  }
  if (std::strcmp(text, "1") == 0) {
    *on = true;
    return true;
  }
  *why = std::string("BENCHMARK_PROGRESS=") + std::string(text).substr(0, 32) +
         " is not supported; give 1 for progress lines or 0 for none";
  return false;
}

benchmarkResult_t ReadWatchSettings() {
  std::string why;
  WatchSettings s;
  if (!ParseTimeout(std::getenv("BENCHMARK_TIMEOUT_S"), &s.timeout_s, &why) ||
      !ParseProgress(std::getenv("BENCHMARK_PROGRESS"), &s.progress, &why)) {
    OXLOG(ERROR) << why;
    return BENCHMARK_FAILURE;
  }
  settings = s;
  progress_total = progress_started = 0;
  return BENCHMARK_SUCCESS;
}

const WatchSettings& GetWatchSettings() { return settings; }

std::string CallName(const std::string& collective) {
  if (collective == "Group/Send/Recv") return "grouped oxclSend/oxclRecv";
  return "oxcl" + collective;
}

benchmarkResult_t StartWatchdog(const Context& ctx, const std::string& collective) {
  if (settings.timeout_s <= 0 || monitor != nullptr) return BENCHMARK_SUCCESS;
  const size_t workers = static_cast<size_t>(ctx.threads);
  auto* marks = new WatchMark[workers + 1];
  marks[workers].stage.store(static_cast<uint32_t>(WatchStage::kStartUp));
  watch_detail::marks = marks;
  monitor = new Monitor;
  monitor->mark_count = workers + 1;
  StallView& v = monitor->view;
  v.timeout_s = settings.timeout_s;
  std::string name = collective;
  if (name == "AlltoAll") {
    // The interface is chosen when the first worker starts; the set-up is the same for all.
    const std::string& api = ctx.alltoall_api_text;
    name = api == "alltoall" ? "AlltoAll" : (api == "group" ? "Group/Send/Recv" : "AlltoAllv");
  }
  v.call = CallName(name);
  v.has_op = HasOp(v.call);
  v.type_names = ctx.data_type_names;
  v.op_names = ctx.reduce_op_names;
  v.modes = ctx.mode;
  v.comms = ctx.comms;
  try {
    monitor->thread = std::thread([] { monitor->Run(); });
  } catch (const std::system_error& e) {
    OXLOG(ERROR) << "cannot start the watchdog thread of BENCHMARK_TIMEOUT_S: " << e.what()
                 << "; use fewer threads (-s) or run without BENCHMARK_TIMEOUT_S";
    return BENCHMARK_FAILURE;
  }
  return BENCHMARK_SUCCESS;
}

void WatchCommunicators(const Context& ctx) {
  if (monitor == nullptr) return;
  {
    std::lock_guard<std::mutex> lock(monitor->mutex);
    monitor->comms = ctx.comm_list;
    StallView& v = monitor->view;
    v.ranks_known = true;
    v.first_rank = static_cast<int64_t>(ctx.threads * ctx.comms) * ctx.proc_rank;
    v.proc_rank = ctx.proc_rank;
    v.nprocs = ctx.nprocs;
    v.aborting = !monitor->comms.empty();
  }
  WatchSetStage(ctx.threads, WatchStage::kRunning);
}

void WatchSetUp(const Context& ctx) { WatchSetStage(ctx.threads, WatchStage::kSetUp); }

void WatchTearDown(const Context& ctx) {
  if (monitor == nullptr) return;
  {
    // Destroyed communicators must not be aborted.
    std::lock_guard<std::mutex> lock(monitor->mutex);
    monitor->comms.clear();
    monitor->view.aborting = false;
  }
  WatchSetStage(ctx.threads, WatchStage::kTearDown);
}

void StopWatchdog() {
  if (monitor == nullptr) return;
  std::unique_lock<std::mutex> lock(monitor->mutex);
  if (monitor->fired) {
    // The monitor is ending the process; returning would race its exit with ours.
    lock.unlock();
    for (;;) pause();
  }
  if (monitor->stopping) return;
  monitor->stopping = true;
  monitor->cv.notify_all();
  lock.unlock();
  monitor->thread.join();
}

void WatchBuffers(const Context& ctx, const ThreadInfo& info) {
  WatchSetStage(info.thread_rank, WatchStage::kBuffers);
  if (info.thread_rank != 0) return;
  if (monitor != nullptr && ctx.algorithm != nullptr) {
    // The first worker has just chosen the interface (BENCHMARK_ALLTOALL_API).
    std::lock_guard<std::mutex> lock(monitor->mutex);
    monitor->view.call = CallName(ctx.algorithm->GetName());
    monitor->view.has_op = HasOp(monitor->view.call);
  }
  if (!settings.progress || ctx.proc_rank != 0) return;
  const uint64_t cap = OffsetCap(ctx);
  const uint64_t bytes = (ctx.mincount > cap ? ctx.mincount : cap) * ctx.max_type_size;
  const bool two = !(ctx.mode.size() == 1 && ctx.mode[0]);
  OXLOG(INFO) << StrFmt("allocating and filling device buffers: %d of %llu bytes for each of "
                        "%llu communicators in this process, elapsed %.1f s",
                        two ? 2 : 1, static_cast<unsigned long long>(bytes),
                        static_cast<unsigned long long>(ctx.threads * ctx.comms), Elapsed());
}

void WatchStep(const Context& ctx, const ThreadInfo& info, WatchStage stage) {
  if (WatchMark* marks = watch_detail::marks) {
    WatchMark& m = marks[info.thread_rank];
    m.count.store(info.coll_count, std::memory_order_relaxed);
    m.type_index.store(info.type_index, std::memory_order_relaxed);
    m.op_index.store(info.op_index, std::memory_order_relaxed);
    m.mode_index.store(info.mode_index, std::memory_order_relaxed);
    WatchSetStage(info.thread_rank, stage);
  }
  if (!settings.progress || info.thread_rank != 0 || ctx.proc_rank != 0) return;
  const std::string what =
      StepText(info.coll_count, NameAt(ctx.data_type_names, info.type_index),
               NameAt(ctx.reduce_op_names, info.op_index),
               ctx.algorithm == nullptr || HasOp(CallName(ctx.algorithm->GetName())),
               info.mode_index >= 0 && static_cast<size_t>(info.mode_index) < ctx.mode.size() &&
                   ctx.mode[info.mode_index]);
  if (stage == WatchStage::kWarmUp) {
    OXLOG(INFO) << StrFmt("warm-up: %llu iteration%s of %s, elapsed %.1f s",
                          static_cast<unsigned long long>(ctx.warmup_loop),
                          ctx.warmup_loop == 1 ? "" : "s", what.c_str(), Elapsed());
    return;
  }
  // Counted once, by the thread that reports; the walk is the one the workers make.
  if (progress_total == 0) progress_total = CountSteps(const_cast<Context*>(&ctx));
  ++progress_started;
  OXLOG(INFO) << StrFmt("step %llu/%llu: %s, elapsed %.1f s",
                        static_cast<unsigned long long>(progress_started),
                        static_cast<unsigned long long>(progress_total), what.c_str(),
                        Elapsed());
}

uint64_t CountSteps(Context* ctx) {
  ThreadInfo walk;
  uint64_t per_pair = 0;
  while (walk.GetTransferSizeAndMode(ctx)) ++per_pair;
  return per_pair * ctx->data_type.size() * ctx->reduce_op.size();
}

std::string RankList(const std::vector<int64_t>& ranks) {
  std::string text;
  for (size_t i = 0; i < ranks.size();) {
    size_t j = i;
    while (j + 1 < ranks.size() && ranks[j + 1] == ranks[j] + 1) ++j;
    if (!text.empty()) text += ", ";
    text += std::to_string(ranks[i]);
    if (j > i) text += "-" + std::to_string(ranks[j]);
    i = j + 1;
  }
  return text;
}

std::string DescribeStall(const StallView& v) {
  // The worker to describe: the first still at work, else one waiting for other processes.
  const StallView::Worker* shown = nullptr;
  for (const StallView::Worker& w : v.workers) {
    if (Working(w)) {
      shown = &w;
      break;
    }
  }
  if (shown == nullptr) {
    for (const StallView::Worker& w : v.workers) {
      if (w.wait == WatchWait::kProcessBarrier) {
        shown = &w;
        break;
      }
    }
  }
  if (shown == nullptr && !v.workers.empty()) shown = &v.workers.front();
  std::string where;
  std::string step = "before the first step";
  if (v.set_up || shown == nullptr) {
    where = StageText(v.set_up ? v.main_stage : WatchStage::kSetUp);
  } else {
    where = std::string(StageText(shown->stage)) + WaitText(shown->wait);
    if (shown->type_index >= 0 && shown->stage != WatchStage::kBuffers) {
      const bool inplace = shown->mode_index >= 0 &&
                           static_cast<size_t>(shown->mode_index) < v.modes.size() &&
                           v.modes[shown->mode_index];
      step = "at " + StepText(shown->count, NameAt(v.type_names, shown->type_index),
                              NameAt(v.op_names, shown->op_index), v.has_op, inplace);
    }
  }
  std::string ranks;
  if (v.set_up || !v.ranks_known) {
    ranks = "all of this process";
    if (v.main_stage == WatchStage::kTearDown) step = "after the last step";
  } else {
    std::vector<int64_t> stuck;
    const int64_t per_process = static_cast<int64_t>(v.workers.size() * v.comms);
    for (size_t t = 0; t < v.workers.size(); ++t) {
      if (!Working(v.workers[t])) continue;
      for (uint64_t c = 0; c < v.comms; ++c)
        stuck.push_back(v.first_rank + static_cast<int64_t>(t * v.comms + c));
    }
    std::vector<int64_t> all(static_cast<size_t>(per_process));
    for (int64_t i = 0; i < per_process; ++i) all[i] = v.first_rank + i;
    const std::string own = RankList(all);
    const std::string process = StrFmt("process %d of %d", v.proc_rank, v.nprocs);
    const bool one = per_process == 1;
    const std::string own_ranks = (one ? "rank " : "ranks ") + own;
    if (stuck.empty()) {
      ranks = "none of " + process + ", whose " + own_ranks + (one ? " waits" : " wait") +
              " in a barrier between processes";
    } else {
      ranks = RankList(stuck) + " (" + process + " holds " + own_ranks + ")";
    }
  }
  return StrFmt("BENCHMARK_TIMEOUT_S=%g: no progress for %g s in %s of %s %s; ranks not "
                "finished: %s; %s",
                v.timeout_s, v.timeout_s, where.c_str(), v.call.c_str(), step.c_str(),
                ranks.c_str(),
                v.aborting ? "aborting every communicator and ending the run"
                           : "ending the run");
}

}  // namespace oxcl_benchmark
