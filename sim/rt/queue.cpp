// liboxrt.so, queues and notifiers. A queue is an ordered work list run by a host thread of its
// own; a notifier records the steady-clock time at which its queue reaches it.
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <system_error>
#include <thread>
#include <unordered_set>

#include "oxrt.h"
#include "oxsim.h"
#include "rt_internal.h"
#include "rt_private.h"

using Clock = std::chrono::steady_clock;

namespace {

// Waiters spin this long before sleeping: short enough not to starve the other threads of a
// 2-core host, long enough to catch a back-to-back submission without a wake-up.
constexpr auto kSpin = std::chrono::microseconds(4);

thread_local bool on_queue_thread = false;

// Spins up to kSpin for `ready`; true when it became true.
template <typename Pred>
bool SpinFor(Pred ready) {
  const auto until = Clock::now() + kSpin;
  do {
    if (ready()) return true;
  } while (Clock::now() < until);
  return ready();
}

}  // namespace

struct OXqueue_st {
  int card = 0;
  std::mutex mutex;
  std::condition_variable work_cv;  // the queue thread waits here for work
  std::condition_variable done_cv;  // oxrtQueueSync waits here for completions
  std::deque<std::function<int()>> work;
  uint64_t submitted = 0;               // under mutex
  std::atomic<uint64_t> queued{0};      // mirror of submitted, read while spinning
  std::atomic<uint64_t> completed{0};
  int first_error = 0;                  // under mutex
  bool stopping = false;                // under mutex
  bool worker_sleeping = false;         // under mutex
  int sync_waiters = 0;                 // under mutex
  std::thread thread;

  void Run();
};

void OXqueue_st::Run() {
  on_queue_thread = true;
  oxsim::SetCurrentDeviceForQueueThread(card);
  std::unique_lock<std::mutex> lock(mutex);
  for (;;) {
    if (work.empty() && !stopping) {
      lock.unlock();
      SpinFor([&] { return queued.load(std::memory_order_acquire) != completed.load(); });
      lock.lock();
      worker_sleeping = true;
      work_cv.wait(lock, [&] { return !work.empty() || stopping; });
      worker_sleeping = false;
    }
    if (work.empty()) return;  // stopping, and everything placed before has run
    std::function<int()> item = std::move(work.front());
    work.pop_front();
    lock.unlock();
    int rc = 0;
    // Work comes from the collective library; a throw must not take the thread down.
    try {
      rc = item();
    } catch (...) {
      rc = oxrtErrorUnknown;
    }
    item = nullptr;  // release captures before reporting completion
    lock.lock();
    if (rc != 0 && first_error == 0) first_error = rc;
    completed.fetch_add(1, std::memory_order_release);
    if (sync_waiters > 0) done_cv.notify_all();
  }
}

struct OXnotifier_st {
  // Shared with the work placed on a queue, which may still run after the notifier is gone.
  struct State {
    std::mutex mutex;
    std::condition_variable cv;
    uint64_t generation = 0;  // bumped by every placement; only the latest one counts
    bool placed = false;
    bool reached = false;
    Clock::time_point when;
  };
  std::shared_ptr<State> state = std::make_shared<State>();
};

namespace {

// Live handles, so that a stale or foreign handle is an error code instead of a crash. Never
// freed: queue threads may still run while the process exits.
struct Handles {
  std::shared_mutex mutex;
  std::unordered_set<const void*> queues;
  std::unordered_set<const void*> notifiers;
};

Handles& GetHandles() {
  static Handles* handles = new Handles;
  return *handles;
}

bool LiveNotifier(const OXnotifier_st* n) {
  Handles& h = GetHandles();
  std::shared_lock<std::shared_mutex> lock(h.mutex);
  return n && h.notifiers.count(n) > 0;
}

bool LiveQueue(const OXqueue_st* q) {
  Handles& h = GetHandles();
  std::shared_lock<std::shared_mutex> lock(h.mutex);
  return q && h.queues.count(q) > 0;
}

// Appends work to a queue the caller knows to be live (registry lock held).
void Append(OXqueue_st* q, std::function<int()> work) {
  std::lock_guard<std::mutex> lock(q->mutex);
  q->work.push_back(std::move(work));
  ++q->submitted;
  q->queued.store(q->submitted, std::memory_order_release);
  if (q->worker_sleeping) q->work_cv.notify_one();
}

void Reach(OXnotifier_st::State& s, uint64_t generation) {
  const auto now = Clock::now();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (s.generation != generation) return;  // placed again since: the later placement counts
  s.when = now;
  s.reached = true;
  s.cv.notify_all();
}

#define OXRT_ENTER(name)                                         \
  static oxsim::EntryPoint entry_point(name);                    \
  if (int injected = entry_point.Enter(oxrtErrorUnknown, oxrtErrorLaunchFailure)) \
  return static_cast<oxrtError_t>(injected)

}  // namespace

