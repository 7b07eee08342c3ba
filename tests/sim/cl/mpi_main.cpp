// Test main for the library's tests run by an MPI launcher: every process runs the same tests
// on its share of each clique's ranks. A failure in one process ends all of them at once, since
// the others would otherwise wait for it inside the next collective.
#include <gtest/gtest.h>
#include <mpi.h>

#include <cstdio>

namespace {

class AbortOnFailure : public testing::EmptyTestEventListener {
  void OnTestPartResult(const testing::TestPartResult& result) override {
    if (!result.failed()) return;
    int rank = -1;
    MPI_Comm_rank(MPI_COMM_WORLD, &rank);
    std::fprintf(stderr, "process %d: %s:%d: %s\n", rank,
                 result.file_name() ? result.file_name() : "?", result.line_number(),
                 result.message());
    std::fflush(stderr);
    MPI_Abort(MPI_COMM_WORLD, 1);
  }
};

}  // namespace

int main(int argc, char** argv) {
  int provided = 0;
  // The library sends from its queue threads.
  MPI_Init_thread(&argc, &argv, MPI_THREAD_MULTIPLE, &provided);
  if (provided < MPI_THREAD_MULTIPLE) {
    std::fprintf(stderr, "MPI offers thread level %d, the tests need MPI_THREAD_MULTIPLE\n",
                 provided);
    MPI_Abort(MPI_COMM_WORLD, 1);
  }
  testing::InitGoogleTest(&argc, argv);
  int rank = 0;
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  // One report is enough; the other processes only speak up when they fail.
  if (rank != 0) {
    auto& listeners = testing::UnitTest::GetInstance()->listeners();
    delete listeners.Release(listeners.default_result_printer());
  }
  testing::UnitTest::GetInstance()->listeners().Append(new AbortOnFailure);
  const int rc = RUN_ALL_TESTS();
  MPI_Finalize();
  return rc;
}
