// Device memory usage report: how much card memory communicator set-up and the collective used.
#ifndef OXCL_BENCHMARK_DUMP_PARAM_H_
#define OXCL_BENCHMARK_DUMP_PARAM_H_

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <unordered_map>

#include "common.h"

namespace oxcl_benchmark {

class Context;

enum RunPhase { kInitCommPhase = 0, kRunCollPhase = 1 };

class DumpPrimsParam {
 public:
  // The process-wide recorder, created on first use; its data line is written at exit.
  static DumpPrimsParam* GetSingleton();

  // Opens the report file and writes the header; 1 when it cannot be opened.
  benchmarkResult_t SetPath(const std::string& path);
  benchmarkResult_t SetName(const std::string& name);
  // Samples the memory in use on the current card at the start of a phase.
  benchmarkResult_t GetInitMem(RunPhase phase, Context* ctx);
  // Samples it at the end of a phase and records the growth under the label.
  benchmarkResult_t DumpRunTimeMem(const std::string& label, RunPhase phase, Context* ctx);
  // Writes the data line and closes the file (once; also reached from the fatal exit path).
  void Finish();

 private:
  DumpPrimsParam() = default;
  ~DumpPrimsParam();

  FILE* file = nullptr;
  std::mutex mutex;
  uint64_t init_used[2] = {0, 0};
  uint64_t oxwire_mem = 0;
  std::string name;
  std::unordered_map<std::string, uint32_t> call_counts;
  std::unordered_map<std::string, int64_t> mem_usage;  // growth per label; may be negative
};

}  // namespace oxcl_benchmark

#endif  // OXCL_BENCHMARK_DUMP_PARAM_H_