namespace oxsim {

oxrtError_t QueueSubmit(OXqueue_st* queue, std::function<int()> work) {
  if (!work) return oxrtErrorInvalidValue;
  if (!queue) return static_cast<oxrtError_t>(work());
  Handles& h = GetHandles();
  // Held while appending, so that oxrtQueueDestroy cannot free the queue under us.
  std::shared_lock<std::shared_mutex> lock(h.mutex);
  if (!h.queues.count(queue)) return oxrtErrorInvalidResourceHandle;
  Append(queue, std::move(work));
  return oxrtSuccess;
}

bool OnQueueThread() { return on_queue_thread; }

}  // namespace oxsim

extern "C" {

oxrtError_t oxrtQueueCreate(oxrtQueue_t* queue) {
  OXRT_ENTER("oxrtQueueCreate");
  if (!queue) return oxrtErrorInvalidValue;
  std::unique_ptr<OXqueue_st> q;
  // Out of memory or threads is a status code here, not an exception across the C interface.
  try {
    q = std::make_unique<OXqueue_st>();
    q->card = oxsim::CurrentDevice();
    q->thread = std::thread(&OXqueue_st::Run, q.get());
  } catch (const std::system_error& e) {
    // No task slot or no memory for the thread's stack: the caller has asked for more
    // threads than the host gives.
    oxsim::Complain("oxrtQueueCreate: cannot start the queue's thread: %s; use fewer queues",
                    e.code().message().c_str());
    return oxrtErrorMemoryAllocation;
  } catch (...) {
    oxsim::Complain("oxrtQueueCreate: no memory for a new queue");
    return oxrtErrorMemoryAllocation;
  }
  Handles& h = GetHandles();
  std::unique_lock<std::shared_mutex> lock(h.mutex);
  h.queues.insert(q.get());
  *queue = q.release();
  return oxrtSuccess;
}

oxrtError_t oxrtQueueDestroy(oxrtQueue_t queue) {
  OXRT_ENTER("oxrtQueueDestroy");
  if (!queue) return oxrtErrorInvalidResourceHandle;
  Handles& h = GetHandles();
  {
    std::unique_lock<std::shared_mutex> lock(h.mutex);
    if (!h.queues.count(queue)) return oxrtErrorInvalidResourceHandle;
    if (queue->thread.get_id() == std::this_thread::get_id()) {
      oxsim::Complain("oxrtQueueDestroy: a queue cannot be destroyed by its own work");
      return oxrtErrorInvalidResourceHandle;
    }
    h.queues.erase(queue);
  }
  // Drain: the work placed before runs to its end, then the thread leaves.
  {
    std::lock_guard<std::mutex> lock(queue->mutex);
    queue->stopping = true;
    queue->work_cv.notify_one();
  }
  queue->thread.join();
  delete queue;
  return oxrtSuccess;
}

oxrtError_t oxrtQueueSync(oxrtQueue_t queue) {
  OXRT_ENTER("oxrtQueueSync");
  if (!queue) return oxrtSuccess;  // the null queue runs its work synchronously
  if (!LiveQueue(queue)) return oxrtErrorInvalidResourceHandle;
  if (queue->thread.get_id() == std::this_thread::get_id()) {
    oxsim::Complain("oxrtQueueSync: a queue's own work cannot wait for that queue");
    return oxrtErrorInvalidResourceHandle;
  }
  uint64_t target;
  {
    std::lock_guard<std::mutex> lock(queue->mutex);
    target = queue->submitted;
  }
  if (!SpinFor([&] { return queue->completed.load(std::memory_order_acquire) >= target; })) {
    std::unique_lock<std::mutex> lock(queue->mutex);
    ++queue->sync_waiters;
    queue->done_cv.wait(lock, [&] { return queue->completed.load() >= target; });
    --queue->sync_waiters;
  }
  std::lock_guard<std::mutex> lock(queue->mutex);
  const int error = queue->first_error;
  queue->first_error = 0;
  return static_cast<oxrtError_t>(error);
}

oxrtError_t oxrtNotifierCreate(oxrtNotifier_t* notifier) {
  OXRT_ENTER("oxrtNotifierCreate");
  if (!notifier) return oxrtErrorInvalidValue;
  auto* n = new OXnotifier_st;
  Handles& h = GetHandles();
  std::unique_lock<std::shared_mutex> lock(h.mutex);
  h.notifiers.insert(n);
  *notifier = n;
  return oxrtSuccess;
}

oxrtError_t oxrtNotifierDestroy(oxrtNotifier_t notifier) {
  OXRT_ENTER("oxrtNotifierDestroy");
  Handles& h = GetHandles();
  {
    std::unique_lock<std::shared_mutex> lock(h.mutex);
    if (!notifier || !h.notifiers.erase(notifier)) return oxrtErrorInvalidResourceHandle;
  }
  delete notifier;  // pending placements keep the shared state alive
  return oxrtSuccess;
}

oxrtError_t oxrtPlaceNotifier(oxrtNotifier_t notifier, oxrtQueue_t queue) {
  OXRT_ENTER("oxrtPlaceNotifier");
  if (!LiveNotifier(notifier)) return oxrtErrorInvalidResourceHandle;
  std::shared_ptr<OXnotifier_st::State> state = notifier->state;
  uint64_t generation;
  {
    std::lock_guard<std::mutex> lock(state->mutex);
    generation = ++state->generation;
    state->placed = true;
    state->reached = false;
  }
  if (!queue) {
    Reach(*state, generation);
    return oxrtSuccess;
  }
  const oxrtError_t rc = oxsim::QueueSubmit(queue, [state, generation] {
    Reach(*state, generation);
    return 0;
  });
  if (rc != oxrtSuccess) {
    // Nothing will reach it: back to "never placed", so a wait reports an error, not a hang.
    std::lock_guard<std::mutex> lock(state->mutex);
    if (state->generation == generation) state->placed = false;
  }
  return rc;
}

oxrtError_t oxrtWaitNotifier(oxrtNotifier_t notifier) {
  OXRT_ENTER("oxrtWaitNotifier");
  if (!LiveNotifier(notifier)) return oxrtErrorInvalidResourceHandle;
  OXnotifier_st::State& s = *notifier->state;
  auto done = [&] { return s.reached || !s.placed; };
  std::unique_lock<std::mutex> lock(s.mutex);
  if (!done()) {
    lock.unlock();
    SpinFor([&] {
      std::lock_guard<std::mutex> spin_lock(s.mutex);
      return done();
    });
    lock.lock();
    s.cv.wait(lock, done);
  }
  if (!s.placed) {
    oxsim::Complain("oxrtWaitNotifier: the notifier was never placed on a queue");
    return oxrtErrorInvalidResourceHandle;
  }
  return oxrtSuccess;
}

oxrtError_t oxrtNotifierDuration(oxrtNotifier_t start, oxrtNotifier_t end, float* microseconds) {
  OXRT_ENTER("oxrtNotifierDuration");
  if (!microseconds) return oxrtErrorInvalidValue;
  if (!LiveNotifier(start) || !LiveNotifier(end)) return oxrtErrorInvalidResourceHandle;
  Clock::time_point t0, t1;
  {
    std::lock_guard<std::mutex> lock(start->state->mutex);
    if (!start->state->reached) return oxrtErrorNotReady;
    t0 = start->state->when;
  }
  {
    std::lock_guard<std::mutex> lock(end->state->mutex);
    if (!end->state->reached) return oxrtErrorNotReady;
    t1 = end->state->when;
  }
  *microseconds = std::chrono::duration<float, std::micro>(t1 - t0).count();
  return oxrtSuccess;
}

}  // extern "C"
