// Shared between the sources of liboxrt.so only.
#ifndef OX_SIM_RT_RT_PRIVATE_H_
#define OX_SIM_RT_RT_PRIVATE_H_

namespace oxsim {

// Binds a queue's own thread to the queue's card, without counting an oxrtSetDevice call.
void SetCurrentDeviceForQueueThread(int device);

}  // namespace oxsim

#endif  // OX_SIM_RT_RT_PRIVATE_H_
