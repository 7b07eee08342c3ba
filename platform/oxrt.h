// Accelerator runtime: devices, memory, queues and timing notifiers.
#ifndef OX_PLATFORM_OXRT_H_
#define OX_PLATFORM_OXRT_H_

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef enum oxrtError {
  oxrtSuccess = 0,
  oxrtErrorInvalidValue = 1,
  oxrtErrorMemoryAllocation = 2,
  oxrtErrorInitialization = 3,
  oxrtErrorInvalidDevice = 4,
  oxrtErrorInvalidDevicePointer = 5,
  oxrtErrorInvalidResourceHandle = 6,
  oxrtErrorInvalidMemcpyDirection = 7,
  oxrtErrorNotReady = 8,
  oxrtErrorLaunchFailure = 9,
  oxrtErrorUnknown = 10,
} oxrtError_t;

// Ordered work queue; a null queue means "the calling thread, synchronously".
typedef struct OXqueue_st OXqueue_st;
typedef OXqueue_st* oxrtQueue_t;

// Timing marker placed on a queue.
typedef struct OXnotifier_st OXnotifier_st;
typedef OXnotifier_st* oxrtNotifier_t;

typedef enum oxrtMemcpyKind {
  oxrtMemcpyHostToDevice = 0,
  oxrtMemcpyDeviceToDevice = 1,
  oxrtMemcpyDeviceToHost = 2,
  oxrtMemcpyHostToHost = 3,
} oxrtMemcpyKind;

// Number of cards visible to the process.
oxrtError_t oxrtGetDeviceCount(unsigned int* count);
// Binds the calling thread to a card for later allocations, queues and copies.
oxrtError_t oxrtSetDevice(int device);
// Returns the calling thread's current card.
oxrtError_t oxrtGetDevice(int* device);

oxrtError_t oxrtQueueCreate(oxrtQueue_t* queue);
oxrtError_t oxrtQueueDestroy(oxrtQueue_t queue);
// Returns when all work placed on the queue has finished, with the first error of that work.
oxrtError_t oxrtQueueSync(oxrtQueue_t queue);

oxrtError_t oxrtNotifierCreate(oxrtNotifier_t* notifier);
oxrtError_t oxrtNotifierDestroy(oxrtNotifier_t notifier);
// The notifier records the moment the queue reaches it.
oxrtError_t oxrtPlaceNotifier(oxrtNotifier_t notifier, oxrtQueue_t queue);
// Returns when the notifier has been reached.
oxrtError_t oxrtWaitNotifier(oxrtNotifier_t notifier);
// Elapsed time from start to end in microseconds.
oxrtError_t oxrtNotifierDuration(oxrtNotifier_t start, oxrtNotifier_t end, float* microseconds);

oxrtError_t oxrtMalloc(void** ptr, size_t bytes);
oxrtError_t oxrtFree(void* ptr);
oxrtError_t oxrtMemset(void* ptr, int value, size_t bytes);
// Completed on return.
oxrtError_t oxrtMemcpy(void* dst, const void* src, size_t bytes, oxrtMemcpyKind kind);
// Free and total bytes of the current card.
oxrtError_t oxrtMemGetInfo(size_t* free_bytes, size_t* total_bytes);

const char* oxrtGetErrorName(oxrtError_t error);
oxrtError_t oxrtGetLibVersion(int* major, int* minor, int* patch);

#ifdef __cplusplus
}
#endif

#endif  // OX_PLATFORM_OXRT_H_
