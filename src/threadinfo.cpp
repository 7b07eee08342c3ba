#include "threadinfo.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "algorithm.h"
#include "context.h"
#include "log.h"
#include "watchdog.h"

namespace oxcl_benchmark {

uint64_t OffsetCap(const Context& ctx) {
  uint64_t cap = ctx.maxcount;
  if (!ctx.special_count.empty() && ctx.special_count.back() > cap) cap = ctx.special_count.back();
  return cap;
}

namespace {
bool OnlyInPlace(const Context& ctx) { return ctx.mode.size() == 1 && ctx.mode[0]; }

// Bytes set per call when a buffer is first filled. The first touch of a large buffer takes
// seconds when many ranks fill theirs at once; in pieces, each piece is progress to the watchdog.
constexpr size_t kFillPiece = size_t{16} << 20;

oxrtError_t FillInPieces(void* buffer, size_t bytes, uint64_t worker) {
  for (size_t done = 0; done < bytes; done += kFillPiece) {
    const oxrtError_t code =
        oxrtMemset(static_cast<char*>(buffer) + done, 3, std::min(kFillPiece, bytes - done));
    if (code != oxrtSuccess) return code;
    WatchBeat(worker);
  }
  return oxrtSuccess;
}

// The library's error line, then, for a card out of memory, which buffer did not fit and what
// sets its size: the library's own text names neither.
benchmarkResult_t ReportMallocError(Context* ctx, oxrtError_t code, const std::string& call,
                                    const char* which, uint64_t elements, size_t bytes,
                                    int32_t card) {
  if (code != oxrtErrorMemoryAllocation) return ReportRtError(ctx, code, call);
  using ull = unsigned long long;
  return ReportRtError(
      ctx, code, call,
      StrFmt("Cannot allocate the %s buffer of %llu bytes on card %d: -x (%llu elements) times "
             "%llu bytes of the largest type sets its size, and every rank (-s x -c) holds its "
             "own; a smaller -x, or fewer threads and communicators per card, make it fit",
             which, static_cast<ull>(bytes), card, static_cast<ull>(elements),
             static_cast<ull>(ctx->max_type_size)));
}
}  // namespace

benchmarkResult_t ThreadInfo::InitBuffer(Context* ctx) {
  send_buffs.resize(ctx->comms, nullptr);
  recv_buffs.resize(ctx->comms, nullptr);
  host_buffs.resize(ctx->comms, nullptr);
  queues.resize(ctx->comms, nullptr);
  const uint64_t cap = OffsetCap(*ctx);
  const uint64_t elements = ctx->mincount > cap ? ctx->mincount : cap;
  const size_t bytes = elements * ctx->max_type_size;
  // No piece of the fill or check is larger: every step of the sweep reuses the same host
  // arrays instead of mapping larger ones as the counts grow.
  pattern_detail::ReserveStaging(std::min<uint64_t>(elements * ctx->max_type_size,
                                                    pattern_detail::kPieceBytes));
  for (uint64_t i = 0; i < ctx->comms; ++i) {
    const int card = ctx->dev_list[thread_rank * ctx->comms + i];
    auto failed = [&](oxrtError_t code, const char* entry, bool sized) {
      return ReportRtError(ctx, code, sized ? StrFmt("%s(card %d, %zu bytes)", entry, card, bytes)
                                            : StrFmt("%s(card %d)", entry, card));
    };
    oxrtError_t code = oxrtSetDevice(card);
    if (code != oxrtSuccess) return failed(code, "oxrtSetDevice", false);
    // Allocated, then filled with a byte that no result pattern has.
    auto make = [&](void** buffer, const char* which) {
      if ((code = oxrtMalloc(buffer, bytes)) != oxrtSuccess) {
        return ReportMallocError(ctx, code, StrFmt("oxrtMalloc(card %d, %zu bytes)", card, bytes),
                                 which, elements, bytes, card);
      }
      WatchBeat(thread_rank);
      if ((code = FillInPieces(*buffer, bytes, thread_rank)) != oxrtSuccess) {
        return failed(code, "oxrtMemset", true);
      }
      return BENCHMARK_SUCCESS;
    };
    if (!OnlyInPlace(*ctx) && make(&send_buffs[i], "send") != BENCHMARK_SUCCESS) return BENCHMARK_FAILURE;
    if (make(&recv_buffs[i], "receive") != BENCHMARK_SUCCESS) return BENCHMARK_FAILURE;
    if (ctx->async != 0) {
      if ((code = oxrtQueueCreate(&queues[i])) != oxrtSuccess) {
        return failed(code, "oxrtQueueCreate", false);
      }
    } else {
      queues[i] = nullptr;
    }
    // The data check generates the values it expects instead of storing them, so this buffer
    // is never written by the programs and its pages are never taken.
    host_buffs[i] = std::malloc(bytes);
    if (i == 0 && thread_rank == 0 && ctx->hw_time) {
      if ((code = oxrtNotifierCreate(&ctx->notifier_start)) != oxrtSuccess ||
          (code = oxrtNotifierCreate(&ctx->notifier_end)) != oxrtSuccess) {
        return failed(code, "oxrtNotifierCreate", false);
      }
    }
  }
  buffers_ready = true;
  return BENCHMARK_SUCCESS;
}

benchmarkResult_t ThreadInfo::ReleaseBuffer(Context* ctx) {
  if (!buffers_ready || ctx->comms == 0) return BENCHMARK_SUCCESS;
  for (uint64_t i = 0; i < ctx->comms; ++i) {
    const int card = ctx->dev_list[thread_rank * ctx->comms + i];
    auto failed = [&](oxrtError_t code, const char* entry) {
      return ReportRtError(ctx, code, StrFmt("%s(card %d)", entry, card));
    };
    oxrtError_t code = oxrtSetDevice(card);
    if (code != oxrtSuccess) return failed(code, "oxrtSetDevice");
    if (!OnlyInPlace(*ctx) && (code = oxrtFree(send_buffs[i])) != oxrtSuccess) {
      return failed(code, "oxrtFree");
    }
    if ((code = oxrtFree(recv_buffs[i])) != oxrtSuccess) return failed(code, "oxrtFree");
    if (queues[i] != nullptr && (code = oxrtQueueDestroy(queues[i])) != oxrtSuccess) {
      return failed(code, "oxrtQueueDestroy");
    }
    std::free(host_buffs[i]);
    host_buffs[i] = nullptr;
    if (i == 0 && thread_rank == 0 && ctx->hw_time) {
      if ((code = oxrtNotifierDestroy(ctx->notifier_start)) != oxrtSuccess) return failed(code, "oxrtNotifierDestroy");
      if ((code = oxrtNotifierDestroy(ctx->notifier_end)) != oxrtSuccess) return failed(code, "oxrtNotifierDestroy");
    }
  }
  return BENCHMARK_SUCCESS;
}

bool ThreadInfo::GetTypeAndOp(Context* ctx) {
  const int64_t ntypes = static_cast<int64_t>(ctx->data_type.size());
  const int64_t nops = static_cast<int64_t>(ctx->reduce_op.size());
  if (type_index < 0) {
    type_index = op_index = 0;
    return true;
  }
  if (type_index < ntypes - 1) {
    ++type_index;
    return true;
  }
  if (type_index == ntypes - 1 && op_index < nops - 1) {
    type_index = 0;
    ++op_index;
    return true;
  }
  type_index = op_index = -1;
  return false;
}

void ThreadInfo::ResetCountAndMode() {
  count = base_count = 0;
  mode_index = special_index = -1;
}

bool ThreadInfo::GetTransferSizeAndMode(Context* ctx) {
  const std::vector<uint64_t>& s = ctx->special_count;
  const uint64_t next = ctx->multifactor == 1 ? base_count + ctx->addcount : base_count * ctx->multifactor;
  const bool regular_more = next <= ctx->maxcount;
  if (mode_index < 0) {
    mode_index = 0;
    special_index = 0;
    base_count = ctx->mincount;
    if (!s.empty() && s[0] <= ctx->mincount) {
      count = s[0];
      special_index = 1;
    } else {
      count = ctx->mincount;
    }
    return true;
  }
  if (mode_index < static_cast<int64_t>(ctx->mode.size()) - 1) {
    ++mode_index;
    return true;
  }
  // Special counts not yet taken keep the walk going, so that a repeated largest special count
  // is measured as often as it was asked for.
  // A regular count still owed (a special count below it came first) keeps it going as well.
  bool more = regular_more || count < base_count || (!s.empty() && count < s.back()) ||
              (special_index >= 0 && static_cast<size_t>(special_index) < s.size());
  if (!more) {
    ResetCountAndMode();
    return false;
  }
  mode_index = 0;
  if (special_index >= 0 && static_cast<size_t>(special_index) < s.size()) {
    const uint64_t sc = s[special_index];
    if (sc <= base_count) {
      count = sc;
      ++special_index;
    } else if (count < base_count) {
      count = base_count;
    } else if (!regular_more || sc < next) {
      count = sc;
      ++special_index;
    } else if (sc == next) {
      ++special_index;
      count = base_count = next;
    } else {
      count = base_count = next;
    }
  } else if (count < base_count) {
    count = base_count;
  } else {
    count = base_count = next;
  }
  return true;
}

uint64_t ThreadInfo::GetAddrOffset(Context* ctx, int iteration) const {
  const uint64_t cap = OffsetCap(*ctx);
  // A zero cap would make the remainder undefined; there is then no room to move.
  if (ctx->offset == 0 || cap == 0) return 0;
  const uint64_t r = (span_count * static_cast<uint64_t>(static_cast<int64_t>(iteration))) % cap;
  return span_count + r <= cap ? r : 0;
}

void ThreadInfo::ResetErrorCount(Context* ctx) {
  ctx->error_counts[thread_rank].store(0);
  ctx->error_totals[thread_rank].store(0);
}

}  // namespace oxcl_benchmark
