// Driver API: initialisation, versions and PCI bus identifiers.
#ifndef OX_PLATFORM_OX_H_
#define OX_PLATFORM_OX_H_

#ifdef __cplusplus
extern "C" {
#endif

typedef enum oxError {
  OX_SUCCESS = 0,
  OX_ERROR_INVALID_VALUE = 1,
  OX_ERROR_NOT_INITIALIZED = 2,
  OX_ERROR_INVALID_DEVICE = 3,
  OX_ERROR_UNKNOWN = 4,
} oxError_t;

oxError_t oxInit(unsigned int flags);
oxError_t oxGetDriverVersion(int* major, int* minor, int* patch);
oxError_t oxGetLibVersion(int* major, int* minor, int* patch);
// Writes the card's PCI bus identifier, terminated, into bus_id (at most len bytes).
oxError_t oxDeviceGetPCIBusId(char* bus_id, int len, int device);
// Points *text at a printable message for the code.
oxError_t oxGetErrorString(oxError_t error, const char** text);

#ifdef __cplusplus
}
#endif

#endif  // OX_PLATFORM_OX_H_
