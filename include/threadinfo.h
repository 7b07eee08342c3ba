// The record one worker thread owns: buffers and queues of its communicators, the walk over
// data types, operations, counts and modes, and the per-step element counts.
#ifndef OXCL_BENCHMARK_THREADINFO_H_
#define OXCL_BENCHMARK_THREADINFO_H_

#include <cstdint>
#include <vector>

#include "common.h"
#include "oxrt.h"

namespace oxcl_benchmark {

class Context;

class ThreadInfo {
 public:
  ThreadInfo() = default;

  // Allocates the device, host buffers and queues of every communicator of the thread.
  benchmarkResult_t InitBuffer(Context* ctx);
  // Frees what InitBuffer allocated; does nothing before InitBuffer succeeded.
  benchmarkResult_t ReleaseBuffer(Context* ctx);
  // Advances to the next (data type, reduce operation) pair, data type fastest; false at the end.
  bool GetTypeAndOp(Context* ctx);
  // Restarts the walk of the count series.
  void ResetCountAndMode();
  // Advances to the next (count, mode) step, mode fastest; false (and reset) at the end.
  bool GetTransferSizeAndMode(Context* ctx);
  // Element offset at which iteration `iteration` uses the buffers.
  uint64_t GetAddrOffset(Context* ctx, int iteration) const;
  // Zeroes this thread's mismatch counter.
  void ResetErrorCount(Context* ctx);

  std::vector<void*> send_buffs;
  std::vector<void*> recv_buffs;
  // Host buffers for expected values (InitReduce); the programs' check generates its own.
  std::vector<void*> host_buffs;
  std::vector<OXqueue_st*> queues;
  bool buffers_ready = false;
  uint64_t thread_rank = 0;
  uint64_t count = 0;
  uint64_t base_count = 0;
  int64_t type_index = -1;
  int64_t op_index = -1;
  int64_t mode_index = -1;
  int64_t special_index = -1;
  uint64_t send_count = 0;
  uint64_t recv_count = 0;
  uint64_t coll_count = 0;
  uint64_t span_count = 0;
  // The current step's latency of each timed block, in the unit of the table's latency.
  std::vector<double> block_us;
};

// The larger of maxcount and the largest special count: buffers hold this many elements.
uint64_t OffsetCap(const Context& ctx);

}  // namespace oxcl_benchmark

#endif  // OXCL_BENCHMARK_THREADINFO_H_
