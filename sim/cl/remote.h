// Cliques whose ranks live in several processes. The processes find each other through the
// system MPI (the creator of the clique id collects every member's ranks and answers with the
// table of who holds which rank), get an MPI communicator of their own, and exchange data with
// MPI point-to-point messages; ranks of one process still share memory directly.
#ifndef OX_SIM_CL_REMOTE_H_
#define OX_SIM_CL_REMOTE_H_

#include <cstdint>
#include <memory>

#include "clique.h"
#include "oxcl.h"
#include "transport.h"

namespace oxcl_sim {

// This process's MPI rank, or -1 while MPI is not running (not started, or finalised).
int WorldRank();
// True when MPI is running with more than one process, so a clique may span processes.
bool SeveralProcesses();

// Joins ranks[0..n) of this process (all of its ranks in this clique: one call per process)
// to the clique named by id, made for nranks ranks, and waits until every member process has
// joined. On success *clique is connected; its link (MPI communicator, buffers on card
// `card`) goes when the last of its communicators in this process is destroyed.
oxclResult_t JoinRemoteClique(const CliqueIdFields& id, int nranks, const int* ranks, int n,
                              int card, std::shared_ptr<Clique>* clique);

// The transport of cliques that span processes.
Transport& RemoteTransport();

// Bytes of device memory that the links of this process hold now.
uint64_t LinkBytes();

}  // namespace oxcl_sim

#endif  // OX_SIM_CL_REMOTE_H_
