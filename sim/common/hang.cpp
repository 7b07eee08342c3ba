// Calls hung by `hang:` faults and their release by an abort.
#include <condition_variable>
#include <mutex>

#include "oxsim.h"

namespace oxsim {
namespace {

struct Hangs {
  std::mutex mutex;
  std::condition_variable released_cv;
  bool released = false;  // under mutex
};

// Never freed: hung queue threads may still wait here while the process exits.
Hangs& GetHangs() {
  static Hangs* hangs = new Hangs;
  return *hangs;
}

}  // namespace

void AwaitRelease() {
  Hangs& h = GetHangs();
  std::unique_lock<std::mutex> lock(h.mutex);
  // No timeout: a hang that ends by itself would not test what ends a hang.
  h.released_cv.wait(lock, [&] { return h.released; });
}

bool HangsReleased() {
  Hangs& h = GetHangs();
  std::lock_guard<std::mutex> lock(h.mutex);
  return h.released;
}

void ReleaseHangs() {
  Hangs& h = GetHangs();
  std::lock_guard<std::mutex> lock(h.mutex);
  h.released = true;
  h.released_cv.notify_all();
}

}  // namespace oxsim
