#include "algorithm.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <string>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "dump_param.h"
#include "output.h"
#include "record.h"
#include "run_facts.h"
#include "samples.h"
#include "threadpool.h"
#include "watchdog.h"

namespace oxcl_benchmark {

std::vector<Algorithm*>& AlgorithmManager::BenchMap() {
  static std::vector<Algorithm*> registry;
  return registry;
}

DeclareBench::DeclareBench(Algorithm* algorithm) : algorithm(algorithm) {
  AlgorithmManager::BenchMap().push_back(algorithm);
}

DeclareBench::~DeclareBench() { delete algorithm; }

void Algorithm::SetContext(Context* ctx) { context = ctx; }

void Algorithm::Release() {}

uint64_t Algorithm::RankCount() const {
  return context->threads * context->comms * static_cast<uint64_t>(context->GetNumProcs());
}
oxclDataType_t Algorithm::CurrentType(const ThreadInfo* info) const {
  return context->data_type[info->type_index];
}
oxclReduceOp_t Algorithm::CurrentOp(const ThreadInfo* info) const {
  return context->reduce_op[info->op_index];
}
bool Algorithm::CurrentInPlace(const ThreadInfo* info) const {
  return context->mode[info->mode_index];
}
uint64_t Algorithm::GlobalIndex(const ThreadInfo* info, int i) const {
  return info->thread_rank * context->comms + static_cast<uint64_t>(i);
}
oxclComm* Algorithm::CommOf(const ThreadInfo* info, int i) const {
  return context->comm_list[GlobalIndex(info, i)];
}
int Algorithm::DeviceOf(const ThreadInfo* info, int i) const {
  return context->dev_list[GlobalIndex(info, i)];
}
int Algorithm::RankOf(const ThreadInfo* info, int i) const {
  return context->rank_list[GlobalIndex(info, i)];
}
std::string Algorithm::DescribeCall(const char* entry, const ThreadInfo* info, int i,
                                    uint64_t count, bool with_op) const {
  std::string text = StrFmt("%s(card %d, rank %d, count %llu, type %s", entry, DeviceOf(info, i),
                            RankOf(info, i), static_cast<unsigned long long>(count),
                            context->data_type_names[info->type_index].c_str());
  if (with_op) text += ", op " + context->reduce_op_names[info->op_index];
  return text + (CurrentInPlace(info) ? ", in place)" : ", out of place)");
}

benchmarkResult_t Algorithm::InitComm(Context* ctx) {
  ctx->GetHostName();
  if (ctx->GetDepInfo() != BENCHMARK_SUCCESS) return BENCHMARK_FAILURE;
  CheckMpi(OX_MPI_Comm_size(OX_MPI_COMM_WORLD, &ctx->nprocs), "OX_MPI_Comm_size");
  CheckMpi(OX_MPI_Comm_rank(OX_MPI_COMM_WORLD, &ctx->proc_rank), "OX_MPI_Comm_rank");
  const int64_t cpus = UsableCpuCount();
  const auto threads = static_cast<int64_t>(ctx->threads);
  // Every thread of every process may be waiting at once (processes can share the host).
  ctx->barrier_spins = threads * ctx->nprocs <= cpus;
  CheckMpi(OX_MPI_Barrier(OX_MPI_COMM_WORLD), "OX_MPI_Barrier");
  if (ctx->CheckSameSettings() != BENCHMARK_SUCCESS) return BENCHMARK_FAILURE;
  const uint64_t local = ctx->threads * ctx->comms;
  const uint64_t total = local * static_cast<uint64_t>(ctx->nprocs);
  if (static_cast<uint64_t>(static_cast<int64_t>(ctx->root)) >= total) {
    OXLOG(ERROR) << "root is bigger than communicator number";
    return BENCHMARK_FAILURE;
  }
  unsigned int cards = 0;
  const oxrtError_t counted = oxrtGetDeviceCount(&cards);
  if (counted != oxrtSuccess) return ReportRtError(ctx, counted, "oxrtGetDeviceCount");
  ctx->device_count = cards;
  if (ctx->proc_rank == 0) {
    OXLOG(INFO) << "Test " << name;
    OXLOG(INFO) << (ctx->async != 0 ? "Test async" : "Test sync");
  }
  OXLOG(INFO) << "DEV_COUNT: " << ctx->device_count;
  OXLOG(INFO) << "HostName: " << ctx->host_name;
  oxclCliqueId clique{};
  if (ctx->proc_rank == 0) {
    oxclResult_t res = oxclGetCliqueId(&clique);
    if (res != oxclSuccess) OxclFatal(__FILE__, __LINE__, res, "oxclGetCliqueId");
  }
  CheckMpi(OX_MPI_Bcast(&clique, OXCL_CLIQUE_ID_BYTES, OX_MPI_BYTE, 0, OX_MPI_COMM_WORLD),
           "OX_MPI_Bcast");
  std::vector<uint64_t> hashes(static_cast<size_t>(ctx->nprocs), 0);
  const uint64_t mine = std::hash<std::string>{}(ctx->host_name);
  hashes[ctx->proc_rank] = mine;
  CheckMpi(OX_MPI_Allgather(OX_MPI_IN_PLACE, 0, OX_MPI_DATATYPE_NULL, hashes.data(), 8,
                            OX_MPI_BYTE, OX_MPI_COMM_WORLD),
           "OX_MPI_Allgather");
  ctx->local_index = 0;
  for (int p = 0; p < ctx->proc_rank; ++p) {
    if (hashes[p] == mine) ++ctx->local_index;
  }
  const auto host_procs = std::count(hashes.begin(), hashes.end(), mine);
  ctx->chunks_on_workers = threads * host_procs >= cpus;
  // With no card visible, dealing would divide by zero; the library call below reports it.
  const uint64_t cards_for_dealing = ctx->device_count == 0 ? 1 : ctx->device_count;
  for (uint64_t i = 0; i < local; ++i) {
    ctx->rank_list[i] = static_cast<int32_t>(local * static_cast<uint64_t>(ctx->proc_rank) + i);
    ctx->dev_list[i] = static_cast<int32_t>((ctx->local_index * local + i) % cards_for_dealing);
  }
  oxclResult_t res = oxclInitComms(ctx->comm_list.data(), static_cast<int>(local),
                                   ctx->dev_list.data(), ctx->rank_list.data(),
                                   static_cast<int>(total), clique);
  if (res != oxclSuccess) {
    std::string cards;
    for (int32_t card : ctx->dev_list) cards += (cards.empty() ? "" : ",") + std::to_string(card);
    OxclFatal(__FILE__, __LINE__, res,
              StrFmt("oxclInitComms(%llu communicators, ranks from %d of %llu, cards %s)",
                     static_cast<unsigned long long>(local), local == 0 ? 0 : ctx->rank_list[0],
                     static_cast<unsigned long long>(total), cards.c_str()));
  }
  oxclCommConfig_t config{ctx->priority != 0 ? OXCL_COMM_CONFIG_PRIORITY : 0};
  for (uint64_t i = 0; i < ctx->comm_list.size(); ++i) {
    res = oxclSetCommConfig(ctx->comm_list[i], &config);
    if (res != oxclSuccess) {
      OxclFatal(__FILE__, __LINE__, res,
                StrFmt("oxclSetCommConfig(card %d, rank %d)", ctx->dev_list[i], ctx->rank_list[i]));
    }
  }
  if (ctx->mem_usage_path.empty() || ctx->proc_rank != 0) return BENCHMARK_SUCCESS;
  ++ctx->call_count;
  oxrtError_t code = oxrtSetDevice(ctx->dev_list[0]);
  if (code != oxrtSuccess) {
    return ReportRtError(ctx, code, StrFmt("oxrtSetDevice(card %d)", ctx->dev_list[0]));
  }
  return DumpPrimsParam::GetSingleton()->DumpRunTimeMem("oxclInitComms", kInitCommPhase, ctx);
}

benchmarkResult_t Algorithm::ThreadQueueSync(ThreadInfo* info) {
  for (uint64_t i = 0; i < context->comms; ++i) {
    oxrtError_t code = oxrtQueueSync(info->queues[i]);
    if (code != oxrtSuccess) {
      const int c = static_cast<int>(i);
      return ReportRtError(context, code, StrFmt("oxrtQueueSync(card %d, rank %d)",
                                                 DeviceOf(info, c), RankOf(info, c)));
    }
  }
  return BENCHMARK_SUCCESS;
}

namespace pattern_detail {

bool BytesDiffer(const void* a, const void* b, size_t bytes) {
  // The C library's comparison picks the widest vectors the processor has at run time; a
  // differing block is rare, so its early exit costs nothing.
  return std::memcmp(a, b, bytes) != 0;
}

namespace {

// Arrays kept for reuse: enough for every task that can run at once on a small host, few
// enough that idle ones do not hold much memory.
constexpr size_t kStagingKept = 16;

// Never destroyed: pool threads of a failing run may still return arrays while the process
// exits, and the arrays kept stay reachable (and are the process's until it ends).
std::mutex& StagingMutex() {
  static std::mutex* mutex = new std::mutex;
  return *mutex;
}
std::condition_variable& StagingReturned() {
  static std::condition_variable* cv = new std::condition_variable;
  return *cv;
}
// Arrays out at once: one per core, two at least. The pools hold ten threads per communicator,
// but only as many as there are cores make progress; more arrays in use would only add to the
// run's memory (a piece each, 256 KiB) beyond the buffers it must hold, and push each other out
// of the cache (two per core were measured no faster on the simulator). A task holds one array
// at a time, so waiting for one cannot deadlock.
size_t StagingLimit() {
  static const size_t limit = std::max<size_t>(2, std::thread::hardware_concurrency());
  return limit;
}
size_t staging_out = 0;  // guarded by StagingMutex
size_t staging_reserve = 0;  // guarded by StagingMutex
std::vector<Staging>& StagingFree() {
  static std::vector<Staging>* free_list = new std::vector<Staging>;
  return *free_list;
}

}  // namespace

Staging AcquireStaging(size_t bytes) {
  bytes = std::max<size_t>(bytes, 1);
  size_t size = bytes;
  {
    std::unique_lock<std::mutex> lock(StagingMutex());
    StagingReturned().wait(lock, [] { return staging_out < StagingLimit(); });
    ++staging_out;
    std::vector<Staging>& free_list = StagingFree();
    for (size_t k = free_list.size(); k-- > 0;) {
      if (free_list[k].capacity >= bytes) {
        const Staging s = free_list[k];
        free_list.erase(free_list.begin() + static_cast<std::ptrdiff_t>(k));
        return s;
      }
    }
    size = std::max(bytes, staging_reserve);
  }
  Staging fresh{std::malloc(size), size};
  if (fresh.data == nullptr) {
    // No array handed out: give its place back.
    std::lock_guard<std::mutex> lock(StagingMutex());
    --staging_out;
    StagingReturned().notify_one();
  }
  return fresh;
}

void ReleaseStaging(Staging staging) {
  void* evicted = nullptr;
  {
    if (staging.data == nullptr) return;  // nothing was handed out
    std::lock_guard<std::mutex> lock(StagingMutex());
    --staging_out;
    StagingReturned().notify_one();
    std::vector<Staging>& free_list = StagingFree();
    free_list.push_back(staging);
    if (free_list.size() > kStagingKept) {
      evicted = free_list.front().data;  // the one longest out of use
      free_list.erase(free_list.begin());
    }
  }
  std::free(evicted);
}

void ReserveStaging(size_t bytes) {
  std::vector<Staging> small;
  {
    std::lock_guard<std::mutex> lock(StagingMutex());
    if (bytes <= staging_reserve) return;
    staging_reserve = bytes;
    std::vector<Staging>& free_list = StagingFree();
    const auto fits = [bytes](const Staging& s) { return s.capacity >= bytes; };
    const auto keep = std::stable_partition(free_list.begin(), free_list.end(), fits);
    small.assign(keep, free_list.end());
    free_list.erase(keep, free_list.end());
  }
  for (const Staging& s : small) std::free(s.data);
}

void ReleaseAllStaging() {
  std::vector<Staging> kept;
  {
    std::lock_guard<std::mutex> lock(StagingMutex());
    staging_reserve = 0;
    kept.swap(StagingFree());
  }
  for (const Staging& s : kept) std::free(s.data);
}

void StreamCopy(void* dst, const void* src, size_t bytes) {
  char* d = static_cast<char*>(dst);
  const char* s = static_cast<const char*>(src);
#if defined(__SSE2__)
  // Streaming stores need 16-byte aligned addresses: the ragged ends go the ordinary way.
  const size_t head = std::min(bytes, (16 - reinterpret_cast<uintptr_t>(d) % 16) % 16);
  std::memcpy(d, s, head);
  size_t k = head;
  for (; k + 64 <= bytes; k += 64) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + k));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + k + 16));
    const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + k + 32));
    const __m128i e = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + k + 48));
    _mm_stream_si128(reinterpret_cast<__m128i*>(d + k), a);
    _mm_stream_si128(reinterpret_cast<__m128i*>(d + k + 16), b);
    _mm_stream_si128(reinterpret_cast<__m128i*>(d + k + 32), c);
    _mm_stream_si128(reinterpret_cast<__m128i*>(d + k + 48), e);
  }
  for (; k + 16 <= bytes; k += 16) {
    _mm_stream_si128(reinterpret_cast<__m128i*>(d + k),
                     _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + k)));
  }
  std::memcpy(d + k, s + k, bytes - k);
  // Later ordinary loads, from any thread that synchronises with this one, see the data.
  _mm_sfence();
