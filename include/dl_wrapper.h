// Run-time binding of the collective library's optional entry points (group operations, the
// plain all-to-all, the link memory query), so that the programs also run on older libraries.
#ifndef OXCL_BENCHMARK_DL_WRAPPER_H_
#define OXCL_BENCHMARK_DL_WRAPPER_H_

#include <atomic>
#include <cstdint>

#include "common.h"
#include "oxcl.h"

namespace oxcl_benchmark {

class Context;

using oxclGroupStart_t = oxclResult_t (*)();
using oxclGroupEnd_t = oxclResult_t (*)();
using oxclAlltoAll_t = oxclResult_t (*)(const void* send, void* recv, uint64_t count,
                                        oxclDataType_t type, oxclComm* comm, OXqueue_st* queue);
using oxclGetOxwireMemSize_t = oxclResult_t (*)(unsigned long* size);

// The bound entry points; null while unbound or when the library lacks the symbol.
extern oxclGroupStart_t oxclGroupStart_ptr;
extern oxclGroupEnd_t oxclGroupEnd_ptr;
extern oxclAlltoAll_t oxclAlltoAll_ptr;
extern oxclGetOxwireMemSize_t oxclGetOxwireMemSize_ptr;
// The second handle of the collective library; null while unbound.
extern void* library_handle;
// 0 unbound, 1 binding in progress, 2 bound, 3 binding failed (final until close_wrap).
extern std::atomic<int32_t> binding_state;

// Opens the collective library and binds the optional entry points. Returns 0 when the library
// is open (missing symbols included), 1 when it cannot be opened now or could not earlier.
// Safe to call from several threads at once: exactly one binds.
benchmarkResult_t init_wrap();
// Unbinds and closes the handle; a later init_wrap binds anew. Must not run while a wrapper may
// still be called.
void close_wrap();

// Each wrapper returns 0 on success. A missing entry point logs which library version it needs
// and returns 1; a failing call logs the library's error text, calls ctx->NotifyExit() and
// returns 1.
benchmarkResult_t oxclGroupStart_dl(Context* ctx);
benchmarkResult_t oxclGroupEnd_dl(Context* ctx);
benchmarkResult_t oxclAlltoAll_dl(const void* send, void* recv, unsigned long count,
                                  oxclDataType_t type, oxclComm* comm, OXqueue_st* queue,
                                  Context* ctx);
// On success the library has written the link component's byte count into *size.
benchmarkResult_t oxclGetOxwireMemSize_dl(unsigned long* size, Context* ctx);

}  // namespace oxcl_benchmark

#endif  // OXCL_BENCHMARK_DL_WRAPPER_H_
