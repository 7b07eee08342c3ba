// Helper process for the binding tests. It links no collective library, so the library that
// init_wrap opens is decided by LD_LIBRARY_PATH alone. It prints "key=value" lines on standard
// output; the log lines go to standard error.
//   oxcl_dl_probe [-v] calls             bind, call each wrapper once
//   oxcl_dl_probe [-v] repeat            bind twice, unbind, bind again
//   oxcl_dl_probe [-v] concurrent N      N threads bind at once, then unbind
#include <dlfcn.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "context.h"
#include "dl_wrapper.h"
#include "log.h"
#include "threadpool.h"

namespace {
std::atomic<int> notify_count{0};
}  // namespace

// The few Context members the binding touches; the real context lives in a library this
// process must not load.
namespace oxcl_benchmark {
Context::Context() = default;
Context::~Context() = default;
benchmarkResult_t Context::Init(int, char**) { return BENCHMARK_SUCCESS; }
benchmarkResult_t Context::Release() { return BENCHMARK_SUCCESS; }
void Context::NotifyExit() {
  exit_requested.store(true);
  notify_count.fetch_add(1);
}
}  // namespace oxcl_benchmark

// The wrappers take the error text from the linked library; here, a text that names the code.
extern "C" const char* oxclGetErrorStr(oxclResult_t result) {
  static char text[64];
  std::snprintf(text, sizeof(text), "probe text for status %d", static_cast<int>(result));
  return text;
}

namespace {

using namespace oxcl_benchmark;

// Which fake library is bound, from its marker symbol; "none" when nothing is bound.
std::string BoundVariant() {
  if (library_handle == nullptr) return "none";
  void* marker = dlsym(library_handle, "oxtest_fake_variant");
  if (marker == nullptr) return "unknown";
  return reinterpret_cast<const char* (*)()>(marker)();
}

// Whether the fake library is still mapped in the process.
int StillLoaded() {
  for (const char* name : {"liboxcl.so", "liboxcl.so.1"}) {
    void* handle = dlopen(name, RTLD_NOW | RTLD_NOLOAD);
    if (handle != nullptr) {
      dlclose(handle);
      return 1;
    }
  }
  return 0;
}

int Calls() {
  Context ctx;
  std::printf("init=%d\n", init_wrap());
  std::printf("state=%d\n", binding_state.load());
  std::printf("variant=%s\n", BoundVariant().c_str());
  std::printf("group_start=%d\n", oxclGroupStart_dl(&ctx));
  std::printf("group_end=%d\n", oxclGroupEnd_dl(&ctx));
  char send[8] = "abcdefg";
  char recv[8] = {};
  int comm_stub = 0;
  int queue_stub = 0;
  std::printf("alltoall=%d\n",
              oxclAlltoAll_dl(send, recv, sizeof(send), oxclUint8,
                              reinterpret_cast<oxclComm*>(&comm_stub),
                              reinterpret_cast<OXqueue_st*>(&queue_stub), &ctx));
  std::printf("alltoall_copied=%d\n", std::memcmp(send, recv, sizeof(send)) == 0 ? 1 : 0);
  unsigned long size = 7;
  std::printf("memsize=%d\n", oxclGetOxwireMemSize_dl(&size, &ctx));
  std::printf("memsize_value=%lu\n", size);
  std::printf("notify=%d\n", notify_count.load());
  close_wrap();
  return 0;
}

int Repeat() {
  std::printf("init1=%d\n", init_wrap());
  std::printf("init2=%d\n", init_wrap());
  close_wrap();
  std::printf("state_after_close=%d\n", binding_state.load());
  std::printf("loaded_after_close=%d\n", StillLoaded());
  std::printf("pointer_after_close=%d\n", oxclGroupStart_ptr != nullptr ? 1 : 0);
  std::printf("init3=%d\n", init_wrap());
  std::printf("variant=%s\n", BoundVariant().c_str());
  Context ctx;
  unsigned long size = 0;
  std::printf("memsize=%d\n", oxclGetOxwireMemSize_dl(&size, &ctx));
  std::printf("memsize_value=%lu\n", size);
  close_wrap();
  std::printf("loaded_at_end=%d\n", StillLoaded());
  return 0;
}

int Concurrent(int n) {
  std::atomic<int> ready{0};
  std::vector<int> results(static_cast<size_t>(n), -1);
  std::vector<std::thread> threads;
  for (int i = 0; i < n; ++i) {
    threads.emplace_back([&, i] {
      // Start together, so the threads really race for the binding.
      ready.fetch_add(1);
      while (ready.load() < n) std::this_thread::yield();
      results[static_cast<size_t>(i)] = init_wrap();
    });
  }
  for (std::thread& t : threads) t.join();
  std::string text;
  for (int r : results) text += std::to_string(r);
  std::printf("results=%s\n", text.c_str());
  std::printf("state=%d\n", binding_state.load());
  std::printf("bound_all=%d\n", oxclGroupStart_ptr != nullptr && oxclGroupEnd_ptr != nullptr &&
                                        oxclAlltoAll_ptr != nullptr &&
                                        oxclGetOxwireMemSize_ptr != nullptr
                                    ? 1
                                    : 0);
  close_wrap();
  // A second handle opened by a losing thread would keep the library mapped.
  std::printf("loaded_after_close=%d\n", StillLoaded());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  int arg = 1;
  if (arg < argc && std::strcmp(argv[arg], "-v") == 0) {
    SetLogLevel("DEBUG");
    ++arg;
  }
  if (arg >= argc) return 2;
  const std::string command = argv[arg];
  int result = 2;
  if (command == "calls") result = Calls();
  if (command == "repeat") result = Repeat();
  if (command == "concurrent" && arg + 1 < argc) result = Concurrent(std::atoi(argv[arg + 1]));
  std::fflush(stdout);
  return result;
}