#else
  std::memcpy(d, s, bytes);
#endif
}

}  // namespace pattern_detail

benchmarkResult_t Algorithm::RunChunks(ThreadInfo* info, size_t iteration, uint64_t total,
                                       bool fill, const ChunkTask& task) {
  const unsigned ts = context->GetTypeSize(CurrentType(info));
  oxrtError_t cleared = oxrtSuccess;
  int cleared_card = 0;
  const uint64_t chunks = total / kChunkElements + (total % kChunkElements != 0 ? 1 : 0);
  // A single chunk runs on this thread, which would only wait for it: handing it to a pool
  // thread and back costs two wake-ups, more than the work itself at small counts. So do all
  // chunks where the workers alone fill the cores.
  const bool here = context->chunks_on_workers || (context->comms == 1 && chunks == 1);
  int tasks = BENCHMARK_SUCCESS;  // the codes of every chunk, OR-ed
  for (uint64_t i = 0; i < context->comms; ++i) {
    const uint64_t pool_base = (context->comms * info->thread_rank + i) * kPoolsPerComm;
    if (fill && !FillCoversReceive(info)) {
      const uint64_t off = info->GetAddrOffset(context, static_cast<int>(iteration));
      // A receive buffer left unzeroed could hide a collective that wrote nothing.
      cleared = oxrtMemset(static_cast<char*>(info->recv_buffs[i]) + off * ts, 0,
                           info->recv_count * ts);
      cleared_card = DeviceOf(info, static_cast<int>(i));
      if (cleared != oxrtSuccess) break;
    }
    for (uint64_t g = 0; g < chunks; ++g) {
      const uint64_t len = std::min(total - g * kChunkElements, kChunkElements);
      const int comm = static_cast<int>(i);
      const uint64_t worker = info->thread_rank;
      if (here) {
        tasks |= task(comm, g, len);
        WatchBeat(worker);
        continue;
      }
      // Each finished chunk is progress: a long fill or check is not a stall.
      context->pools[pool_base + g % kPoolsPerComm]->Dispatch([task, comm, g, len, worker]() {
        const benchmarkResult_t r = task(comm, g, len);
        WatchBeatFromHelper(worker);
        return r;
      });
    }
  }
  const uint64_t first = context->comms * info->thread_rank * kPoolsPerComm;
  for (uint64_t p = first; p < first + context->comms * kPoolsPerComm; ++p) {
    tasks |= context->pools[p]->Sync();
  }
  // Reported after the tasks already dispatched have finished with the buffers.
  if (cleared != oxrtSuccess) {
    return ReportRtError(context, cleared,
                         StrFmt("oxrtMemset(card %d, %llu bytes)", cleared_card,
                                static_cast<unsigned long long>(info->recv_count * ts)));
  }
  // A chunk that could not be filled or checked (it logged why) leaves data unchecked: the
  // step cannot pass.
  if (tasks != BENCHMARK_SUCCESS) {
    OXLOG(ERROR) << (fill ? "Not every chunk of the send data was filled"
                          : "Not every chunk of the received data was checked");
    context->NotifyExit();
    return BENCHMARK_FAILURE;
  }
  return BENCHMARK_SUCCESS;
}

