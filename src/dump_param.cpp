#include "dump_param.h"

#include "context.h"
#include "dl_wrapper.h"
#include "log.h"
#include "output.h"
#include "oxrt.h"

namespace oxcl_benchmark {

DumpPrimsParam* DumpPrimsParam::GetSingleton() {
  // Never destroyed: the data line is written by Finish, at exit or on the fatal exit path,
  // while other threads may still hold the pointer.
  static DumpPrimsParam* instance = [] {
    DumpPrimsParam* p = new DumpPrimsParam();
    std::atexit([] { GetSingleton()->Finish(); });
    AddFatalExitHook([] { GetSingleton()->Finish(); });
    return p;
  }();
  return instance;
}

DumpPrimsParam::~DumpPrimsParam() { Finish(); }

benchmarkResult_t DumpPrimsParam::SetPath(const std::string& path) {
  OXLOG(DEBUG) << "User defined path for opu memory usage: " << path;
  std::lock_guard<std::mutex> lock(mutex);
  if (!path.empty()) {
    // A second report file replaces the first instead of leaking its handle.
    if (file != nullptr) std::fclose(file);
    file = std::fopen(path.c_str(), "w");
    NameOutput(file, "the memory usage file " + path);
  }
  if (file != nullptr) {
    std::fprintf(file, "%s,%s,%s,%s,%s\n", "API", "Count", "Oxcl Mem usage(Bytes)",
                 "Oxwire Mem usage(Bytes)", "Total Mem usage(Bytes)");
    FlushOutput(file);
    return BENCHMARK_SUCCESS;
  }
  OXLOG(DEBUG) << "Failed to open file for opu memory usage: " << path;
  return BENCHMARK_FAILURE;
}

benchmarkResult_t DumpPrimsParam::SetName(const std::string& new_name) {
  // Worker 0 sets the name while a failing worker may already have the main thread writing
  // the data line.
  std::lock_guard<std::mutex> lock(mutex);
  name = new_name;
  return BENCHMARK_SUCCESS;
}

namespace {
// Bytes in use on the current card. The callers query under the lock but report a failure only
// after releasing it: the report wakes the main thread, which may then write the data line
// (taking the lock) while holding the lock that the report needs.
oxrtError_t UsedMemory(uint64_t* used) {
  size_t free_bytes = 0, total_bytes = 0;
  oxrtError_t code = oxrtMemGetInfo(&free_bytes, &total_bytes);
  if (code == oxrtSuccess) *used = total_bytes - free_bytes;
  return code;
}
}  // namespace

benchmarkResult_t DumpPrimsParam::GetInitMem(RunPhase phase, Context* ctx) {
  oxrtError_t code;
  {
    std::lock_guard<std::mutex> lock(mutex);
    uint64_t used = 0;
    code = UsedMemory(&used);
    if (code == oxrtSuccess && (phase == kInitCommPhase || phase == kRunCollPhase)) {
      init_used[phase] = used;
    }
  }
  if (code != oxrtSuccess) return ReportRtError(ctx, code, "oxrtMemGetInfo");
  return BENCHMARK_SUCCESS;
}

benchmarkResult_t DumpPrimsParam::DumpRunTimeMem(const std::string& label, RunPhase phase,
                                                 Context* ctx) {
  unsigned long wire_bytes = 0;
  if (phase == kInitCommPhase) {
    benchmarkResult_t r = oxclGetOxwireMemSize_dl(&wire_bytes, ctx);
    if (r != BENCHMARK_SUCCESS) return r;
  }
  oxrtError_t code;
  bool went_down = false;
  {
    std::lock_guard<std::mutex> lock(mutex);
    if (phase == kInitCommPhase) oxwire_mem = wire_bytes;
    const uint64_t baseline =
        (phase == kInitCommPhase || phase == kRunCollPhase) ? init_used[phase] : 0;
    uint64_t used = 0;
    code = UsedMemory(&used);
    if (code == oxrtSuccess) {
      // Signed: memory use can go down (another process freed memory on the card), and the
      // report shows that as it is rather than as a wrapped 64-bit figure.
      const int64_t growth = static_cast<int64_t>(used) - static_cast<int64_t>(baseline);
      went_down = used < baseline;
      call_counts[label] = static_cast<uint32_t>(ctx->call_count);
      auto it = mem_usage.find(label);
      if (it == mem_usage.end()) {
        mem_usage[label] = growth;
      } else if (growth > it->second) {
        it->second = growth;
      }
    }
  }
  if (code != oxrtSuccess) return ReportRtError(ctx, code, "oxrtMemGetInfo");
  if (went_down) OXLOG(DEBUG) << "Maybe the machine is not exclusive";
  return BENCHMARK_SUCCESS;
}

void DumpPrimsParam::Finish() {
  std::lock_guard<std::mutex> lock(mutex);
  if (file == nullptr) return;
  uint32_t count = 0;
  int64_t total = 0;
  for (const auto& entry : call_counts) count += entry.second;
  for (const auto& entry : mem_usage) total += entry.second;
  std::fprintf(file, "%s,%u,%lld,%lu,%lld\n", ("oxcl" + name).c_str(), count,
               static_cast<long long>(total - static_cast<int64_t>(oxwire_mem)),
               static_cast<unsigned long>(oxwire_mem), static_cast<long long>(total));
  CloseOutput(file);
  file = nullptr;
}

}  // namespace oxcl_benchmark
