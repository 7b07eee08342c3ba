// The in-process collective engine: a single pass over the data. Every rank publishes its
// arguments in the operation's slot; once all have arrived, the ranks' threads claim units of
// the work with atomic counters (one per rank's range of units), so every input byte is read
// once and every output byte is written once, by the unit's claimant only (which also makes
// in-place buffers race-free).
#ifndef OX_SIM_CL_ENGINE_H_
#define OX_SIM_CL_ENGINE_H_

#include <cstdint>

#include "clique.h"
#include "op.h"
#include "oxcl.h"

namespace oxcl_sim {

// Runs rank `rank`'s part of operation `seq` of the clique (each rank numbers its collectives
// 0, 1, 2, ... in the order it executes them). Returns when this rank's outputs are complete
// and its inputs are no longer read; oxclInvalidUsage when the ranks' calls disagree, the
// clique's break code when it broke first. `saturate` selects saturating int8/uint8 sums.
oxclResult_t RunCollective(Clique& clique, int rank, uint64_t seq, const CollArgs& args,
                           bool saturate);

// Bytes of the units the engine claims, and of the cache-resident tiles inside them. Small
// tiles keep the loads of the inputs and the streaming stores of the outputs close together;
// measured on 2 ranks at 32M floats, 1 KiB tiles gave 1.35 times the bus bandwidth of 8 KiB.
constexpr uint64_t kUnitBytes = 256 * 1024;
constexpr uint64_t kTileBytes = 1024;
// Operations whose outputs total at least this many bytes store them non-temporally.
constexpr uint64_t kStreamBytes = 16ull * 1024 * 1024;
// All-reduces of up to this many ranks whose outputs stay in the cache fold straight into the
// outputs. Beyond it the tiles are faster: 64 ranks at 32K floats, in one unit, read and write
// 128 buffers at once and ran a third slower that way (8 ranks: no slower at 4K to 256K).
constexpr int kFoldStoreRanks = 8;

}  // namespace oxcl_sim

#endif  // OX_SIM_CL_ENGINE_H_
