// liboxrt.so, devices and memory: the current card of each thread, device allocations checked
// against the simulator's allocation table, status names and the version.
#include "oxrt.h"

#include <cinttypes>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "oxsim.h"
#include "rt_internal.h"
#include "rt_private.h"

namespace {

// Cards are bound per thread, as on the real runtime; every thread starts on card 0.
thread_local int current_device = 0;

// One entry point object per function; counts the call and applies injected failures.
#define OXRT_ENTER(name)                                         \
  static oxsim::EntryPoint entry_point(name);                    \
  if (int injected = entry_point.Enter(oxrtErrorUnknown, oxrtErrorLaunchFailure)) \
  return static_cast<oxrtError_t>(injected)

bool ValidDevice(int device) { return device >= 0 && device < oxsim::DeviceCount(); }

// True when the start of a host range lies in device memory, i.e. the pointer was given for
// the wrong side of a copy. The first byte must be inside: host memory may start right where a
// device block ends, and that address is only the end of the device range.
bool LooksLikeDevice(const void* ptr) { return oxsim::FindRange(ptr, 1, nullptr); }

// A card's copy engine writes device memory without passing through the host's caches; so do
// copies here that carry on a run of copies to consecutive device addresses beyond
// kStreamAfter: such a run fills a buffer that would push out what the host works on, and
// costs a read of every line before it is written. The pieces of a shorter run stay in the
// cache, where the collective that follows reads them. Overlapping copies, and every copy to
// the host (which reads it next), are a memmove. (Large fills need nothing of the kind: the C
// library's memset already streams them.)
void CopyToDevice(void* dst, const void* src, size_t bytes) {
#if defined(__SSE2__)
  // The benchmark fills its buffers in pieces of a quarter MiB: from the fifth piece of a
  // chunk on, its data check pays one write per line instead of a read and a write.
  constexpr size_t kStreamAfter = size_t{1} << 20;
  constexpr size_t kStreamFrom = size_t{4} << 10;
  thread_local const char* run_end = nullptr;
  thread_local size_t run_bytes = 0;
  char* d = static_cast<char*>(dst);
  const char* s = static_cast<const char*>(src);
  run_bytes = d == run_end ? run_bytes + bytes : bytes;
  run_end = d + bytes;
  if (run_bytes > kStreamAfter && bytes >= kStreamFrom && (d + bytes <= s || s + bytes <= d)) {
    const size_t head = (16 - reinterpret_cast<uintptr_t>(d) % 16) % 16;
    memcpy(d, s, head);
    size_t k = head;
    for (; k + 64 <= bytes; k += 64) {
      const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + k));
      const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + k + 16));
      const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + k + 32));
      const __m128i e = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + k + 48));
      _mm_stream_si128(reinterpret_cast<__m128i*>(d + k), a);
      _mm_stream_si128(reinterpret_cast<__m128i*>(d + k + 16), b);
      _mm_stream_si128(reinterpret_cast<__m128i*>(d + k + 32), c);
      _mm_stream_si128(reinterpret_cast<__m128i*>(d + k + 48), e);
    }
    memcpy(d + k, s + k, bytes - k);
    _mm_sfence();
    return;
  }
#endif
  memmove(dst, src, bytes);
}

}  // namespace

namespace oxsim {
int CurrentDevice() { return current_device; }
void SetCurrentDeviceForQueueThread(int device) { current_device = device; }
}  // namespace oxsim

