// liboxdev.so: device management. Handles are found by the bus identifiers the driver gives
// out and name the card model set by OXSIM_CARD_NAME.
#include <atomic>
#include <cstdint>
#include <vector>

#include "oxdev.h"
#include "oxsim.h"

struct oxdevDevice_st {
  int card;
};

namespace {

std::atomic<bool> initialised{false};

// One handle per card, made once; handles stay valid for the life of the process.
const std::vector<oxdevDevice_st>& Devices() {
  static const std::vector<oxdevDevice_st>* devices = [] {
    auto* d = new std::vector<oxdevDevice_st>;
    for (int card = 0; card < oxsim::DeviceCount(); ++card) d->push_back({card});
    return d;
  }();
  return *devices;
}

bool ValidHandle(oxdevDevice_t device) {
  // Compared as addresses: a foreign pointer must not be read.
  const auto& devices = Devices();
  if (devices.empty()) return false;
  const uintptr_t first = reinterpret_cast<uintptr_t>(devices.data());
  const uintptr_t p = reinterpret_cast<uintptr_t>(device);
  return p >= first && (p - first) % sizeof(oxdevDevice_st) == 0 &&
         (p - first) / sizeof(oxdevDevice_st) < devices.size();
}

#define OXDEV_ENTER(name)                                      \
  static oxsim::EntryPoint entry_point(name);                  \
  if (int injected = entry_point.Enter(OXDEV_ERROR_UNKNOWN))   \
  return static_cast<oxdevReturn_t>(injected)

}  // namespace

extern "C" {

oxdevReturn_t oxdevInit(unsigned int flags) {
  OXDEV_ENTER("oxdevInit");
  if (flags != 0) return OXDEV_ERROR_INVALID_ARGUMENT;
  initialised.store(true);
  return OXDEV_SUCCESS;
}

const char* oxdevGetErrorString(oxdevReturn_t result) {
  static oxsim::EntryPoint entry_point("oxdevGetErrorString");
  entry_point.Enter(0);  // text only: counted, never failed
  switch (result) {
    case OXDEV_SUCCESS: return "Success";
    case OXDEV_ERROR_UNINITIALIZED: return "Uninitialized";
    case OXDEV_ERROR_INVALID_ARGUMENT: return "Invalid Argument";
    case OXDEV_ERROR_NOT_FOUND: return "Not Found";
    case OXDEV_ERROR_VERSION_MISMATCH: return "Version Mismatch";
    case OXDEV_ERROR_UNKNOWN: return "Unknown Error";
  }
  return "Unrecognized Error Code";
}

oxdevReturn_t oxdevGetLibVersion(oxdevVersion_t* version) {
  OXDEV_ENTER("oxdevGetLibVersion");
  if (!version) return OXDEV_ERROR_INVALID_ARGUMENT;
  // The record's first field names its layout; another layout would be written wrongly.
  if (version->version != OXDEV_VERSION_RECORD) return OXDEV_ERROR_VERSION_MISMATCH;
  version->major = 2;
  version->minor = 4;
  version->patch = 0;
  return OXDEV_SUCCESS;
}

oxdevReturn_t oxdevGetDeviceHandleByPciBusId(const char* bus_id, oxdevDevice_t* device) {
  OXDEV_ENTER("oxdevGetDeviceHandleByPciBusId");
  if (!bus_id || !device) return OXDEV_ERROR_INVALID_ARGUMENT;
  if (!initialised.load()) return OXDEV_ERROR_UNINITIALIZED;
  const int card = oxsim::CardFromPciBusId(bus_id);
  if (card < 0) return OXDEV_ERROR_NOT_FOUND;
  *device = const_cast<oxdevDevice_t>(&Devices()[static_cast<size_t>(card)]);
  return OXDEV_SUCCESS;
}

const char* oxdevGetCardNameStringByDevId(oxdevDevice_t device) {
  static oxsim::EntryPoint entry_point("oxdevGetCardNameStringByDevId");
  if (entry_point.Enter(OXDEV_ERROR_UNKNOWN) != 0) return nullptr;
  if (!initialised.load() || !ValidHandle(device)) return nullptr;
  return oxsim::CardName().c_str();
}

}  // extern "C"