const Algorithm::TableLayout Algorithm::kReduceLayout = {
    true, "# %11s %11s %7s  %5s   ", " %15s %17s %16s %9s  ", "  %11li %11li %8s %5s   ",
    " %15.3lf %17.2lf %16.2lf %9li  "};
const Algorithm::TableLayout Algorithm::kGatherLayout = {
    false, "# %11s %11s %7s  ", " %15s %17s %16s %9s  ", "  %11li %11li %8s ",
    " %15.3lf %17.2lf %16.2lf %9li  "};

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
benchmarkResult_t Algorithm::PrintTableTitle(ThreadInfo* info, const TableLayout& layout) {
  if (info->thread_rank != 0 || context->proc_rank != 0) return BENCHMARK_SUCCESS;
  RecordTitle(*context, name);
  FILE* csv = context->csv_path.empty() ? nullptr : context->csv_file;
  std::printf(layout.title_head, "bytes", "count", "type", "redop");
  if (csv) std::fprintf(csv, layout.redop ? "%s,%s,%s,%s," : "%s,%s,%s,", "bytes", "count", "type", "redop");
  for (size_t m = 0; m < context->mode.size(); ++m) {
    const char* p = context->mode[m] ? "in" : "out";
    std::string t[4] = {std::string(p) + "-avg-lat(us)", std::string(p) + "-algo-bw(GB/s)",
                        std::string(p) + "-bus-bw(GB/s)", std::string(p) + "-error"};
    std::printf(layout.title_group, t[0].c_str(), t[1].c_str(), t[2].c_str(), t[3].c_str());
    if (csv) {
      std::fprintf(csv, "%s,%s,%s,%s", t[0].c_str(), t[1].c_str(), t[2].c_str(), t[3].c_str());
      if (context->mode[m] && m + 1 != context->mode.size()) std::fprintf(csv, ",");
    }
  }
  std::printf("\n");
  FlushOutput(stdout);
  if (csv) {
    std::fprintf(csv, "\n");
    FlushOutput(csv);
  }
  return BENCHMARK_SUCCESS;
}

