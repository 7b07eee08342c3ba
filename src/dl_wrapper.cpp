#include "dl_wrapper.h"

#include <dlfcn.h>

#include <mutex>

#include "context.h"
#include "log.h"

namespace oxcl_benchmark {

oxclGroupStart_t oxclGroupStart_ptr = nullptr;
oxclGroupEnd_t oxclGroupEnd_ptr = nullptr;
oxclAlltoAll_t oxclAlltoAll_ptr = nullptr;
oxclGetOxwireMemSize_t oxclGetOxwireMemSize_ptr = nullptr;
void* library_handle = nullptr;
std::atomic<int32_t> binding_state{0};

namespace {

constexpr int32_t kUnbound = 0;
constexpr int32_t kBinding = 1;
constexpr int32_t kBound = 2;
constexpr int32_t kFailed = 3;

// Held by the one thread that binds or unbinds: the others block here instead of spinning, and
// close_wrap can never interleave with a binding in progress. Constant-initialised.
std::mutex binding_mutex;

constexpr const char* kGroupText =
    "oxcl version should largger or equal to v1.12.0, if you want to test group send/recv";
constexpr const char* kAlltoAllText =
    "oxcl version should largger or equal to v1.8.0, if you want to test alltoall";
constexpr const char* kMemSizeText =
    "oxcl version should largger or equal to v1.7.0, if you want to get mem usage";

void ClearPointers() {
  oxclGroupStart_ptr = nullptr;
  oxclGroupEnd_ptr = nullptr;
  oxclAlltoAll_ptr = nullptr;
  oxclGetOxwireMemSize_ptr = nullptr;
}

// Looks `name` up; a missing symbol is only worth a Debug line, the wrapper reports the rest.
template <typename Fn>
Fn Bind(void* handle, const char* name) {
  dlerror();
  void* symbol = dlsym(handle, name);
  if (symbol == nullptr) {
    const char* error = dlerror();
    OXLOG(DEBUG) << (error != nullptr ? error : name);
    return nullptr;
  }
  return reinterpret_cast<Fn>(symbol);
}

benchmarkResult_t BindingResult(int32_t state) {
  return state == kBound ? BENCHMARK_SUCCESS : BENCHMARK_FAILURE;
}

}  // namespace

benchmarkResult_t ReportOxclError(Context* ctx, oxclResult_t status, const std::string& call) {
  OXLOG(ERROR) << StrFmt("error msg: %s", oxclGetErrorStr(status));
  LogFailedCall(call);
  if (ctx != nullptr) ctx->NotifyExit();
  return BENCHMARK_FAILURE;
}

benchmarkResult_t init_wrap() {
  int32_t state = binding_state.load(std::memory_order_acquire);
  if (state == kBound || state == kFailed) return BindingResult(state);

  std::lock_guard<std::mutex> lock(binding_mutex);
  int32_t expected = kUnbound;
  if (!binding_state.compare_exchange_strong(expected, kBinding, std::memory_order_acq_rel)) {
    // Another thread finished the binding while this one waited for the lock.
    return BindingResult(expected);
  }

  void* handle = dlopen("liboxcl.so", RTLD_NOW | RTLD_GLOBAL);
  if (handle == nullptr) handle = dlopen("liboxcl.so.1", RTLD_NOW | RTLD_GLOBAL);
  if (handle == nullptr) {
    OXLOG(WARNING) << "Failed to open liboxcl.so[.1].\n"
                   << "you need add liboxcl.so path to LD_LIBRARY_PATH.";
    ClearPointers();
    binding_state.store(kFailed, std::memory_order_release);
    return BENCHMARK_FAILURE;
  }
  library_handle = handle;
  oxclGroupStart_ptr = Bind<oxclGroupStart_t>(handle, "oxclGroupStart");
  oxclGroupEnd_ptr = Bind<oxclGroupEnd_t>(handle, "oxclGroupEnd");
  oxclAlltoAll_ptr = Bind<oxclAlltoAll_t>(handle, "oxclAlltoAll");
  // The mangled name of oxcl::oxclGetOxwireMemSize(unsigned long*).
  oxclGetOxwireMemSize_ptr =
      Bind<oxclGetOxwireMemSize_t>(handle, "_ZN4oxcl20oxclGetOxwireMemSizeEPm");
  // Release order: whoever sees "bound" also sees the pointers.
  binding_state.store(kBound, std::memory_order_release);
  return BENCHMARK_SUCCESS;
}

void close_wrap() {
  std::lock_guard<std::mutex> lock(binding_mutex);
  ClearPointers();
  if (library_handle != nullptr) {
    dlclose(library_handle);
    library_handle = nullptr;
  }
  binding_state.store(kUnbound, std::memory_order_release);
}

benchmarkResult_t oxclGroupStart_dl(Context* ctx) {
  if (oxclGroupStart_ptr == nullptr) {
    OXLOG(ERROR) << kGroupText;
    return BENCHMARK_FAILURE;
  }
  return CheckStatus(oxclGroupStart_ptr(), ctx);
}

benchmarkResult_t oxclGroupEnd_dl(Context* ctx) {
  if (oxclGroupEnd_ptr == nullptr) {
    OXLOG(ERROR) << kGroupText;
    return BENCHMARK_FAILURE;
  }
  return CheckStatus(oxclGroupEnd_ptr(), ctx);
}

benchmarkResult_t oxclAlltoAll_dl(const void* send, void* recv, unsigned long count,
                                  oxclDataType_t type, oxclComm* comm, OXqueue_st* queue,
                                  Context* ctx) {
  if (oxclAlltoAll_ptr == nullptr) {
    OXLOG(ERROR) << kAlltoAllText;
    return BENCHMARK_FAILURE;
  }
  return CheckStatus(oxclAlltoAll_ptr(send, recv, count, type, comm, queue), ctx);
}

benchmarkResult_t oxclGetOxwireMemSize_dl(unsigned long* size, Context* ctx) {
  if (oxclGetOxwireMemSize_ptr == nullptr) {
    OXLOG(ERROR) << kMemSizeText;
    return BENCHMARK_FAILURE;
  }
  return CheckStatus(oxclGetOxwireMemSize_ptr(size), ctx);
}

}  // namespace oxcl_benchmark
