// The library's public interface beyond the results of the collectives: abort, group
// send/receive, argument checks and the legacy build. Built a second time with
// OXCL_TEST_FAULTS for the cases that need OXSIM_FAULT and the time model set at start-up.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <future>
#include <limits>
#include <thread>
#include <vector>

#include "harness.h"

namespace oxcl_test {
namespace {

using Clock = std::chrono::steady_clock;

std::vector<int32_t> Iota(size_t n, int32_t base) {
  std::vector<int32_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = base + static_cast<int32_t>(i);
  return v;
}

std::vector<int32_t> ReadInts(const DeviceBuffer& buf) {
  std::vector<int32_t> v(buf.size() / sizeof(int32_t));
  buf.Read(0, v.data(), buf.size());
  return v;
}

#ifndef OXCL_TEST_FAULTS

// Runs body(r) for n ranks on threads; a hang ends the test process instead of the suite's
// time limit, since the stuck threads cannot be joined.
std::vector<oxclResult_t> OnEachRankWithin(int n, std::chrono::seconds limit,
                                           const std::function<oxclResult_t(int)>& body) {
  auto done = std::async(std::launch::async, [&] { return OnEachRank(n, body); });
  if (done.wait_for(limit) != std::future_status::ready) {
    ADD_FAILURE() << "ranks still waiting after " << limit.count() << " s";
    std::fprintf(stderr, "ranks hang; ending the test process\n");
    std::_Exit(3);
  }
  return done.get();
}

// ---- abort ----

TEST(OxclAbort, WakesRanksWaitingInACollective) {
  Clique clique(3);
  std::vector<DeviceBuffer> bufs;
  for (int r = 0; r < 3; ++r) bufs.emplace_back(clique.card(r), 4096);
  const Clock::time_point start = Clock::now();
  // Ranks 0 and 1 wait for rank 2, which aborts instead of joining.
  auto results = OnEachRankWithin(3, std::chrono::seconds(10), [&](int r) {
    if (r == 2) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      return oxclAbortComm(clique.comm(2));
    }
    return oxclAllReduce(bufs[r].data(), bufs[r].data(), 1024, oxclFloat32, oxclSum,
                         clique.comm(r), nullptr);
  });
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
  EXPECT_EQ(results[0], oxclAborted);
  EXPECT_EQ(results[1], oxclAborted);
  EXPECT_EQ(results[2], oxclSuccess);
  // The communicators stay unusable, and still destroy cleanly.
  EXPECT_EQ(oxclAllReduce(bufs[0].data(), bufs[0].data(), 1, oxclFloat32, oxclSum,
                          clique.comm(0), nullptr),
            oxclAborted);
  EXPECT_EQ(oxclSend(bufs[1].data(), 1, oxclFloat32, 0, clique.comm(1), nullptr), oxclAborted);
}

TEST(OxclAbort, FailsQueuedCollectivesAndReceives) {
  Clique clique(2);
  Queues queues(clique);
  DeviceBuffer a(clique.card(0), 4096), b(clique.card(1), 4096);
  // Rank 0 waits in a collective on its queue, rank 1 in a receive that nobody sends.
  ASSERT_EQ(oxclAllGather(a.data(), a.data(), 16, oxclInt32, clique.comm(0), queues[0]),
            oxclSuccess);
  ASSERT_EQ(oxclRecv(b.data(), 16, oxclInt32, 0, clique.comm(1), queues[1]), oxclSuccess);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ASSERT_EQ(oxclAbortComm(clique.comm(1)), oxclSuccess);
  auto synced = std::async(std::launch::async, [&] { return queues.SyncAll(); });
  if (synced.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
    ADD_FAILURE() << "queues still busy after abort";
    std::_Exit(3);
  }
  EXPECT_NE(synced.get(), oxrtSuccess);
}

TEST(OxclAbort, RankInNullQueueReceiveReturns) {
  Clique clique(2);
  DeviceBuffer buf(clique.card(0), 64);
  auto results = OnEachRankWithin(2, std::chrono::seconds(10), [&](int r) {
    if (r == 1) {
      std::this_thread::sleep_for(std::chrono::milliseconds(30));
      return oxclAbortComm(clique.comm(0));
    }
    return oxclRecv(buf.data(), 16, oxclInt32, 1, clique.comm(0), nullptr);
  });
  EXPECT_EQ(results[0], oxclAborted);
  EXPECT_EQ(results[1], oxclSuccess);
}

// ---- group send/receive ----

// Every rank sends one block to and receives one block from every rank, itself included,
// all posted in one group: the all-to-all program's pattern.
void CheckAllPairs(int n, uint64_t count, bool queued) {
  Clique clique(n);
  Queues queues(clique);
  std::vector<DeviceBuffer> send, recv;
  const size_t block = count * sizeof(int32_t);
  for (int r = 0; r < n; ++r) {
    send.emplace_back(clique.card(r), block * n);
    recv.emplace_back(clique.card(r), block * n);
    recv[r].Fill(0xEE);
    for (int p = 0; p < n; ++p) {
      const auto values = Iota(count, r * 1000000 + p * 10000);
      send[r].Write(p * block, values.data(), block);
    }
  }
  auto post = [&](int r, oxrtQueue_t q) {
    for (int p = 0; p < n; ++p) {
      if (oxclResult_t rc = oxclSend(send[r].data() + p * block, count, oxclInt32, p,
                                     clique.comm(r), q))
        return rc;
      if (oxclResult_t rc = oxclRecv(recv[r].data() + p * block, count, oxclInt32, p,
                                     clique.comm(r), q))
        return rc;
    }
    return oxclSuccess;
  };
  if (queued) {
    // One thread drives every rank through its queue, within one group.
    ASSERT_EQ(oxclGroupStart(), oxclSuccess);
    for (int r = 0; r < n; ++r) ASSERT_EQ(post(r, queues[r]), oxclSuccess);
    ASSERT_EQ(oxclGroupEnd(), oxclSuccess);
    ASSERT_EQ(queues.SyncAll(), oxrtSuccess);
  } else {
    auto results = OnEachRankWithin(n, std::chrono::seconds(20), [&](int r) {
      if (oxclResult_t rc = oxclGroupStart()) return rc;
      const oxclResult_t posted = post(r, nullptr);
      const oxclResult_t ended = oxclGroupEnd();
      return posted ? posted : ended;
    });
    for (int r = 0; r < n; ++r) EXPECT_EQ(results[r], oxclSuccess) << "rank " << r;
  }
  for (int r = 0; r < n; ++r) {
    const auto got = ReadInts(recv[r]);
    for (int p = 0; p < n; ++p)
      for (uint64_t i = 0; i < count; ++i)
        ASSERT_EQ(got[p * count + i], static_cast<int32_t>(p * 1000000 + r * 10000 + i))
            << "rank " << r << " from " << p << " element " << i;
  }
}

TEST(OxclGroupSendRecv, AllPairsOnNullQueues) {
  CheckAllPairs(2, 1, false);
  CheckAllPairs(4, 3000, false);
  CheckAllPairs(8, 17, false);
}

TEST(OxclGroupSendRecv, AllPairsOnQueuesFromOneThread) {
  CheckAllPairs(3, 1, true);
  CheckAllPairs(4, 100000, true);
}

TEST(OxclGroupSendRecv, RingAndMisuse) {
  const int n = 4;
  const uint64_t count = 1 << 18;
  Clique clique(n);
  std::vector<DeviceBuffer> send, recv;
  for (int r = 0; r < n; ++r) {
    send.emplace_back(clique.card(r), count * 4);
    recv.emplace_back(clique.card(r), count * 4);
    const auto values = Iota(count, r * 7);
    send[r].Write(0, values.data(), count * 4);
  }
  // Receive from the left before sending to the right: only a group makes this complete.
  auto results = OnEachRankWithin(n, std::chrono::seconds(20), [&](int r) {
    oxclGroupStart();
    oxclRecv(recv[r].data(), count, oxclInt32, (r + n - 1) % n, clique.comm(r), nullptr);
    oxclSend(send[r].data(), count, oxclInt32, (r + 1) % n, clique.comm(r), nullptr);
    return oxclGroupEnd();
  });
  for (int r = 0; r < n; ++r) {
    EXPECT_EQ(results[r], oxclSuccess);
    EXPECT_EQ(ReadInts(recv[r]), Iota(count, ((r + n - 1) % n) * 7)) << "rank " << r;
  }
  // An end without a start, and a send to itself outside a group, are usage errors.
  EXPECT_EQ(oxclGroupEnd(), oxclInvalidUsage);
  EXPECT_EQ(oxclSend(send[0].data(), 1, oxclInt32, 0, clique.comm(0), nullptr), oxclInvalidUsage);
}

TEST(OxclGroupSendRecv, MismatchedCountsFailInsteadOfHanging) {
  Clique clique(2);
  DeviceBuffer a(clique.card(0), 64), b(clique.card(1), 64);
  auto results = OnEachRankWithin(2, std::chrono::seconds(10), [&](int r) {
    if (r == 0) return oxclSend(a.data(), 8, oxclInt32, 1, clique.comm(0), nullptr);
    return oxclRecv(b.data(), 4, oxclInt32, 0, clique.comm(1), nullptr);
  });
  EXPECT_NE(results[0], oxclSuccess);
  EXPECT_NE(results[1], oxclSuccess);
}

// ---- invalid arguments ----

TEST(OxclInvalidArguments, NullForeignAndDestroyedCommunicators) {
  DeviceBuffer buf(0, 256);
  void* p = buf.data();
  int count = 0;
  oxclCommConfig_t config{};
  for (oxclComm* comm : {static_cast<oxclComm*>(nullptr), reinterpret_cast<oxclComm*>(p)}) {
    EXPECT_EQ(oxclAllReduce(p, p, 1, oxclFloat32, oxclSum, comm, nullptr), oxclInvalidArgument);
    EXPECT_EQ(oxclReduceScatter(p, p, 1, oxclFloat32, oxclSum, comm, nullptr),
              oxclInvalidArgument);
    EXPECT_EQ(oxclAllGather(p, p, 1, oxclFloat32, comm, nullptr), oxclInvalidArgument);
    EXPECT_EQ(oxclAlltoAll(p, p, 1, oxclFloat32, comm, nullptr), oxclInvalidArgument);
    EXPECT_EQ(oxclSend(p, 1, oxclFloat32, 0, comm, nullptr), oxclInvalidArgument);
    EXPECT_EQ(oxclRecv(p, 1, oxclFloat32, 0, comm, nullptr), oxclInvalidArgument);
    EXPECT_EQ(oxclGetCommCount(&count, comm), oxclInvalidArgument);
    EXPECT_EQ(oxclSetCommConfig(comm, &config), oxclInvalidArgument);
    EXPECT_EQ(oxclAbortComm(comm), oxclInvalidArgument);
  }

  Clique clique(2);
  oxclComm* comms[2] = {clique.comm(0), clique.comm(1)};
  ASSERT_EQ(clique.Destroy(), oxclSuccess);
  EXPECT_EQ(oxclAllReduce(p, p, 1, oxclFloat32, oxclSum, comms[0], nullptr), oxclInvalidUsage);
  EXPECT_EQ(oxclSend(p, 1, oxclFloat32, 1, comms[0], nullptr), oxclInvalidUsage);
  EXPECT_EQ(oxclGetCommCount(&count, comms[1]), oxclInvalidUsage);
  EXPECT_EQ(oxclAbortComm(comms[1]), oxclInvalidUsage);
  EXPECT_EQ(oxclDestroyComms(comms, 2), oxclInvalidUsage) << "destroyed twice";
}

TEST(OxclInvalidArguments, CodesPeersCountsAndConfig) {
  Clique clique(2);
  oxclComm* comm = clique.comm(0);
  DeviceBuffer buf(clique.card(0), 1024);
  void* p = buf.data();
  for (int type : {-1, 11, 1000}) {
    const auto t = static_cast<oxclDataType_t>(type);
    EXPECT_EQ(oxclAllReduce(p, p, 1, t, oxclSum, comm, nullptr), oxclInvalidArgument) << type;
    EXPECT_EQ(oxclAllGather(p, p, 1, t, comm, nullptr), oxclInvalidArgument) << type;
    EXPECT_EQ(oxclSend(p, 1, t, 1, comm, nullptr), oxclInvalidArgument) << type;
  }
  for (int op : {-1, 4, 99}) {
    const auto o = static_cast<oxclReduceOp_t>(op);
    EXPECT_EQ(oxclAllReduce(p, p, 1, oxclInt32, o, comm, nullptr), oxclInvalidArgument) << op;
    EXPECT_EQ(oxclReduceScatter(p, p, 1, oxclInt32, o, comm, nullptr), oxclInvalidArgument) << op;
  }
  for (int peer : {-1, 2, 1 << 30}) {
    EXPECT_EQ(oxclSend(p, 1, oxclInt32, peer, comm, nullptr), oxclInvalidArgument) << peer;
    EXPECT_EQ(oxclRecv(p, 1, oxclInt32, peer, comm, nullptr), oxclInvalidArgument) << peer;
  }
  const uint64_t huge = std::numeric_limits<uint64_t>::max() / 4 + 1;  // x4 bytes overflows
  EXPECT_EQ(oxclAllReduce(p, p, huge, oxclFloat32, oxclSum, comm, nullptr), oxclInvalidArgument);
  EXPECT_EQ(oxclSend(p, huge, oxclInt32, 1, comm, nullptr), oxclInvalidArgument);
  // Only the product with the rank count overflows.
  const uint64_t half = std::numeric_limits<uint64_t>::max() / 2 + 1;
  EXPECT_EQ(oxclAllGather(p, p, half, oxclUint8, comm, nullptr), oxclInvalidArgument);
  EXPECT_EQ(oxclReduceScatter(p, p, half, oxclUint8, oxclSum, comm, nullptr),
            oxclInvalidArgument);
  EXPECT_EQ(oxclAlltoAll(p, p, half, oxclUint8, comm, nullptr), oxclInvalidArgument);

  oxclCommConfig_t config{};
  config.flags = 0x20;
  EXPECT_EQ(oxclSetCommConfig(comm, &config), oxclInvalidArgument);
  EXPECT_EQ(oxclSetCommConfig(comm, nullptr), oxclInvalidArgument);
  config.flags = OXCL_COMM_CONFIG_PRIORITY;
  EXPECT_EQ(oxclSetCommConfig(comm, &config), oxclSuccess);
  EXPECT_EQ(oxclGetCommCount(nullptr, comm), oxclInvalidArgument);
}

TEST(OxclInvalidArguments, BuffersOutsideTheirCardsAllocations) {
  ASSERT_GE(CardCount(), 2);
  Clique clique(2);
  oxclComm* comm = clique.comm(0);
  DeviceBuffer buf(clique.card(0), 256), other(clique.card(1), 256);
  unsigned char* p = buf.data();
  std::vector<float> host(64);
  // Host memory, a range running past the end, memory of another card, a freed allocation.
  EXPECT_EQ(oxclAllReduce(host.data(), p, 64, oxclFloat32, oxclSum, comm, nullptr),
            oxclInvalidArgument);
  EXPECT_EQ(oxclAllReduce(p, host.data(), 64, oxclFloat32, oxclSum, comm, nullptr),
            oxclInvalidArgument);
  EXPECT_EQ(oxclAllReduce(p + 4, p + 4, 64, oxclFloat32, oxclSum, comm, nullptr),
            oxclInvalidArgument);
  EXPECT_EQ(oxclAllReduce(other.data(), other.data(), 1, oxclFloat32, oxclSum, comm, nullptr),
            oxclInvalidArgument);
  // All-gather receives n blocks; reduce-scatter sends n blocks.
  EXPECT_EQ(oxclAllGather(p, p, 64, oxclFloat32, comm, nullptr), oxclInvalidArgument);
  EXPECT_EQ(oxclReduceScatter(p, p, 64, oxclFloat32, oxclSum, comm, nullptr),
            oxclInvalidArgument);
  EXPECT_EQ(oxclAlltoAll(p, p, 64, oxclFloat32, comm, nullptr), oxclInvalidArgument);
  EXPECT_EQ(oxclSend(p + 128, 64, oxclFloat32, 1, comm, nullptr), oxclInvalidArgument);
  EXPECT_EQ(oxclRecv(host.data(), 1, oxclFloat32, 1, comm, nullptr), oxclInvalidArgument);
  // Partly overlapping send and receive ranges (only the in-place position is allowed).
  EXPECT_EQ(oxclAllReduce(p, p + 4, 16, oxclFloat32, oxclSum, comm, nullptr),
            oxclInvalidArgument);

  const void* sends[2] = {p, host.data()};
  void* recvs[2] = {p + 128, p + 192};
  const uint32_t counts[2] = {4, 4};
  const oxclDataType_t types[2] = {oxclFloat32, oxclFloat32};
  EXPECT_EQ(oxclAlltoAllv(sends, counts, types, recvs, counts, types, comm, nullptr),
            oxclInvalidArgument);
  EXPECT_EQ(oxclAlltoAllv(nullptr, counts, types, recvs, counts, types, comm, nullptr),
            oxclInvalidArgument);

  DeviceBuffer gone(clique.card(0), 64);
  void* stale = gone.data();
  gone = DeviceBuffer();
  EXPECT_EQ(oxclAllReduce(stale, stale, 1, oxclFloat32, oxclSum, comm, nullptr),
            oxclInvalidArgument);
}

TEST(OxclInvalidArguments, InitComms) {
  oxclCliqueId id;
  ASSERT_EQ(oxclGetCliqueId(&id), oxclSuccess);
  oxclComm* comms[2] = {};
  const int devs[2] = {0, 1}, ranks[2] = {0, 1}, twice[2] = {1, 1}, bad_devs[2] = {0, 4096};
  EXPECT_EQ(oxclInitComms(nullptr, 2, devs, ranks, 2, id), oxclInvalidArgument);
  EXPECT_EQ(oxclInitComms(comms, 2, devs, ranks, 1, id), oxclInvalidArgument);
  EXPECT_EQ(oxclInitComms(comms, 2, devs, twice, 2, id), oxclInvalidArgument);
  EXPECT_EQ(oxclInitComms(comms, 2, bad_devs, ranks, 2, id), oxclInvalidArgument);
  oxclCliqueId garbage;
  std::memset(&garbage, 0x5A, sizeof garbage);
  EXPECT_EQ(oxclInitComms(comms, 2, devs, ranks, 2, garbage), oxclInvalidArgument);
  EXPECT_EQ(oxclGetCliqueId(nullptr), oxclInvalidArgument);
  EXPECT_STRNE(oxclGetErrorStr(static_cast<oxclResult_t>(1234)), nullptr);
}

// ---- the legacy build ----

TEST(OxclLegacyLibrary, LacksTheOptionalEntryPoints) {
  const char* optional[] = {"oxclGroupStart", "oxclGroupEnd", "oxclAlltoAll",
                            "_ZN4oxcl20oxclGetOxwireMemSizeEPm"};
  const char* core[] = {"oxclGetCliqueId", "oxclInitComms",     "oxclDestroyComms",
                        "oxclAbortComm",   "oxclGetCommCount",  "oxclAllReduce",
                        "oxclReduceScatter", "oxclAllGather",   "oxclAlltoAllv",
                        "oxclSend",        "oxclRecv",          "oxclGetErrorStr",
                        "oxclGetLibVersion", "oxclSetCommConfig"};
  struct Library {
    const char* path;
    bool optional;
  };
  for (const Library& lib : {Library{OXCL_LEGACY_PATH, false}, Library{OXCL_CURRENT_PATH, true}}) {
    // A path with a slash loads that file, though it shares the soname of the linked library.
    void* handle = dlopen(lib.path, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle, nullptr) << dlerror();
    for (const char* name : core) EXPECT_NE(dlsym(handle, name), nullptr) << lib.path << " " << name;
    for (const char* name : optional)
      EXPECT_EQ(dlsym(handle, name) != nullptr, lib.optional) << lib.path << " " << name;
    using Version = oxclResult_t (*)(int*, int*, int*);
    auto version = reinterpret_cast<Version>(dlsym(handle, "oxclGetLibVersion"));
    int major = 0, minor = 0, patch = 0;
    ASSERT_NE(version, nullptr);
    EXPECT_EQ(version(&major, &minor, &patch), oxclSuccess);
    EXPECT_EQ(major, 1);
    EXPECT_EQ(minor >= 12, lib.optional) << "minor version " << minor;
    // Not closed: the library's entry point objects live until exit.
  }
}

#else  // OXCL_TEST_FAULTS

// Runs with OXSIM_FAULT=oxclReduceScatter:2,oxclGetCommCount:1:6,oxclGroupStart:2,
//   corrupt:oxclAllGather:2:1:3,corrupt:oxclRecv:1:1
// and OXSIM_LINK_GBPS=2, OXSIM_LINK_LATENCY_US=1000. Every test case runs in a process of
// its own, so every count starts at 1.

TEST(OxclFaultInjection, NthCallOfACollectiveFails) {
  Clique clique(2);
  Queues queues(clique);
  DeviceBuffer a(clique.card(0), 64), b(clique.card(1), 64);
  const auto ones = Iota(8, 1);
  a.Write(0, ones.data(), 32);
  b.Write(0, ones.data(), 32);
  // One thread, so the calls count in order: rank 1's first try is the 2nd call.
  ASSERT_EQ(oxclReduceScatter(a.data(), a.data(), 4, oxclInt32, oxclSum, clique.comm(0),
                              queues[0]),
            oxclSuccess);
  EXPECT_EQ(oxclReduceScatter(b.data(), b.data() + 16, 4, oxclInt32, oxclSum, clique.comm(1),
                              queues[1]),
            oxclInternalError);
  // The failed call never reached the clique: the retry completes rank 0's waiting call.
  ASSERT_EQ(oxclReduceScatter(b.data(), b.data() + 16, 4, oxclInt32, oxclSum, clique.comm(1),
                              queues[1]),
            oxclSuccess);
  ASSERT_EQ(queues.SyncAll(), oxrtSuccess);
  std::vector<int32_t> got(4);
  a.Read(0, got.data(), 16);
  EXPECT_EQ(got, (std::vector<int32_t>{2, 4, 6, 8}));
  b.Read(16, got.data(), 16);
  EXPECT_EQ(got, (std::vector<int32_t>{10, 12, 14, 16}));
}

TEST(OxclFaultInjection, GivenCodeAndNonCollectiveEntryPoints) {
  Clique clique(2);
  int count = 0;
  EXPECT_EQ(oxclGetCommCount(&count, clique.comm(0)), static_cast<oxclResult_t>(6));
  EXPECT_EQ(oxclGetCommCount(&count, clique.comm(0)), oxclSuccess);
  EXPECT_EQ(count, 2);
  EXPECT_EQ(oxclGroupStart(), oxclSuccess);
  EXPECT_EQ(oxclGroupEnd(), oxclSuccess);
  EXPECT_EQ(oxclGroupStart(), oxclInternalError);
  EXPECT_EQ(oxclGroupEnd(), oxclInvalidUsage) << "the failed start opened no group";
}

TEST(OxclFaultInjection, CorruptsOneElementOfTheNamedRanksCall) {
  const uint64_t count = 8;
  Clique clique(2);
  Queues queues(clique);
  std::vector<DeviceBuffer> send, recv;
  for (int r = 0; r < 2; ++r) {
    send.emplace_back(clique.card(r), count * 4);
    recv.emplace_back(clique.card(r), 2 * count * 4);
    const auto values = Iota(count, r * 100);
    send[r].Write(0, values.data(), count * 4);
  }
  std::vector<int32_t> expected = Iota(count, 0), upper = Iota(count, 100);
  expected.insert(expected.end(), upper.begin(), upper.end());
  for (int call = 1; call <= 3; ++call) {
    for (int r = 0; r < 2; ++r)
      ASSERT_EQ(oxclAllGather(send[r].data(), recv[r].data(), count, oxclInt32, clique.comm(r),
                              queues[r]),
                oxclSuccess);
    ASSERT_EQ(queues.SyncAll(), oxrtSuccess);
    EXPECT_EQ(ReadInts(recv[0]), expected) << "call " << call;
    const auto got = ReadInts(recv[1]);
    for (size_t i = 0; i < got.size(); ++i) {
      if (call == 2 && i == 3)
        EXPECT_NE(got[i], expected[i]) << "rank 1's second call, element 3";
      else
        EXPECT_EQ(got[i], expected[i]) << "call " << call << " element " << i;
    }
  }
}

TEST(OxclFaultInjection, CorruptsAReceive) {
  Clique clique(2);
  Queues queues(clique);
  DeviceBuffer a(clique.card(0), 16), b(clique.card(1), 16);
  const auto values = Iota(4, 40);
  a.Write(0, values.data(), 16);
  b.Write(0, values.data(), 16);
  ASSERT_EQ(oxclGroupStart(), oxclSuccess);
  ASSERT_EQ(oxclSend(a.data(), 4, oxclInt32, 1, clique.comm(0), queues[0]), oxclSuccess);
  ASSERT_EQ(oxclRecv(b.data(), 4, oxclInt32, 0, clique.comm(1), queues[1]), oxclSuccess);
  ASSERT_EQ(oxclGroupEnd(), oxclSuccess);
  ASSERT_EQ(queues.SyncAll(), oxrtSuccess);
  auto got = ReadInts(b);
  EXPECT_NE(got[0], 40);
  got[0] = 40;
  EXPECT_EQ(got, values);
}

// The time model: each rank's call lasts at least latency + 2(n-1)/n S / rate. Only a
// generous upper bound, so a loaded machine does not fail the test.
TEST(OxclTimeModel, AllReduceLastsLatencyPlusBusBytesOverRate) {
  const int n = 4;
  const uint64_t count = 1 << 20;  // 4 MiB of floats: 6 MiB of bus bytes, 3.1 ms at 2 GB/s
  const double modelled = 1e-3 + 2.0 * (n - 1) / n * count * 4 / 2e9;
  Clique clique(n);
  Queues queues(clique);
  std::vector<DeviceBuffer> bufs;
  for (int r = 0; r < n; ++r) bufs.emplace_back(clique.card(r), count * 4);

  std::vector<double> seconds(n);
  auto results = OnEachRank(n, [&](int r) {
    const Clock::time_point start = Clock::now();
    const oxclResult_t rc = oxclAllReduce(bufs[r].data(), bufs[r].data(), count, oxclFloat32,
                                          oxclSum, clique.comm(r), nullptr);
    seconds[r] = std::chrono::duration<double>(Clock::now() - start).count();
    return rc;
  });
  for (int r = 0; r < n; ++r) {
    EXPECT_EQ(results[r], oxclSuccess);
    EXPECT_GE(seconds[r], modelled) << "rank " << r;
    EXPECT_LT(seconds[r], modelled * 20 + 1.0) << "rank " << r;
  }

  // On queues, five calls back to back take at least five times as long; zero elements still
  // take the latency.
  const Clock::time_point start = Clock::now();
  for (int i = 0; i < 5; ++i)
    for (int r = 0; r < n; ++r)
      ASSERT_EQ(oxclAllReduce(bufs[r].data(), bufs[r].data(), count, oxclFloat32, oxclSum,
                              clique.comm(r), queues[r]),
                oxclSuccess);
  for (int r = 0; r < n; ++r)
    ASSERT_EQ(oxclAllReduce(bufs[r].data(), bufs[r].data(), 0, oxclFloat32, oxclSum,
                            clique.comm(r), queues[r]),
              oxclSuccess);
  ASSERT_EQ(queues.SyncAll(), oxrtSuccess);
  const double queued = std::chrono::duration<double>(Clock::now() - start).count();
  EXPECT_GE(queued, 5 * modelled + 1e-3);
  EXPECT_LT(queued, 5 * modelled * 20 + 2.0);
}

#endif  // OXCL_TEST_FAULTS

}  // namespace
}  // namespace oxcl_test
