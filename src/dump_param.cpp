#include "dump_param.h"

#include "context.h"
#include "dl_wrapper.h"
#include "log.h"
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
  if (!path.empty()) file = std::fopen(path.c_str(), "w");
  if (file != nullptr) {
    std::fprintf(file, "%s,%s,%s,%s,%s\n", "API", "Count", "Oxcl Mem usage(Bytes)",
                 "Oxwire Mem usage(Bytes)", "Total Mem usage(Bytes)");
    std::fflush(file);
    return BENCHMARK_SUCCESS;
  }
  OXLOG(DEBUG) << "Failed to open file for opu memory usage: " << path;
  return BENCHMARK_FAILURE;
}

benchmarkResult_t DumpPrimsParam::SetName(const std::string& new_name) {
  name = new_name;
  return BENCHMARK_SUCCESS;
}

namespace {
// Bytes in use on the current card.
benchmarkResult_t UsedMemory(Context* ctx, uint64_t* used) {
  size_t free_bytes = 0, total_bytes = 0;
  oxrtError_t code = oxrtMemGetInfo(&free_bytes, &total_bytes);
  if (code != oxrtSuccess) return ReportRtError(ctx, code);
  *used = total_bytes - free_bytes;
  return BENCHMARK_SUCCESS;
}
}  // namespace

benchmarkResult_t DumpPrimsParam::GetInitMem(RunPhase phase, Context* ctx) {
  std::lock_guard<std::mutex> lock(mutex);
  uint64_t used = 0;
  if (UsedMemory(ctx, &used) != BENCHMARK_SUCCESS) return BENCHMARK_FAILURE;
  if (phase == kInitCommPhase || phase == kRunCollPhase) init_used[phase] = used;
  return BENCHMARK_SUCCESS;
}

benchmarkResult_t DumpPrimsParam::DumpRunTimeMem(const std::string& label, RunPhase phase,
                                                 Context* ctx) {
  uint64_t baseline = (phase == kInitCommPhase || phase == kRunCollPhase) ? init_used[phase] : 0;
  if (phase == kInitCommPhase) {
    unsigned long bytes = 0;
    benchmarkResult_t r = oxclGetOxwireMemSize_dl(&bytes, ctx);
    if (r != BENCHMARK_SUCCESS) return r;
    oxwire_mem = bytes;
  }
  std::lock_guard<std::mutex> lock(mutex);
  uint64_t used = 0;
  if (UsedMemory(ctx, &used) != BENCHMARK_SUCCESS) return BENCHMARK_FAILURE;
  uint64_t growth = used - baseline;
  if (used < baseline) OXLOG(DEBUG) << "Maybe the machine is not exclusive";
  call_counts[label] = static_cast<uint32_t>(ctx->call_count);
  auto it = mem_usage.find(label);
  if (it == mem_usage.end()) {
    mem_usage[label] = growth;
  } else if (growth > it->second) {
    it->second = growth;
  }
  return BENCHMARK_SUCCESS;
}

void DumpPrimsParam::Finish() {
  std::lock_guard<std::mutex> lock(mutex);
  if (file == nullptr) return;
  uint32_t count = 0;
  uint64_t total = 0;
  for (const auto& entry : call_counts) count += entry.second;
  for (const auto& entry : mem_usage) total += entry.second;
  std::fprintf(file, "%s,%u,%lu,%lu,%lu\n", ("oxcl" + name).c_str(), count,
               static_cast<unsigned long>(total - oxwire_mem),
               static_cast<unsigned long>(oxwire_mem), static_cast<unsigned long>(total));
  std::fflush(file);
  std::fclose(file);
  file = nullptr;
}

}  // namespace oxcl_benchmark
