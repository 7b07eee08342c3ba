// Injected failures through every library. Runs with
// OXSIM_FAULT=oxrtMalloc:2,oxrtMalloc:4:5,oxrtQueueSync:1:9,oxdevInit:1,oxInit:2:3,
//   OX_MPI_Barrier:2,corrupt:oxclAllReduce:2:1:7,corrupt:oxclAllGather:*
// Every test case runs in a process of its own, so every count starts at 1.
#include <gtest/gtest.h>

#include <string>

#include "ox.h"
#include "oxdev.h"
#include "oxmpi_wrapper.h"
#include "oxrt.h"
#include "oxsim.h"

namespace {

TEST(FaultInjection, NthCallFailsWithTheDefaultOrGivenCode) {
  void* p[5] = {};
  EXPECT_EQ(oxrtMalloc(&p[0], 64), oxrtSuccess);
  EXPECT_EQ(oxrtMalloc(&p[1], 64), oxrtErrorUnknown) << "2nd call, the library's default";
  EXPECT_EQ(oxrtMalloc(&p[2], 64), oxrtSuccess);
  EXPECT_EQ(oxrtMalloc(&p[3], 64), static_cast<oxrtError_t>(5)) << "4th call, code given";
  EXPECT_EQ(oxrtMalloc(&p[4], 64), oxrtSuccess);
  EXPECT_EQ(oxsim::CallCount("oxrtMalloc"), 5u) << "failed calls count too";
  for (void* q : {p[0], p[2], p[4]}) EXPECT_EQ(oxrtFree(q), oxrtSuccess);
  // Entry points the fault does not name are unaffected.
  EXPECT_EQ(oxsim::CallCount("oxrtFree"), 3u);
}

TEST(FaultInjection, QueueSyncFailsOnce) {
  oxrtQueue_t q = nullptr;
  ASSERT_EQ(oxrtQueueCreate(&q), oxrtSuccess);
  EXPECT_EQ(oxrtQueueSync(q), oxrtErrorLaunchFailure);
  EXPECT_EQ(oxrtQueueSync(q), oxrtSuccess);
  EXPECT_EQ(oxrtQueueDestroy(q), oxrtSuccess);
}

TEST(FaultInjection, DriverAndDeviceManagement) {
  EXPECT_EQ(oxdevInit(0), OXDEV_ERROR_UNKNOWN);
  EXPECT_EQ(oxdevInit(0), OXDEV_SUCCESS);
  EXPECT_EQ(oxInit(0), OX_SUCCESS);
  EXPECT_EQ(oxInit(0), static_cast<oxError_t>(3));
  EXPECT_EQ(oxInit(0), OX_SUCCESS);
}

TEST(FaultInjection, MpiWrapper) {
  int argc = 0;
  char** argv = nullptr;
  ASSERT_EQ(OX_MPI_Init(&argc, &argv), 0);
  EXPECT_EQ(OX_MPI_Barrier(OX_MPI_COMM_WORLD), 0);
  EXPECT_NE(OX_MPI_Barrier(OX_MPI_COMM_WORLD), 0);
  EXPECT_EQ(OX_MPI_Barrier(OX_MPI_COMM_WORLD), 0);
  EXPECT_EQ(OX_MPI_Finalize(), 0);
}

TEST(FaultInjection, CorruptCountsPerRank) {
  uint64_t index = 123;
  // Rank 0's calls do not advance rank 1's count.
  for (int i = 0; i < 3; ++i) EXPECT_FALSE(oxsim::CorruptAfter("oxclAllReduce", 0, &index));
  EXPECT_FALSE(oxsim::CorruptAfter("oxclAllReduce", 1, &index));
  EXPECT_TRUE(oxsim::CorruptAfter("oxclAllReduce", 1, &index));
  EXPECT_EQ(index, 7u);
  EXPECT_FALSE(oxsim::CorruptAfter("oxclAllReduce", 1, &index));
  EXPECT_FALSE(oxsim::CorruptAfter("oxclReduceScatter", 1, &index));
  // '*' on the default rank 0 and index 0: every call of that rank.
  for (int i = 0; i < 4; ++i) {
    index = 5;
    EXPECT_TRUE(oxsim::CorruptAfter("oxclAllGather", 0, &index));
    EXPECT_EQ(index, 0u);
  }
  EXPECT_FALSE(oxsim::CorruptAfter("oxclAllGather", 2, &index));
}

// What never fired is named: failing items by their call count, `corrupt:` items only when
// their rank is in this process or in no communicator at all (another process reports its own).
TEST(FaultInjection, UnfiredItemsAreNamed) {
  EXPECT_EQ(oxsim::UnfiredFaults().size(), 8u) << "nothing has run yet";
  void* p[2] = {};
  EXPECT_EQ(oxrtMalloc(&p[0], 64), oxrtSuccess);
  EXPECT_NE(oxrtMalloc(&p[1], 64), oxrtSuccess);
  EXPECT_EQ(oxrtFree(p[0]), oxrtSuccess);
  oxsim::NoteRankCount(2);
  uint64_t index = 0;
  EXPECT_TRUE(oxsim::CorruptAfter("oxclAllGather", 0, &index));
  EXPECT_FALSE(oxsim::CorruptAfter("oxclAllReduce", 1, &index));
  std::string all;
  for (const std::string& line : oxsim::UnfiredFaults()) all += line + "\n";
  EXPECT_EQ(all.find("oxrtMalloc:2 "), std::string::npos) << all;
  EXPECT_EQ(all.find("corrupt:oxclAllGather"), std::string::npos) << all;
  EXPECT_NE(all.find("OXSIM_FAULT item oxrtMalloc:4 never fired: oxrtMalloc was called 2 times"),
            std::string::npos) << all;
  EXPECT_NE(all.find("item oxrtQueueSync:1 never fired"), std::string::npos) << all;
  EXPECT_NE(all.find("corrupt:oxclAllReduce:2:1:7 never fired: rank 1 completed 1 "
                     "oxclAllReduce calls"), std::string::npos) << all;
  EXPECT_EQ(oxsim::UnfiredFaults().size(), 6u) << all;
}

}  // namespace
