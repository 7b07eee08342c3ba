// Run under `mpirun -np 2`: the wrapper's collectives between two real processes, with the
// arguments the benchmark passes. Exits 0 when every check holds.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <thread>

#include "oxmpi_wrapper.h"

#define CHECK(cond)                                                 \
  do {                                                              \
    if (!(cond)) {                                                  \
      fprintf(stderr, "rank %d: check failed: %s\n", rank, #cond);  \
      return 1;                                                     \
    }                                                               \
  } while (0)

int main(int argc, char** argv) {
  int rank = -1;
  if (OX_MPI_Init(&argc, &argv) != 0) return 1;
  int size = 0;
  OX_MPI_Comm_size(OX_MPI_COMM_WORLD, &size);
  OX_MPI_Comm_rank(OX_MPI_COMM_WORLD, &rank);
  CHECK(size == 2);
  CHECK(rank == 0 || rank == 1);
  CHECK(OX_MPI_Barrier(OX_MPI_COMM_WORLD) == 0);

  unsigned char clique[136];
  memset(clique, rank == 0 ? 0xa5 : 0, sizeof(clique));
  if (rank == 0) clique[135] = 0x5a;
  CHECK(OX_MPI_Bcast(clique, 136, OX_MPI_BYTE, 0, OX_MPI_COMM_WORLD) == 0);
  CHECK(clique[0] == 0xa5 && clique[134] == 0xa5 && clique[135] == 0x5a);

  uint64_t hashes[2] = {0, 0};
  hashes[rank] = 1000u + static_cast<uint64_t>(rank);
  CHECK(OX_MPI_Allgather(OX_MPI_IN_PLACE, 0, OX_MPI_DATATYPE_NULL, hashes, 8, OX_MPI_BYTE,
                         OX_MPI_COMM_WORLD) == 0);
  CHECK(hashes[0] == 1000u && hashes[1] == 1001u);

  unsigned long errors = rank == 1 ? 3 : 0;
  CHECK(OX_MPI_Allreduce(OX_MPI_IN_PLACE, &errors, 1, OX_MPI_UNSIGNED_LONG, OX_MPI_SUM,
                         OX_MPI_COMM_WORLD) == 0);
  CHECK(errors == 3);

  // The barrier is called from worker threads, one at a time, as the benchmark does.
  int rc = -1;
  std::thread([&] { rc = OX_MPI_Barrier(OX_MPI_COMM_WORLD); }).join();
  CHECK(rc == 0);
  CHECK(OX_MPI_Finalize() == 0);
  return 0;
}
