// Communicators: one rank of a clique, on one card.
#ifndef OX_SIM_CL_COMM_H_
#define OX_SIM_CL_COMM_H_

#include <atomic>
#include <cstdint>
#include <memory>

#include "clique.h"
#include "oxcl.h"
#include "transport.h"

struct oxclComm {
  static constexpr uint32_t kMagic = 0x6D6D6F43;  // "Comm"
  uint32_t magic = kMagic;
  std::atomic<bool> destroyed{false};
  std::shared_ptr<oxcl_sim::Clique> clique;
  oxcl_sim::Transport* transport = nullptr;
  int rank = 0;  // global rank in the clique
  int card = 0;
  std::atomic<int32_t> flags{0};
  // Collectives executed so far; orders this rank's operations in the clique's slots.
  std::atomic<uint64_t> executed{0};
};

namespace oxcl_sim {

// Returns a new live communicator. Communicator memory is never returned to the system, so a
// destroyed handle stays readable and every later call reports it instead of crashing.
oxclComm* NewComm(std::shared_ptr<Clique> clique, int rank, int card);

// Checks a handle passed to entry point `api`: oxclInvalidArgument for null or unknown handles,
// oxclInvalidUsage for destroyed ones, the clique's break code after an abort. One line on
// standard error for each failure.
oxclResult_t CheckComm(const oxclComm* comm, const char* api);

// Marks a communicator destroyed and leaves its clique; the clique's other ranks then fail
// instead of waiting for it. False when it was destroyed already.
bool RetireComm(oxclComm* comm);

}  // namespace oxcl_sim

#endif  // OX_SIM_CL_COMM_H_
