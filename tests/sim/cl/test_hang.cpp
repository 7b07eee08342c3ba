// Hung calls (`hang:` faults) and their release by an abort. Runs with
// OXSIM_FAULT=hang:oxclAllReduce:2,hang:oxclAllGather:1,hang:oxrtQueueSync:2,
//   hang:oxclInitComms:2,hang:oxclGetCommCount:*
// Every test case runs in a process of its own: a release is for good, and counts start at 1.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <thread>

#include "harness.h"

namespace oxcl_test {
namespace {

using std::chrono::milliseconds;

// A hang must last: the call is still running after this long.
constexpr milliseconds kStillHung(300);
// ...and end soon after the abort, even on a loaded machine.
constexpr std::chrono::seconds kReleased(20);

// Waits for a call that the abort must have released; a call still stuck ends the process,
// since its thread cannot be joined.
template <typename T>
T Released(std::future<T>& call) {
  if (call.wait_for(kReleased) != std::future_status::ready) {
    ADD_FAILURE() << "still hung " << kReleased.count() << " s after the abort";
    std::fprintf(stderr, "a hung call was not released; ending the test process\n");
    std::_Exit(3);
  }
  return call.get();
}

TEST(OxclHang, CollectiveOnTheCallersThreadWaitsForAnAbort) {
  Clique clique(2);
  DeviceBuffer a(clique.card(0), 64), b(clique.card(1), 64);
  // Rank 0's call (the 1st) waits for rank 1, whose call (the 2nd) hangs instead of joining.
  auto first = std::async(std::launch::async, [&] {
    return oxclAllReduce(a.data(), a.data(), 4, oxclInt32, oxclSum, clique.comm(0), nullptr);
  });
  std::this_thread::sleep_for(milliseconds(50));
  auto second = std::async(std::launch::async, [&] {
    return oxclAllReduce(b.data(), b.data(), 4, oxclInt32, oxclSum, clique.comm(1), nullptr);
  });
  EXPECT_EQ(second.wait_for(kStillHung), std::future_status::timeout);
  EXPECT_EQ(first.wait_for(milliseconds(0)), std::future_status::timeout);
  ASSERT_EQ(oxclAbortComm(clique.comm(0)), oxclSuccess);
  EXPECT_EQ(Released(second), oxclAborted);
  EXPECT_EQ(Released(first), oxclAborted);
  // Only the named call hangs; later ones fail at once, as on any aborted communicator.
  EXPECT_EQ(oxclAllReduce(a.data(), a.data(), 4, oxclInt32, oxclSum, clique.comm(0), nullptr),
            oxclAborted);
}

TEST(OxclHang, QueuedCollectiveReturnsAndNeverFinishes) {
  Clique clique(2);
  Queues queues(clique);
  DeviceBuffer a(clique.card(0), 256), b(clique.card(1), 256);
  // The hung call itself returns: its work is what never finishes.
  ASSERT_EQ(oxclAllGather(a.data(), a.data(), 4, oxclInt32, clique.comm(0), queues[0]),
            oxclSuccess);
  ASSERT_EQ(oxclAllGather(b.data(), b.data() + 16, 4, oxclInt32, clique.comm(1), queues[1]),
            oxclSuccess);
  auto synced = std::async(std::launch::async, [&] { return queues.SyncAll(); });
  EXPECT_EQ(synced.wait_for(kStillHung), std::future_status::timeout);
  ASSERT_EQ(oxclAbortComm(clique.comm(1)), oxclSuccess);
  EXPECT_EQ(Released(synced), oxrtErrorLaunchFailure);
}

TEST(OxclHang, BlockingCallWaitsForAnAbortOfAnyCommunicator) {
  oxrtQueue_t queue = nullptr;
  ASSERT_EQ(oxrtQueueCreate(&queue), oxrtSuccess);
  ASSERT_EQ(oxrtQueueSync(queue), oxrtSuccess);
  auto sync = std::async(std::launch::async, [&] { return oxrtQueueSync(queue); });
  EXPECT_EQ(sync.wait_for(kStillHung), std::future_status::timeout);
  // A queue belongs to no communicator: the abort of an unrelated one releases its sync. A
  // call that reaches no live communicator releases nothing.
  Clique other(1);
  EXPECT_NE(oxclAbortComm(nullptr), oxclSuccess);
  EXPECT_EQ(sync.wait_for(milliseconds(100)), std::future_status::timeout);
  ASSERT_EQ(oxclAbortComm(other.comm(0)), oxclSuccess);
  EXPECT_EQ(Released(sync), oxrtErrorLaunchFailure);
  EXPECT_EQ(oxrtQueueSync(queue), oxrtSuccess) << "the 3rd call is not named";
  // Named for every call: after the release each returns the abort error at once.
  int count = 0;
  EXPECT_EQ(oxclGetCommCount(&count, other.comm(0)), oxclAborted);
  EXPECT_EQ(oxclGetCommCount(&count, other.comm(0)), oxclAborted);
  EXPECT_EQ(oxrtQueueDestroy(queue), oxrtSuccess);
}

TEST(OxclHang, CommunicatorSetUpWaitsForAnAbort) {
  Clique first(1);  // the 1st oxclInitComms
  oxclCliqueId id;
  ASSERT_EQ(oxclGetCliqueId(&id), oxclSuccess);
  oxclComm* comm = nullptr;
  const int dev = 0, rank = 0;
  auto init = std::async(std::launch::async,
                         [&] { return oxclInitComms(&comm, 1, &dev, &rank, 1, id); });
  EXPECT_EQ(init.wait_for(kStillHung), std::future_status::timeout);
  ASSERT_EQ(oxclAbortComm(first.comm(0)), oxclSuccess);
  EXPECT_EQ(Released(init), oxclAborted);
  EXPECT_EQ(comm, nullptr) << "a released set-up made no communicator";
}

}  // namespace
}  // namespace oxcl_test
