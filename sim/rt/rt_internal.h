// What the simulated collective library needs from the simulated runtime beyond its public
// interface: placing work on a queue.
#ifndef OX_SIM_RT_RT_INTERNAL_H_
#define OX_SIM_RT_RT_INTERNAL_H_

#include <functional>

#include "oxrt.h"

namespace oxsim {

// Appends work to the queue; it runs on the queue's thread after everything placed before it.
// The first non-zero result of the queue's work is what the next oxrtQueueSync returns.
// Returns oxrtErrorInvalidResourceHandle for a queue that is not live. A null queue runs the
// work on the calling thread at once and returns its result.
oxrtError_t QueueSubmit(OXqueue_st* queue, std::function<int()> work);

// The calling thread's current card (oxrtSetDevice; 0 until set). A queue's thread starts on
// the card the queue was created on.
int CurrentDevice();

// True when the calling thread is the thread of some queue (the work must not block on its
// own queue).
bool OnQueueThread();

}  // namespace oxsim

#endif  // OX_SIM_RT_RT_INTERNAL_H_
