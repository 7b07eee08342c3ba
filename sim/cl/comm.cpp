#include "comm.h"

#include <mutex>
#include <vector>

#include "log.h"

namespace oxcl_sim {
namespace {

// Every communicator ever made, so that destroyed handles stay valid memory.
struct Graveyard {
  std::mutex mu;
  std::vector<std::unique_ptr<oxclComm>> comms;
};

Graveyard& TheGraveyard() {
  static Graveyard* graveyard = new Graveyard;
  return *graveyard;
}

}  // namespace

oxclComm* NewComm(std::shared_ptr<Clique> clique, int rank, int card) {
  auto comm = std::make_unique<oxclComm>();
  comm->clique = std::move(clique);
  comm->transport = &InProcessTransport();
  comm->rank = rank;
  comm->card = card;
  oxclComm* handle = comm.get();
  Graveyard& graveyard = TheGraveyard();
  std::lock_guard<std::mutex> lock(graveyard.mu);
  graveyard.comms.push_back(std::move(comm));
  return handle;
}

oxclResult_t CheckComm(const oxclComm* comm, const char* api) {
  if (comm == nullptr) {
    Report("%s: the communicator is null", api);
    return oxclInvalidArgument;
  }
  if (comm->magic != oxclComm::kMagic) {
    Report("%s: %p is not a communicator", api, static_cast<const void*>(comm));
    return oxclInvalidArgument;
  }
  if (comm->destroyed.load(std::memory_order_acquire)) {
    Report("%s: communicator %p (rank %d) was destroyed", api, static_cast<const void*>(comm),
           comm->rank);
    return oxclInvalidUsage;
  }
  if (comm->clique->broken()) {
    const oxclResult_t code = comm->clique->BreakCode();
    Report("%s: rank %d: %s", api, comm->rank,
           code == oxclAborted ? "the communicator was aborted"
                               : "a rank of the clique left or failed");
    return code;
  }
  return oxclSuccess;
}

bool RetireComm(oxclComm* comm) {
  if (comm->destroyed.exchange(true, std::memory_order_acq_rel)) return false;
  // Ranks still waiting for this one would wait forever: make them fail. Operations that
  // already completed are unaffected (completion is checked before the break).
  comm->clique->Break(oxclRemoteError);
  LeaveClique(comm->clique.get());
  return true;
}

}  // namespace oxcl_sim