benchmarkResult_t Algorithm::PrintTableLine(ThreadInfo* info, const TableLayout& layout,
                                            double seconds, double algo_bw, double bus_bw,
                                            int type_size) {
  if (info->thread_rank != 0 || context->proc_rank != 0) return BENCHMARK_SUCCESS;
  FILE* csv = context->csv_path.empty() ? nullptr : context->csv_file;
  const bool two_modes = context->mode.size() == 2;
  const bool inplace = CurrentInPlace(info);
  if (!two_modes || inplace) {
    const long bytes = static_cast<long>(type_size) * static_cast<long>(info->span_count);
    const long count = static_cast<long>(info->coll_count);
    const char* type = context->data_type_names[info->type_index].c_str();
    const char* op = context->reduce_op_names[info->op_index].c_str();
    // Each piece goes to the CSV file before the screen: a failing thread may end the process
    // between the two, and a row seen on the screen must then be in the file too.
    if (csv) {
      // The count keeps its full width: element counts of 2^31 and more occur with 1-byte types.
      std::fprintf(csv, layout.redop ? "%li,%li,%s,%s," : "%li,%li,%s,", bytes, count, type, op);
    }
    std::printf(layout.row_head, bytes, count, type, op);
  }
  long errors = 0;
  for (const auto& e : context->error_totals) errors += static_cast<long>(e.load());
  if (RecordKept()) {
    RecordRow row;
    row.bytes = static_cast<uint64_t>(type_size) * info->span_count;
    row.count = info->coll_count;
    row.type = context->data_type_names[info->type_index];
    if (layout.redop) row.redop = context->reduce_op_names[info->op_index];
    row.inplace = inplace;
    row.latency_us = seconds * 1e6;
    row.algbw_gbs = algo_bw;
    row.busbw_gbs = bus_bw;
    row.errors = static_cast<uint64_t>(errors);
    row.samples_us = info->block_us;
    RecordAddRow(std::move(row));
  }
  if (info->block_us.size() > 1) {
    const std::string op = layout.redop ? " " + context->reduce_op_names[info->op_index] : "";
    NoteRowNoise(StrFmt("%llu bytes, %llu x %s%s, %s",
                        static_cast<unsigned long long>(type_size * info->span_count),
                        static_cast<unsigned long long>(info->coll_count),
                        context->data_type_names[info->type_index].c_str(), op.c_str(),
                        inplace ? "inplace" : "outofplace"),
                 StatsOf(info->block_us).cv);
  }
  if (csv) std::fprintf(csv, "%.3lf,%.2lf,%.2lf,%li", seconds * 1e6, algo_bw, bus_bw, errors);
  std::printf(layout.row_group, seconds * 1e6, algo_bw, bus_bw, errors);
  if (two_modes && inplace) {
    if (csv) std::fprintf(csv, ",");
  } else {
    if (csv) std::fprintf(csv, "\n");
    std::printf("\n");
  }
  if (csv) FlushOutput(csv);
  FlushOutput(stdout);
  return BENCHMARK_SUCCESS;
}
#pragma GCC diagnostic pop

