// liboxdrv.so: the driver API. Device queries need oxInit first, as on the real driver; the
// version and error-text queries do not.
#include <atomic>

#include "ox.h"
#include "oxsim.h"

namespace {

std::atomic<bool> initialised{false};

#define OX_ENTER(name)                                        \
  static oxsim::EntryPoint entry_point(name);                 \
  if (int injected = entry_point.Enter(OX_ERROR_UNKNOWN))     \
  return static_cast<oxError_t>(injected)

}  // namespace

extern "C" {

oxError_t oxInit(unsigned int flags) {
  OX_ENTER("oxInit");
  if (flags != 0) return OX_ERROR_INVALID_VALUE;
  initialised.store(true);
  return OX_SUCCESS;
}

oxError_t oxGetDriverVersion(int* major, int* minor, int* patch) {
  OX_ENTER("oxGetDriverVersion");
  if (!major || !minor || !patch) return OX_ERROR_INVALID_VALUE;
  *major = 3;
  *minor = 2;
  *patch = 0;
  return OX_SUCCESS;
}

oxError_t oxGetLibVersion(int* major, int* minor, int* patch) {
  OX_ENTER("oxGetLibVersion");
  if (!major || !minor || !patch) return OX_ERROR_INVALID_VALUE;
  *major = 3;
  *minor = 2;
  *patch = 1;
  return OX_SUCCESS;
}

oxError_t oxDeviceGetPCIBusId(char* bus_id, int len, int device) {
  OX_ENTER("oxDeviceGetPCIBusId");
  if (!initialised.load()) return OX_ERROR_NOT_INITIALIZED;
  if (device < 0 || device >= oxsim::DeviceCount()) return OX_ERROR_INVALID_DEVICE;
  // A truncated id would name another card, so a short buffer is an error, not a cut.
  if (!bus_id || len <= 0 || !oxsim::PciBusId(device, bus_id, static_cast<size_t>(len)))
    return OX_ERROR_INVALID_VALUE;
  return OX_SUCCESS;
}

oxError_t oxGetErrorString(oxError_t error, const char** text) {
  OX_ENTER("oxGetErrorString");
  if (!text) return OX_ERROR_INVALID_VALUE;
  switch (error) {
    case OX_SUCCESS: *text = "no error"; return OX_SUCCESS;
    case OX_ERROR_INVALID_VALUE: *text = "invalid argument"; return OX_SUCCESS;
    case OX_ERROR_NOT_INITIALIZED: *text = "driver not initialized"; return OX_SUCCESS;
    case OX_ERROR_INVALID_DEVICE: *text = "invalid device ordinal"; return OX_SUCCESS;
    case OX_ERROR_UNKNOWN: *text = "unknown error"; return OX_SUCCESS;
  }
  // An unknown code still gets text, but the call says the code was not valid.
  *text = "unrecognized error code";
  return OX_ERROR_INVALID_VALUE;
}

}  // extern "C"
