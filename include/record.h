// The run record: with BENCHMARK_RECORD=PATH, process 0 writes one JSON document per run with
// the settings, where every rank ran, one entry per table row and mode (unrounded values, the
// spread of the ranks' own times, the first mismatch) and how the run ended.
#ifndef OXCL_BENCHMARK_RECORD_H_
#define OXCL_BENCHMARK_RECORD_H_

#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

#include "common.h"

namespace oxcl_benchmark {

class Context;

// Spread of the ranks' times of one step: the lowest rank wins ties for min_rank and max_rank.
struct RankSpread {
  double min = 0.0;
  double median = 0.0;
  double max = 0.0;
  int64_t min_rank = -1;
  int64_t max_rank = -1;
};

// The mismatch of the lowest rank (and there the lowest index) of one step; rank -1: none.
struct FirstError {
  int64_t rank = -1;
  uint64_t index = 0;
  std::string expected;
  std::string received;
};

// One table row of one mode.
struct RecordRow {
  uint64_t bytes = 0;
  uint64_t count = 0;
  std::string type;
  std::string redop;  // empty for the collectives without an operation
  bool inplace = true;
  double latency_us = 0.0;
  double algbw_gbs = 0.0;
  double busbw_gbs = 0.0;
  uint64_t errors = 0;
  bool has_rank_time = false;
  RankSpread rank_time_us;
  FirstError first_error;
  // Latency of each timed block of the step (BENCHMARK_REPEAT), as latency_us is defined.
  std::vector<double> samples_us;
};

struct RankCard {
  int64_t rank = 0;
  int64_t process = 0;
  std::string host;
  int64_t card = 0;
  int64_t numa_node = -1;  // of the rank's process, when all its processors are in one; -1: unknown
};

// The version of the record's layout; readers take a record without one as version 1.
constexpr int kRecordSchemaVersion = 2;

// Everything one record holds. Empty strings are written as null; the settings are null as
// long as `configured` is false (a run that ended before its communicators existed).
struct RunRecord {
  std::string program;
  std::vector<std::string> command_line;
  std::string started;
  bool configured = false;
  std::string collective;
  std::string alltoall_api;
  bool device_clock = false;
  bool datacheck = false;
  bool stress = false;
  uint64_t loop = 0;
  uint64_t warmup = 0;
  uint64_t threads = 0;
  uint64_t comms = 0;
  uint64_t processes = 0;
  uint64_t ranks = 0;
  std::vector<std::string> hosts;
  std::vector<RankCard> rank_cards;
  std::vector<std::pair<std::string, std::string>> versions;
  std::string suite_version;
  std::string revision;
  std::string build_type;
  // File name and resolved path of each vendor library loaded (process 0).
  std::vector<std::pair<std::string, std::string>> libraries;
  // The BENCHMARK_* and OXSIM_* variables set for process 0.
  std::vector<std::pair<std::string, std::string>> environment;
  std::string cpu_model;
  int64_t cpus = 0;
  int64_t numa_nodes = 0;  // 0: the kernel does not say
  std::string verdict;
  std::string error;
  std::vector<RecordRow> rows;

  // The JSON document, ending with a line feed.
  std::string ToJson() const;
};

// A JSON string literal of `text`; bytes that are not UTF-8 become the code points of the same
// value (as Latin-1 would read them), so nothing is lost and the document stays valid.
std::string JsonString(const std::string& text);
// Min, median (mean of the middle two for an even count) and max of (rank, time) pairs.
RankSpread SpreadOf(std::vector<std::pair<int64_t, double>> times);
// "YYYY-MM-DDTHH:MM:SSZ".
std::string IsoUtc(std::time_t when);
// The file that a BENCHMARK_RECORD value names: a directory (a trailing slash, or one that
// exists) gets "<program>.json".
std::string RecordFilePath(const std::string& value, const std::string& program);
// Where a record written to `path` goes: a symbolic link is followed to the file it names (the
// link stays), *mode is the permission bits of the regular file found there, 0 when there is
// none yet. False, with the reason, when the path leads to a directory, device, FIFO or socket.
bool ResolveRecordTarget(const std::string& path, std::string* target, mode_t* mode,
                         std::string* error);
// Writes `text` to a temporary file beside the file that `path` leads to (ResolveRecordTarget)
// and renames it over that file, so that a reader sees the old file or the whole new one, and a
// process killed on the way leaves no temporary file. False, with the reason in *error, when
// that fails; nothing but a regular file is ever replaced.
bool WriteFileAtomically(const std::string& path, const std::string& text, std::string* error);

// The run's hooks; each does nothing while no record is kept.
// Start of main: reads BENCHMARK_RECORD, notes the command line and the start time.
void RecordBegin(int argc, char** argv);
// After communicator set-up, on every process (MPI calls in the same order everywhere): process
// 0 decides whether the record is kept and tells the others, then learns every process's host
// and cards. 1 when process 0 cannot write the record (logged).
benchmarkResult_t RecordConfigure(Context* ctx, const std::string& collective);
// True on the process that writes the record, once the processes agreed to keep one.
bool RecordKept();
// Thread 0 of process 0, when the table title is printed: the collective's final name and
// what the environment settings chose.
void RecordTitle(const Context& ctx, const std::string& collective);
// A worker's own elapsed milliseconds of each timed block of the step; called after the loop.
void RecordLoopTimes(uint64_t thread_rank, const std::vector<double>& elapsed_ms);
// Thread 0 of every process, after the step's last barrier: gathers the ranks' times and first
// mismatches through the MPI wrapper, for the row that follows. The spread is that of the
// block the table shows (the median block of thread 0 of process 0).
void RecordGatherStep(Context* ctx, uint64_t thread_rank);
// A table row of the current step (thread 0 of process 0).
void RecordAddRow(RecordRow row);
// A mismatching element, as the debug line shows it; called from the check's pool threads.
void RecordMismatch(uint64_t thread_rank, int64_t rank, uint64_t index,
                    const std::string& expected, const std::string& received);
void RecordVerdict(const char* word);
// The first message of a failure; later ones are ignored.
void RecordFailure(const std::string& message);
// End of main with its exit status: writes the record (not for help or version, status 3).
// Returns the status to exit with: 1 instead of 0 when the record could not be written.
int RecordEnd(int status);

}  // namespace oxcl_benchmark

#endif  // OXCL_BENCHMARK_RECORD_H_
