// Device management: card names and the library version.
#ifndef OX_PLATFORM_OXDEV_H_
#define OX_PLATFORM_OXDEV_H_

#ifdef __cplusplus
extern "C" {
#endif

typedef enum oxdevReturn {
  OXDEV_SUCCESS = 0,
  OXDEV_ERROR_UNINITIALIZED = 1,
  OXDEV_ERROR_INVALID_ARGUMENT = 2,
  OXDEV_ERROR_NOT_FOUND = 3,
  OXDEV_ERROR_VERSION_MISMATCH = 4,
  OXDEV_ERROR_UNKNOWN = 5,
} oxdevReturn_t;

// The caller sets `version` to OXDEV_VERSION_RECORD before the call.
#define OXDEV_VERSION_RECORD 5u
typedef struct oxdevVersion {
  unsigned int version;
  unsigned int major;
  unsigned int minor;
  unsigned int patch;
} oxdevVersion_t;

typedef struct oxdevDevice_st* oxdevDevice_t;

oxdevReturn_t oxdevInit(unsigned int flags);
const char* oxdevGetErrorString(oxdevReturn_t result);
oxdevReturn_t oxdevGetLibVersion(oxdevVersion_t* version);
oxdevReturn_t oxdevGetDeviceHandleByPciBusId(const char* bus_id, oxdevDevice_t* device);
// The card's model name; null for an invalid handle.
const char* oxdevGetCardNameStringByDevId(oxdevDevice_t device);

#ifdef __cplusplus
}
#endif

#endif  // OX_PLATFORM_OXDEV_H_
