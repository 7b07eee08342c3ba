// A collective for the run-sequence tests: a float sum all-reduce over the simulator whose
// failures are chosen by the environment, so that every exit of main can be reached.
//   TESTCOLL_INITCOMM=N     InitComm returns N before any communicator exists
//   TESTCOLL_SETPARAM=N     SetParam returns N (the worker's failure exit)
//   TESTCOLL_FAIL_AT=N      the N-th RunAlgo call of the failing thread reports an error
//   TESTCOLL_FAIL_THREAD=K  the failing thread (default 0)
//   TESTCOLL_MISMATCH=1     every Check of thread 0 counts one mismatching element
#include <atomic>
#include <cstdlib>
#include <string>
#include <vector>

#include "algorithm.h"
#include "oxrt.h"

namespace oxcl_benchmark {
namespace {

long EnvNumber(const char* name, long fallback) {
  const char* text = std::getenv(name);
  return text == nullptr || *text == '\0' ? fallback : std::strtol(text, nullptr, 10);
}

constexpr int kMaxThreads = 64;

class TestCollective : public Algorithm {
 public:
  TestCollective() : Algorithm("TestColl", 12) {}

  benchmarkResult_t InitComm(Context* ctx) override {
    const long forced = EnvNumber("TESTCOLL_INITCOMM", 0);
    if (forced != 0) return static_cast<benchmarkResult_t>(forced);
    return Algorithm::InitComm(ctx);
  }

  benchmarkResult_t SetParam(ThreadInfo* info) override {
    const long forced = EnvNumber("TESTCOLL_SETPARAM", 0);
    if (forced != 0) return static_cast<benchmarkResult_t>(forced);
    if (CurrentType(info) != oxclFloat32 || CurrentOp(info) != oxclSum) {
      OXLOG(ERROR) << "error msg: the test collective only runs float sum";
      return BENCHMARK_FAILURE;
    }
    info->send_count = info->recv_count = info->coll_count = info->span_count = info->count;
    return BENCHMARK_SUCCESS;
  }

  benchmarkResult_t RunAlgo(ThreadInfo* info, void* sendbuff, void* recvbuff,
                            int comm_index) override {
    const long fail_at = EnvNumber("TESTCOLL_FAIL_AT", 0);
    const uint64_t thread = info->thread_rank;
    if (fail_at > 0 && thread < kMaxThreads &&
        thread == static_cast<uint64_t>(EnvNumber("TESTCOLL_FAIL_THREAD", 0)) &&
        calls_[thread].fetch_add(1) + 1 == static_cast<uint64_t>(fail_at)) {
      OXLOG(ERROR) << StrFmt("error msg: %s", "injected test collective failure");
      context->NotifyExit();
      return BENCHMARK_FAILURE;
    }
    const oxclResult_t rc = oxclAllReduce(sendbuff, recvbuff, info->coll_count, oxclFloat32,
                                          oxclSum, CommOf(info, comm_index),
                                          info->queues[comm_index]);
    if (rc != oxclSuccess) {
      OXLOG(ERROR) << StrFmt("error msg: %s", oxclGetErrorStr(rc));
      context->NotifyExit();
      return BENCHMARK_FAILURE;
    }
    return BENCHMARK_SUCCESS;
  }

  benchmarkResult_t GetDataRate(ThreadInfo* info, double seconds) override {
    const double bytes = 4.0 * static_cast<double>(info->count);
    return PrintLine(info, seconds, Bandwidth(bytes, seconds), Bandwidth(bytes, seconds), 4);
  }
  benchmarkResult_t PrintTitle(ThreadInfo* info) override {
    return PrintTableTitle(info, kReduceLayout);
  }
  benchmarkResult_t PrintLine(ThreadInfo* info, double seconds, double algo_bw, double bus_bw,
                              int type_size) override {
    return PrintTableLine(info, kReduceLayout, seconds, algo_bw, bus_bw, type_size);
  }

  // Rank r sends r + 1 everywhere, so every element of the sum is n (n + 1) / 2.
  benchmarkResult_t InitData(ThreadInfo* info, size_t iteration) override {
    for (uint64_t c = 0; c < context->comms; ++c) {
      std::vector<float> data(info->send_count,
                              static_cast<float>(RankOf(info, static_cast<int>(c)) + 1));
      if (!Copy(Input(info, c, iteration), data.data(), data.size(), oxrtMemcpyHostToDevice)) {
        return BENCHMARK_FAILURE;
      }
    }
    return BENCHMARK_SUCCESS;
  }

  benchmarkResult_t Check(ThreadInfo* info, size_t iteration) override {
    const double n = static_cast<double>(RankCount());
    const float expect = static_cast<float>(n * (n + 1) / 2);
    for (uint64_t c = 0; c < context->comms; ++c) {
      std::vector<float> data(info->recv_count);
      if (!Copy(data.data(), Output(info, c, iteration), data.size(), oxrtMemcpyDeviceToHost)) {
        return BENCHMARK_FAILURE;
      }
      const bool inplace = CurrentInPlace(info);
      for (uint64_t k = 0; k < data.size(); ++k) {
        if (data[k] != expect) {
          CountMismatch(info, k, std::to_string(expect), std::to_string(data[k]),
                        RankOf(info, static_cast<int>(c)), inplace);
        }
      }
      if (c == 0 && info->thread_rank == 0 && EnvNumber("TESTCOLL_MISMATCH", 0) != 0) {
        CountMismatch(info, 0, std::to_string(expect), "injected", RankOf(info, 0), inplace);
      }
    }
    return BENCHMARK_SUCCESS;
  }

 private:
  char* Output(ThreadInfo* info, uint64_t c, size_t iteration) const {
    return static_cast<char*>(info->recv_buffs[c]) +
           info->GetAddrOffset(context, static_cast<int>(iteration)) * sizeof(float);
  }
  char* Input(ThreadInfo* info, uint64_t c, size_t iteration) const {
    if (CurrentInPlace(info)) return Output(info, c, iteration);
    return static_cast<char*>(info->send_buffs[c]) +
           info->GetAddrOffset(context, static_cast<int>(iteration)) * sizeof(float);
  }
  static bool Copy(void* dst, const void* src, size_t elements, oxrtMemcpyKind kind) {
    const oxrtError_t code = oxrtMemcpy(dst, src, elements * sizeof(float), kind);
    if (code != oxrtSuccess) OXLOG(ERROR) << StrFmt("error msg: %s", oxrtGetErrorName(code));
    return code == oxrtSuccess;
  }

  std::atomic<uint64_t> calls_[kMaxThreads] = {};
};

DeclareBench test_registration(new TestCollective());

}  // namespace
}  // namespace oxcl_benchmark
