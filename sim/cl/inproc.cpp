// The transport between ranks of this process: the single-pass engine and direct copies.
#include "comm.h"
#include "engine.h"
#include "p2p.h"
#include "transport.h"

namespace oxcl_sim {
namespace {

class InProcess final : public Transport {
 public:
  oxclResult_t Collective(oxclComm& comm, uint64_t seq, const CollArgs& args,
                          bool saturate) override {
    return RunCollective(*comm.clique, comm.rank, seq, args, saturate);
  }
  oxclResult_t PointToPoint(const std::vector<P2POp>& ops, const RecvDone& done) override {
    return RunPointToPoint(ops, done);
  }
};

}  // namespace

Transport& InProcessTransport() {
  static InProcess* transport = new InProcess;
  return *transport;
}

}  // namespace oxcl_sim