double Algorithm::Bandwidth(double bytes, double seconds) {
  return seconds > 0 ? bytes / seconds / 1e9 : 0.0;
}

double Algorithm::OperationBytes(const ThreadInfo* info, double s, double) const {
  return s * static_cast<double>(info->count);
}

benchmarkResult_t Algorithm::GetDataRate(ThreadInfo* info, double seconds) {
  const int s = static_cast<int>(context->GetTypeSize(CurrentType(info)));
  const double n = static_cast<double>(RankCount());
  const double algo_bw = Bandwidth(OperationBytes(info, s, n), seconds);
  return PrintLine(info, seconds, algo_bw, BusBandwidth(algo_bw, n), s);
}

benchmarkResult_t Algorithm::PrintTitle(ThreadInfo* info) {
  return PrintTableTitle(info, Layout());
}

benchmarkResult_t Algorithm::PrintLine(ThreadInfo* info, double seconds, double algo_bw,
                                       double bus_bw, int type_size) {
  return PrintTableLine(info, Layout(), seconds, algo_bw, bus_bw, type_size);
}

void Algorithm::CountMismatch(const ThreadInfo* info, uint64_t index, const std::string& expect,
                              const std::string& data, int rank, bool inplace) {
  OXLOG(DEBUG) << "index: " << index << ", expect: " << expect << ", data: " << data
               << ", rank: " << rank << ", inplace: " << (inplace ? 1 : 0)
               << " thread_rank: " << info->thread_rank << std::endl;
  context->error_counts[info->thread_rank].fetch_add(1);
  context->failed.store(true);
  RecordMismatch(info->thread_rank, rank, index, expect, data);
}

}  // namespace oxcl_benchmark
