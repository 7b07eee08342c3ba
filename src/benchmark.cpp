// Program entry shared by the four benchmarks; they differ only in the registered collective.
#include <cstdlib>
#include <memory>
#include <string>

#include "algorithm.h"
#include "argument.h"
#include "context.h"
#include "dump_param.h"
#include "log.h"
#include "output.h"
#include "record.h"
#include "run_warnings.h"
#include "samples.h"
#include "watchdog.h"

using namespace oxcl_benchmark;

namespace {

int RunProgram(int argc, char** argv) {
  Argument argument;
  std::shared_ptr<Context> context = std::make_shared<ParallelContext>();
  benchmarkResult_t r = argument.ParseArguments(*context, argc, argv);
  if (r == BENCHMARK_QUIT) return r;
  if (r != BENCHMARK_SUCCESS) {
    OXLOG(ERROR) << StrFmt("error msg: %s", "Please check the input arguments or use -h/--help");
    return r;
  }
  r = ReadWatchSettings();
  if (r != BENCHMARK_SUCCESS) return r;
  r = ReadRepeat(&context->repeat);
  if (r != BENCHMARK_SUCCESS) return r;
  std::string why;
  if (!ParseCheckExact(std::getenv("BENCHMARK_CHECK_EXACT"), &context->check_exact, &why)) {
    OXLOG(ERROR) << why;
    return BENCHMARK_FAILURE;
  }
  context->ReadAlltoallApi();
  std::vector<Algorithm*>& registry = AlgorithmManager::BenchMap();
  if (registry.empty()) {
    OXLOG(ERROR) << "No collective is registered in this program, nothing to run";
    return BENCHMARK_FAILURE;
  }
  Algorithm* algorithm = context->clique_num != 0 ? registry.front() : registry.back();
  // Watched from before the libraries start to after MPI is finalised: a hang in either
  // must end the run too.
  r = StartWatchdog(*context, algorithm->GetName());
  if (r != BENCHMARK_SUCCESS) return r;
  struct WatchdogStop {
    ~WatchdogStop() { StopWatchdog(); }
  } watchdog_stop;
  r = context->Init(argc, argv);
  if (r != BENCHMARK_SUCCESS) return r;
  if (!context->mem_usage_path.empty() && context->proc_rank == 0) {
    if (context->mem_usage_in_folder) CreateFolderOf(context->mem_usage_path);
    r = DumpPrimsParam::GetSingleton()->GetInitMem(kInitCommPhase, context.get());
    if (r != BENCHMARK_SUCCESS) return r;
  }
  WatchSetUp(*context);
  r = algorithm->InitComm(context.get());
  if (r == BENCHMARK_QUIT) return r;
  if (r != BENCHMARK_SUCCESS) {
    OXLOG(ERROR) << StrFmt("error msg: %s", "Please check the input arguments or use -h/--help");
    return r;
  }
  r = RecordConfigure(context.get(), algorithm->GetName());
  if (r != BENCHMARK_SUCCESS) return r;
  if (!context->mem_usage_path.empty() && context->proc_rank == 0) {
    CreateFolderOf(context->mem_usage_path);
    r = DumpPrimsParam::GetSingleton()->SetPath(context->mem_usage_path);
    if (r != BENCHMARK_SUCCESS) {
      // The recorder only says so at debug level; a run must not end with status 1 silently.
      OXLOG(ERROR) << StrFmt("Cannot open the memory usage file %s, please check the "
                             "-u/--mem_usage_path input", context->mem_usage_path.c_str());
      return r;
    }
  }
  WatchCommunicators(*context);
  LogRunWarnings(*context);
  LogCheckExactness(*context, algorithm->Reduces());
  algorithm->SetContext(context.get());
  context->algorithm = algorithm;
  r = context->Execute();
  WatchTearDown(*context);
  if (r == BENCHMARK_SUCCESS) {
    algorithm->Release();
    const benchmarkResult_t released = context->Release();
    if (released != BENCHMARK_SUCCESS) return released;
    return context->failed.load() ? BENCHMARK_FAILURE : BENCHMARK_SUCCESS;
  }
  context->failed.store(true);
  algorithm->Release();
  benchmarkResult_t released = context->Release();
  return released != BENCHMARK_SUCCESS ? released : r;
}

}  // namespace

int main(int argc, char** argv) {
  GuardStandardStreams();
  RecordBegin(argc, argv);
  int status = RunProgram(argc, argv);
  // The memory report's data line is written here rather than at exit, so that a report that
  // could not be written still decides the status.
  DumpPrimsParam::GetSingleton()->Finish();
  FlushOutput(stdout);
  if (ReportLostOutput() && status == BENCHMARK_SUCCESS) status = BENCHMARK_FAILURE;
  return RecordEnd(status);
}
