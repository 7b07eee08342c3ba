// Simulated collective library. This build carries the library's identity (version, error
// texts) and answers every communication entry point with oxclNotSupported, so that a caller
// sees a clear failure instead of a fake success.
#include <cstdio>

#include "oxcl.h"

namespace {

constexpr int kMajor = 1;
constexpr int kMinor = 12;
constexpr int kPatch = 0;

oxclResult_t NotSupported(const char* entry) {
  std::fprintf(stderr, "oxsim: %s is not supported by this build of the simulated oxcl\n", entry);
  return oxclNotSupported;
}

}  // namespace

extern "C" {

const char* oxclGetErrorStr(oxclResult_t result) {
  switch (result) {
    case oxclSuccess: return "no error";
    case oxclUnhandledOxrtError: return "unhandled oxrt error";
    case oxclSystemError: return "unhandled system error";
    case oxclInternalError: return "internal error";
    case oxclInvalidArgument: return "invalid argument";
    case oxclInvalidUsage: return "invalid usage";
    case oxclRemoteError: return "remote process exited or there was a network error";
    case oxclAborted: return "communicator aborted";
    case oxclNotSupported: return "operation not supported";
    default: return "unknown result code";
  }
}

oxclResult_t oxclGetLibVersion(int* major, int* minor, int* patch) {
  if (major == nullptr || minor == nullptr || patch == nullptr) return oxclInvalidArgument;
  *major = kMajor;
  *minor = kMinor;
  *patch = kPatch;
  return oxclSuccess;
}

oxclResult_t oxclGetCliqueId(oxclCliqueId*) { return NotSupported("oxclGetCliqueId"); }
oxclResult_t oxclInitComms(oxclComm**, int, const int*, const int*, int, oxclCliqueId) {
  return NotSupported("oxclInitComms");
}
oxclResult_t oxclSetCommConfig(oxclComm*, const oxclCommConfig_t*) {
  return NotSupported("oxclSetCommConfig");
}
oxclResult_t oxclDestroyComms(oxclComm**, int n) {
  // Nothing can have been created, so destroying nothing succeeds.
  return n == 0 ? oxclSuccess : NotSupported("oxclDestroyComms");
}
oxclResult_t oxclAbortComm(oxclComm*) { return NotSupported("oxclAbortComm"); }
oxclResult_t oxclGetCommCount(int*, const oxclComm*) { return NotSupported("oxclGetCommCount"); }
oxclResult_t oxclAllReduce(const void*, void*, uint64_t, oxclDataType_t, oxclReduceOp_t,
                           oxclComm*, oxrtQueue_t) {
  return NotSupported("oxclAllReduce");
}
oxclResult_t oxclReduceScatter(const void*, void*, uint64_t, oxclDataType_t, oxclReduceOp_t,
                               oxclComm*, oxrtQueue_t) {
  return NotSupported("oxclReduceScatter");
}
oxclResult_t oxclAllGather(const void*, void*, uint64_t, oxclDataType_t, oxclComm*,
                           oxrtQueue_t) {
  return NotSupported("oxclAllGather");
}
oxclResult_t oxclAlltoAllv(const void* const*, const uint32_t*, const oxclDataType_t*,
                           void* const*, const uint32_t*, const oxclDataType_t*, oxclComm*,
                           oxrtQueue_t) {
  return NotSupported("oxclAlltoAllv");
}
oxclResult_t oxclSend(const void*, uint64_t, oxclDataType_t, int, oxclComm*, oxrtQueue_t) {
  return NotSupported("oxclSend");
}
oxclResult_t oxclRecv(void*, uint64_t, oxclDataType_t, int, oxclComm*, oxrtQueue_t) {
  return NotSupported("oxclRecv");
}

#ifndef OXCL_SIM_LEGACY
oxclResult_t oxclGroupStart(void) { return NotSupported("oxclGroupStart"); }
oxclResult_t oxclGroupEnd(void) { return NotSupported("oxclGroupEnd"); }
oxclResult_t oxclAlltoAll(const void*, void*, uint64_t, oxclDataType_t, oxclComm*,
                          oxrtQueue_t) {
  return NotSupported("oxclAlltoAll");
}
#endif

}  // extern "C"

#ifndef OXCL_SIM_LEGACY
namespace oxcl {
oxclResult_t oxclGetOxwireMemSize(unsigned long* size) {
  if (size == nullptr) return oxclInvalidArgument;
  *size = 0;  // no internal link buffers in this build
  return oxclSuccess;
}
}  // namespace oxcl
#endif
