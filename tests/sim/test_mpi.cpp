// The MPI wrapper in a process started without a launcher (a group of one).
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

#include "oxmpi_wrapper.h"

namespace {

class SingletonMpi : public testing::Test {
 protected:
  void SetUp() override {
    int argc = 0;
    char** argv = nullptr;
    ASSERT_EQ(OX_MPI_Init(&argc, &argv), 0);
  }
  void TearDown() override { EXPECT_EQ(OX_MPI_Finalize(), 0); }
};

TEST_F(SingletonMpi, IsOneProcessOfRankZero) {
  int size = -1, rank = -1;
  EXPECT_EQ(OX_MPI_Comm_size(OX_MPI_COMM_WORLD, &size), 0);
  EXPECT_EQ(OX_MPI_Comm_rank(OX_MPI_COMM_WORLD, &rank), 0);
  EXPECT_EQ(size, 1);
  EXPECT_EQ(rank, 0);
  EXPECT_EQ(OX_MPI_Barrier(OX_MPI_COMM_WORLD), 0);
  int argc = 0;
  char** argv = nullptr;
  EXPECT_EQ(OX_MPI_Init(&argc, &argv), 0) << "a second init is a no-op";
}

TEST_F(SingletonMpi, CollectivesOfTheBenchmark) {
  unsigned char clique[136];
  for (int i = 0; i < 136; ++i) clique[i] = static_cast<unsigned char>(i * 7);
  unsigned char copy[136];
  memcpy(copy, clique, sizeof(copy));
  EXPECT_EQ(OX_MPI_Bcast(clique, 136, OX_MPI_BYTE, 0, OX_MPI_COMM_WORLD), 0);
  EXPECT_EQ(memcmp(clique, copy, sizeof(copy)), 0);

  uint64_t hashes[1] = {0x1234567890abcdefull};
  EXPECT_EQ(OX_MPI_Allgather(OX_MPI_IN_PLACE, 0, OX_MPI_DATATYPE_NULL, hashes, 8, OX_MPI_BYTE,
                             OX_MPI_COMM_WORLD), 0);
  EXPECT_EQ(hashes[0], 0x1234567890abcdefull);

  unsigned long errors = 41;
  EXPECT_EQ(OX_MPI_Allreduce(OX_MPI_IN_PLACE, &errors, 1, OX_MPI_UNSIGNED_LONG, OX_MPI_SUM,
                             OX_MPI_COMM_WORLD), 0);
  EXPECT_EQ(errors, 41u);
}

TEST_F(SingletonMpi, CopiesOutOfPlace) {
  unsigned long send = 7, recv = 0;
  EXPECT_EQ(OX_MPI_Allreduce(&send, &recv, 1, OX_MPI_UNSIGNED_LONG, OX_MPI_SUM, OX_MPI_COMM_WORLD),
            0);
  EXPECT_EQ(recv, 7u);
  const unsigned char bytes[3] = {1, 2, 3};
  unsigned char gathered[3] = {};
  EXPECT_EQ(OX_MPI_Allgather(bytes, 3, OX_MPI_BYTE, gathered, 3, OX_MPI_BYTE, OX_MPI_COMM_WORLD),
            0);
  EXPECT_EQ(memcmp(bytes, gathered, 3), 0);
}

TEST_F(SingletonMpi, NullHandlesAreErrorsNotCrashes) {
  testing::internal::CaptureStderr();
  int size = 0;
  EXPECT_NE(OX_MPI_Comm_size(OX_MPI_Comm(), &size), 0);
  EXPECT_NE(OX_MPI_Comm_size(OX_MPI_COMM_WORLD, nullptr), 0);
  EXPECT_NE(OX_MPI_Barrier(OX_MPI_Comm()), 0);
  unsigned long v = 0;
  EXPECT_NE(OX_MPI_Allreduce(OX_MPI_IN_PLACE, &v, 1, OX_MPI_Datatype(), OX_MPI_SUM,
                             OX_MPI_COMM_WORLD), 0);
  EXPECT_NE(OX_MPI_Allreduce(OX_MPI_IN_PLACE, &v, 1, OX_MPI_UNSIGNED_LONG, OX_MPI_Op(),
                             OX_MPI_COMM_WORLD), 0);
  EXPECT_NE(OX_MPI_Bcast(nullptr, 4, OX_MPI_BYTE, 0, OX_MPI_COMM_WORLD), 0);
  testing::internal::GetCapturedStderr();
}

TEST(MpiLifecycle, CallsOutsideInitAndFinalizeAreErrors) {
  testing::internal::CaptureStderr();
  EXPECT_NE(OX_MPI_Barrier(OX_MPI_COMM_WORLD), 0) << "before init";
  int argc = 0;
  char** argv = nullptr;
  ASSERT_EQ(OX_MPI_Init(&argc, &argv), 0);
  EXPECT_EQ(OX_MPI_Finalize(), 0);
  EXPECT_NE(OX_MPI_Finalize(), 0) << "a second finalize is refused, not a crash";
  EXPECT_NE(OX_MPI_Barrier(OX_MPI_COMM_WORLD), 0) << "after finalize";
  EXPECT_NE(OX_MPI_Init(&argc, &argv), 0) << "MPI cannot start twice";
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("not initialised"), std::string::npos) << err;
}

}  // namespace
