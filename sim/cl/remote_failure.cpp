#include "remote_link.h"

namespace oxcl_sim {
namespace remote {

void AnnounceFailure(Clique& clique, Link& link) {
  static const int64_t word = 1;
  const int n = clique.nranks();
  for (size_t p = 0; p < clique.members.procs.size(); ++p) {
    if (static_cast<int>(p) == clique.members.self) continue;
    MPI_Request request = MPI_REQUEST_NULL;
    MPI_Isend(&word, 1, MPI_INT64_T, static_cast<int>(p), TagBase(n, kTagFailed), link.comm,
              &request);
    MPI_Request_free(&request);
  }
}

// True once another process announced a failure in this clique.
bool OtherFailed(Clique& clique, Link& link, int* who) {
  int flag = 0;
  MPI_Status status;
  MPI_Iprobe(MPI_ANY_SOURCE, TagBase(clique.nranks(), kTagFailed), link.comm, &flag, &status);
  if (flag) *who = clique.members.procs[status.MPI_SOURCE];
  return flag != 0;
}

void Fail(Clique& clique, Link& link, oxclResult_t rc) {
  if (rc != oxclRemoteError && !link.announced.exchange(true)) AnnounceFailure(clique, link);
  clique.Break(oxclRemoteError);
}
}  // namespace remote
}  // namespace oxcl_sim