extern "C" {

oxrtError_t oxrtGetDeviceCount(unsigned int* count) {
  OXRT_ENTER("oxrtGetDeviceCount");
  if (!count) return oxrtErrorInvalidValue;
  *count = static_cast<unsigned int>(oxsim::DeviceCount());
  return oxrtSuccess;
}

oxrtError_t oxrtSetDevice(int device) {
  OXRT_ENTER("oxrtSetDevice");
  if (!ValidDevice(device)) {
    oxsim::Complain("oxrtSetDevice: card %d does not exist (%d cards)", device,
                    oxsim::DeviceCount());
    return oxrtErrorInvalidDevice;
  }
  current_device = device;
  return oxrtSuccess;
}

oxrtError_t oxrtGetDevice(int* device) {
  OXRT_ENTER("oxrtGetDevice");
  if (!device) return oxrtErrorInvalidValue;
  *device = current_device;
  return oxrtSuccess;
}

oxrtError_t oxrtMalloc(void** ptr, size_t bytes) {
  OXRT_ENTER("oxrtMalloc");
  if (!ptr) return oxrtErrorInvalidValue;
  // Counted against the card of the calling thread, like every other device resource.
  oxsim::HostShortage host;
  if (!oxsim::DeviceAlloc(current_device, bytes, ptr, &host)) {
    *ptr = nullptr;
    if (host.refused) {
      oxsim::Complain("oxrtMalloc: %zu bytes on card %d exceed the host memory that can back "
                      "them (%llu bytes of device memory live in this process, %llu can be "
                      "backed: available memory and swap plus this process's resident set, "
                      "less %llu MiB for the host side); use smaller counts or fewer "
                      "communicators per process",
                      bytes, current_device, static_cast<unsigned long long>(host.live),
                      static_cast<unsigned long long>(host.backable),
                      static_cast<unsigned long long>(oxsim::kHostReserveBytes >> 20));
      return oxrtErrorMemoryAllocation;
    }
    uint64_t used = 0, total = 0;
    oxsim::CardUsage(current_device, &used, &total);
    oxsim::Complain("oxrtMalloc: %zu bytes do not fit on card %d (%llu of %llu bytes in use)",
                    bytes, current_device, static_cast<unsigned long long>(used),
                    static_cast<unsigned long long>(total));
    *ptr = nullptr;
    return oxrtErrorMemoryAllocation;
  }
  return oxrtSuccess;
}

oxrtError_t oxrtFree(void* ptr) {
  OXRT_ENTER("oxrtFree");
  // Null, foreign, interior and already freed pointers are all refused: each is a caller bug.
  if (!oxsim::DeviceFree(ptr)) {
    oxsim::Complain("oxrtFree: 0x%" PRIxPTR " is not the start of a live device allocation",
                    reinterpret_cast<uintptr_t>(ptr));
    return oxrtErrorInvalidDevicePointer;
  }
  return oxrtSuccess;
}

oxrtError_t oxrtMemset(void* ptr, int value, size_t bytes) {
  OXRT_ENTER("oxrtMemset");
  if (!oxsim::CheckDeviceRange("oxrtMemset", "device", ptr, bytes))
    return oxrtErrorInvalidDevicePointer;
  memset(ptr, value, bytes);
  return oxrtSuccess;
}

oxrtError_t oxrtMemcpy(void* dst, const void* src, size_t bytes, oxrtMemcpyKind kind) {
  OXRT_ENTER("oxrtMemcpy");
  if (kind < oxrtMemcpyHostToDevice || kind > oxrtMemcpyHostToHost) {
    oxsim::Complain("oxrtMemcpy: %d is not a copy direction", static_cast<int>(kind));
    return oxrtErrorInvalidMemcpyDirection;
  }
  if (!dst || !src) {
    oxsim::Complain("oxrtMemcpy: null %s pointer", dst ? "source" : "destination");
    return oxrtErrorInvalidValue;
  }
  const bool dst_device = kind == oxrtMemcpyHostToDevice || kind == oxrtMemcpyDeviceToDevice;
  const bool src_device = kind == oxrtMemcpyDeviceToHost || kind == oxrtMemcpyDeviceToDevice;
  if (dst_device && !oxsim::CheckDeviceRange("oxrtMemcpy", "destination", dst, bytes))
    return oxrtErrorInvalidDevicePointer;
  if (src_device && !oxsim::CheckDeviceRange("oxrtMemcpy", "source", src, bytes))
    return oxrtErrorInvalidDevicePointer;
  // A device pointer on the host side means the direction does not match the pointers.
  if ((!dst_device && LooksLikeDevice(dst)) || (!src_device && LooksLikeDevice(src))) {
    oxsim::Complain("oxrtMemcpy: direction %d does not match the pointers: the %s is device "
                    "memory", static_cast<int>(kind),
                    !dst_device && LooksLikeDevice(dst) ? "destination" : "source");
    return oxrtErrorInvalidMemcpyDirection;
  }
  // Device memory is host memory here; memmove keeps overlapping device copies exact.
  if (dst_device)
    CopyToDevice(dst, src, bytes);
  else
    memmove(dst, src, bytes);
  return oxrtSuccess;
}

oxrtError_t oxrtMemGetInfo(size_t* free_bytes, size_t* total_bytes) {
  OXRT_ENTER("oxrtMemGetInfo");
  if (!free_bytes || !total_bytes) return oxrtErrorInvalidValue;
  uint64_t used = 0, total = 0;
  if (!oxsim::CardUsage(current_device, &used, &total)) return oxrtErrorInvalidDevice;
  // Real accounting, so the benchmark's memory report sees what oxcl and the buffers hold.
  *free_bytes = static_cast<size_t>(total - used);
  *total_bytes = static_cast<size_t>(total);
  return oxrtSuccess;
}

const char* oxrtGetErrorName(oxrtError_t error) {
  static oxsim::EntryPoint entry_point("oxrtGetErrorName");
  entry_point.Enter(0);  // text only: counted, never failed
  switch (error) {
    case oxrtSuccess: return "oxrtSuccess";
    case oxrtErrorInvalidValue: return "oxrtErrorInvalidValue";
    case oxrtErrorMemoryAllocation: return "oxrtErrorMemoryAllocation";
    case oxrtErrorInitialization: return "oxrtErrorInitialization";
    case oxrtErrorInvalidDevice: return "oxrtErrorInvalidDevice";
    case oxrtErrorInvalidDevicePointer: return "oxrtErrorInvalidDevicePointer";
    case oxrtErrorInvalidResourceHandle: return "oxrtErrorInvalidResourceHandle";
    case oxrtErrorInvalidMemcpyDirection: return "oxrtErrorInvalidMemcpyDirection";
    case oxrtErrorNotReady: return "oxrtErrorNotReady";
    case oxrtErrorLaunchFailure: return "oxrtErrorLaunchFailure";
    case oxrtErrorUnknown: return "oxrtErrorUnknown";
  }
  return "oxrtErrorUnrecognized";
}

oxrtError_t oxrtGetLibVersion(int* major, int* minor, int* patch) {
  OXRT_ENTER("oxrtGetLibVersion");
  if (!major || !minor || !patch) return oxrtErrorInvalidValue;
  *major = 3;
  *minor = 2;
  *patch = 0;
  return oxrtSuccess;
}

}  // extern "C"
