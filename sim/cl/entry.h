// The head of every oxcl entry point: its call is counted, and an injected failure or hang
// (OXSIM_FAULT) takes effect.
#ifndef OXCL_SIM_ENTRY_H_
#define OXCL_SIM_ENTRY_H_

#include "oxcl.h"
#include "oxsim.h"

// Counts a call of an entry point and returns the injected failure, if any.
#define OXCL_ENTER(name)                                              \
  static oxsim::EntryPoint entry_point(name);                        \
  if (int injected = entry_point.Enter(oxclInternalError, oxclAborted)) \
    return static_cast<oxclResult_t>(injected)

// Collectives: a hung call returns, and its work never finishes, on its queue or (null queue)
// on the caller's thread, until an abort (LaunchCollective).
#define OXCL_ENTER_COLLECTIVE(name)                                              \
  static oxsim::EntryPoint entry_point(name);                                   \
  bool hangs = false;                                                            \
  if (int injected = entry_point.Enter(oxclInternalError, oxclAborted, &hangs)) \
    return static_cast<oxclResult_t>(injected)

#endif  // OXCL_SIM_ENTRY_H_
