// A stand-in for the collective library, built in several variants for the binding tests:
// with or without the optional entry points, under the plain or the versioned file name.
// OXTEST_FAKE_STATUS makes every optional entry point return that status.
#include <cstdlib>
#include <cstring>

#include "oxcl.h"

#ifndef OXTEST_FAKE_VARIANT
#error "OXTEST_FAKE_VARIANT must name the variant"
#endif

#if OXTEST_FAKE_OPTIONAL
namespace {

// The memory size the link query reports, so a test can tell it from a default value.
constexpr unsigned long kFakeMemSize = 123456789ul;

oxclResult_t InjectedStatus() {
  const char* text = std::getenv("OXTEST_FAKE_STATUS");
  return text == nullptr ? oxclSuccess : static_cast<oxclResult_t>(std::atoi(text));
}

}  // namespace
#endif

extern "C" {

// Tells the probe which file the binding opened.
const char* oxtest_fake_variant() { return OXTEST_FAKE_VARIANT; }

oxclResult_t oxclGetLibVersion(int* major, int* minor, int* patch) {
  *major = 1;
  *minor = OXTEST_FAKE_OPTIONAL ? 12 : 6;
  *patch = 0;
  return oxclSuccess;
}

#if OXTEST_FAKE_OPTIONAL
oxclResult_t oxclGroupStart(void) { return InjectedStatus(); }
oxclResult_t oxclGroupEnd(void) { return InjectedStatus(); }

// Copies `count` bytes; rejects what a shuffled argument list would pass.
oxclResult_t oxclAlltoAll(const void* sendbuff, void* recvbuff, uint64_t count,
                          oxclDataType_t datatype, oxclComm* comm, oxrtQueue_t queue) {
  if (datatype != oxclUint8 || comm == nullptr || queue == nullptr ||
      static_cast<const void*>(comm) == static_cast<const void*>(queue)) {
    return oxclInvalidArgument;
  }
  const oxclResult_t status = InjectedStatus();
  if (status == oxclSuccess) std::memcpy(recvbuff, sendbuff, count);
  return status;
}
#endif

}  // extern "C"

#if OXTEST_FAKE_OPTIONAL
namespace oxcl {
oxclResult_t oxclGetOxwireMemSize(unsigned long* size) {
  const oxclResult_t status = InjectedStatus();
  if (status == oxclSuccess) *size = kFakeMemSize;
  return status;
}
}  // namespace oxcl
#endif
