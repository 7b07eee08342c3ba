#include "record.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>

#include "argument.h"
#include "context.h"
#include "log.h"
#include "oxmpi_wrapper.h"
#include "run_facts.h"
#include "samples.h"
#include "threadpool.h"

namespace oxcl_benchmark {

namespace {

// The shortest text that reads back as the same double; null for what JSON cannot hold.
std::string Number(double v) {
  if (!std::isfinite(v)) return "null";
  char text[40];
  for (int digits = 15; digits <= 17; ++digits) {
    std::snprintf(text, sizeof(text), "%.*g", digits, v);
    if (std::strtod(text, nullptr) == v) break;
  }
  return text;
}

std::string Number(uint64_t v) { return std::to_string(v); }
std::string Number(int64_t v) { return std::to_string(v); }
std::string Bool(bool v) { return v ? "true" : "false"; }
std::string OrNull(const std::string& text) { return text.empty() ? "null" : JsonString(text); }

// Length of the UTF-8 sequence at text[i], or 0 when the bytes there are not one.
size_t Utf8Length(const std::string& text, size_t i) {
  const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char b = byte(i);
  size_t n = 0;
  unsigned char low = 0x80, high = 0xBF;  // allowed range of the second byte
  if (b >= 0xC2 && b <= 0xDF) {
    n = 2;
  } else if (b >= 0xE0 && b <= 0xEF) {
    n = 3;
    if (b == 0xE0) low = 0xA0;   // no overlong forms
    if (b == 0xED) high = 0x9F;  // no surrogates
  } else if (b >= 0xF0 && b <= 0xF4) {
    n = 4;
    if (b == 0xF0) low = 0x90;
    if (b == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (i + n > text.size()) return 0;
  if (byte(i + 1) < low || byte(i + 1) > high) return 0;
  for (size_t k = 2; k < n; ++k) {
    if (byte(i + k) < 0x80 || byte(i + k) > 0xBF) return 0;
  }
  return n;
}

}  // namespace

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c < 0x20 || c == 0x7F) {
      out += StrFmt("\\u%04x", static_cast<unsigned>(c));
    } else if (c >= 0x80) {
      const size_t n = Utf8Length(text, i);
      if (n == 0) {
        out += StrFmt("\\u%04x", static_cast<unsigned>(c));
      } else {
        out.append(text, i, n);
        i += n;
        continue;
      }
    } else {
      out += static_cast<char>(c);
    }
    ++i;
  }
  return out + "\"";
}

RankSpread SpreadOf(std::vector<std::pair<int64_t, double>> times) {
  RankSpread s;
  if (times.empty()) return s;
  // By time, then rank: the first entry is the lowest rank of the smallest time.
  std::sort(times.begin(), times.end(), [](const auto& a, const auto& b) {
    return a.second != b.second ? a.second < b.second : a.first < b.first;
  });
  const size_t n = times.size();
  s.min = times.front().second;
  s.min_rank = times.front().first;
  s.max = times.back().second;
  s.max_rank = std::find_if(times.begin(), times.end(),
                            [&](const auto& t) { return t.second == s.max; })->first;
  s.median = n % 2 == 1 ? times[n / 2].second : (times[n / 2 - 1].second + times[n / 2].second) / 2;
  return s;
}

std::string IsoUtc(std::time_t when) {
  std::tm parts{};
  if (gmtime_r(&when, &parts) == nullptr) return std::string();
  char text[32];
  std::strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%SZ", &parts);
  return text;
}

std::string RecordFilePath(const std::string& value, const std::string& program) {
  if (value.empty()) return value;
  const std::string name = program + ".json";
  if (value.back() == '/') return value + name;
  struct stat st{};
  if (stat(value.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return value + "/" + name;
  return value;
}

namespace {

const char* KindOf(mode_t mode) {
  if (S_ISDIR(mode)) return "a directory";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISBLK(mode)) return "a block device";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISSOCK(mode)) return "a socket";
  return "not a regular file";
}

std::string DirectoryOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// Writes all of `text` to fd; false with errno set otherwise.
bool WriteAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

bool ResolveRecordTarget(const std::string& path, std::string* target, mode_t* mode,
                         std::string* error) {
  std::string at = path;
  // A link is followed to the file it names, so that the link itself stays.
  for (int hops = 0;; ++hops) {
    struct stat st{};
    if (lstat(at.c_str(), &st) != 0) {
      if (errno != ENOENT) {
        *error = "cannot look at " + at + ": " + std::strerror(errno);
        return false;
      }
      *target = at;
      *mode = 0;
      return true;
    }
    if (S_ISREG(st.st_mode)) {
      *target = at;
      *mode = st.st_mode & 07777;
      return true;
    }
    if (!S_ISLNK(st.st_mode)) {
      *error = at + " is " + KindOf(st.st_mode) + ", not a regular file";
      return false;
    }
    if (hops == 40) {
      *error = "cannot follow " + path + ": " + std::strerror(ELOOP);
      return false;
    }
    std::vector<char> link(static_cast<size_t>(st.st_size > 0 ? st.st_size : 255) + 2);
    const ssize_t n = readlink(at.c_str(), link.data(), link.size() - 1);
    if (n < 0) {
      *error = "cannot read the link " + at + ": " + std::strerror(errno);
      return false;
    }
    const std::string next(link.data(), static_cast<size_t>(n));
    at = next.front() == '/' ? next : DirectoryOf(at) + "/" + next;
  }
}

bool WriteFileAtomically(const std::string& path, const std::string& text, std::string* error) {
  std::string target;
  mode_t mode = 0;
  if (!ResolveRecordTarget(path, &target, &mode, error)) return false;
  // One temporary name per process: several processes that write the same path (a failure
  // before they knew their ranks) cannot interleave in one file.
  const std::string temp = target + ".tmp." + std::to_string(getpid());
  // The data go into a file without a name first: a process killed while it writes (a
  // launcher's SIGKILL after its grace period) leaves nothing behind. The name exists only
  // between the link and the rename.
  int fd = open(DirectoryOf(target).c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0644);
  const bool unnamed = fd >= 0;
  if (!unnamed) {
    unlink(temp.c_str());  // a leftover of a killed process with the same id
    fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  }
  if (fd < 0) {
    *error = "cannot create " + temp + ": " + std::strerror(errno);
    return false;
  }
  auto fail = [&](const std::string& what) {
    *error = what + ": " + std::strerror(errno);
    close(fd);
    if (!unnamed) unlink(temp.c_str());
    return false;
  };
  if (!WriteAll(fd, text)) return fail("cannot write " + temp);
  // A replaced file keeps its permissions (a new one gets the usual ones, less the umask).
  if (mode != 0 && fchmod(fd, mode) != 0) return fail("cannot set the mode of " + temp);
  // On disk before the rename, so that a crash cannot leave an empty file under the name.
  if (fsync(fd) != 0) return fail("cannot write " + temp);
  if (unnamed) {
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    if (linkat(AT_FDCWD, self.c_str(), AT_FDCWD, temp.c_str(), AT_SYMLINK_FOLLOW) != 0 &&
        (errno != EEXIST || unlink(temp.c_str()) != 0 ||
         linkat(AT_FDCWD, self.c_str(), AT_FDCWD, temp.c_str(), AT_SYMLINK_FOLLOW) != 0)) {
      return fail("cannot create " + temp);
    }
  }
  if (rename(temp.c_str(), target.c_str()) != 0) {
    *error = "cannot rename " + temp + " to " + target + ": " + std::strerror(errno);
    close(fd);
    unlink(temp.c_str());
    return false;
  }
  if (close(fd) != 0) {
    *error = "cannot write " + target + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

std::string RunRecord::ToJson() const {
  std::string j = "{\n";
  auto field = [&j](const char* name, const std::string& value, bool last = false) {
    j += "  \"";
    j += name;
    j += "\": " + value + (last ? "\n" : ",\n");
  };
  auto setting = [this](const std::string& value) { return configured ? value : "null"; };
  auto strings = [](const std::vector<std::string>& list) {
    std::string a = "[";
    for (size_t i = 0; i < list.size(); ++i) a += (i ? ", " : "") + JsonString(list[i]);
    return a + "]";
  };
  auto object = [](const std::vector<std::pair<std::string, std::string>>& pairs) {
    std::string o = "{";
    for (size_t i = 0; i < pairs.size(); ++i)
      o += (i ? ", " : "") + JsonString(pairs[i].first) + ": " + JsonString(pairs[i].second);
    return o + "}";
  };
  field("schema_version", Number(static_cast<int64_t>(kRecordSchemaVersion)));
  field("program", JsonString(program));
  field("collective", OrNull(collective));
  field("command_line", strings(command_line));
  field("alltoall_api", OrNull(alltoall_api));
  field("clock", device_clock ? JsonString("device") : setting(JsonString("host")));
  field("datacheck", setting(Bool(datacheck)));
  field("stress", setting(Bool(stress)));
  field("loop", setting(Number(loop)));
  field("warmup", setting(Number(warmup)));
  field("threads", setting(Number(threads)));
  field("comms", setting(Number(comms)));
  field("processes", setting(Number(processes)));
  field("ranks", setting(Number(ranks)));
  field("hosts", setting(strings(hosts)));
  std::string cards = "[";
  for (size_t i = 0; i < rank_cards.size(); ++i) {
    const RankCard& c = rank_cards[i];
    cards += std::string(i ? "," : "") + "\n    {\"rank\": " + Number(c.rank) +
             ", \"process\": " + Number(c.process) + ", \"host\": " + JsonString(c.host) +
             ", \"card\": " + Number(c.card) +
             ", \"numa_node\": " + (c.numa_node >= 0 ? Number(c.numa_node) : "null") + "}";
  }
  cards += rank_cards.empty() ? "]" : "\n  ]";
  field("rank_cards", setting(cards));
  field("versions", setting(object(versions)));
  field("suite_version", OrNull(suite_version));
  field("revision", OrNull(revision));
  field("build_type", OrNull(build_type));
  field("libraries", setting(object(libraries)));
  field("environment", object(environment));
  field("host", "{\"cpu_model\": " + OrNull(cpu_model) + ", \"cpus\": " +
                    (cpus > 0 ? Number(cpus) : "null") + ", \"numa_nodes\": " +
                    (numa_nodes > 0 ? Number(numa_nodes) : "null") + "}");
  field("started", OrNull(started));
  field("verdict", OrNull(verdict));
  field("error", OrNull(error));
  std::string r = "[";
  for (size_t i = 0; i < rows.size(); ++i) {
    const RecordRow& w = rows[i];
    r += std::string(i ? "," : "") + "\n    {\"bytes\": " + Number(w.bytes) +
         ", \"count\": " + Number(w.count) + ", \"type\": " + JsonString(w.type) +
         ", \"redop\": " + OrNull(w.redop) + ", \"mode\": \"" +
         (w.inplace ? "inplace" : "outofplace") + "\", \"latency_us\": " +
         Number(w.latency_us) + ", \"algbw_gbs\": " + Number(w.algbw_gbs) +
         ", \"busbw_gbs\": " + Number(w.busbw_gbs) + ", \"errors\": " + Number(w.errors) +
         ", \"rank_time_us\": ";
    if (w.has_rank_time) {
      const RankSpread& s = w.rank_time_us;
      r += "{\"min\": " + Number(s.min) + ", \"median\": " + Number(s.median) +
           ", \"max\": " + Number(s.max) + ", \"min_rank\": " + Number(s.min_rank) +
           ", \"max_rank\": " + Number(s.max_rank) + "}";
    } else {
      r += "null";
    }
    r += ", \"first_error\": ";
    const FirstError& e = w.first_error;
    if (e.rank >= 0) {
      r += "{\"rank\": " + Number(e.rank) + ", \"index\": " + Number(e.index) +
           ", \"expected\": " + JsonString(e.expected) + ", \"received\": " +
           JsonString(e.received) + "}";
    } else {
      r += "null";
    }
    r += ", \"samples_us\": ";
    if (w.samples_us.empty()) {
      r += "null, \"stats\": null";
    } else {
      r += "[";
      for (size_t k = 0; k < w.samples_us.size(); ++k)
        r += (k ? ", " : "") + Number(w.samples_us[k]);
      r += "], \"stats\": ";
      const SampleStats t = StatsOf(w.samples_us);
      r += "{\"min\": " + Number(t.min) + ", \"p10\": " + Number(t.p10) + ", \"median\": " +
           Number(t.median) + ", \"p90\": " + Number(t.p90) + ", \"max\": " + Number(t.max) +
           ", \"mean\": " + Number(t.mean) + ", \"stdev\": " + Number(t.stdev) +
           ", \"cv\": " + Number(t.cv) + "}";
    }
    r += "}";
  }
  r += rows.empty() ? "]" : "\n  ]";
  field("rows", r, true);
  return j + "}\n";
}

namespace {

// What one worker leaves for the step's gather.
struct ThreadSlot {
  std::mutex mutex;
  std::vector<double> loop_ms;  // per timed block
  FirstError first;
};

// A first mismatch as it travels between processes.
struct ErrorWire {
  int64_t rank;
  uint64_t index;
  char expected[64];
  char received[64];
};

// What each process tells the others at configuration.
struct ProcessHead {
  uint64_t name_length;
  uint64_t threads;
  uint64_t comms;
  int64_t numa_node;
};

struct State {
  bool armed = false;  // this process has BENCHMARK_RECORD; set before any other thread exists
  std::string path;
  std::atomic<bool> on{false};      // every process takes part in the gathers
  std::atomic<bool> writer{false};  // this process writes the file
  std::mutex mutex;  // guards everything below but the slots and `error`
  RunRecord record;
  bool is_alltoall = false;
  bool has_pending = false;
  RankSpread pending_spread;
  FirstError pending_error;
  std::vector<ProcessHead> heads;
  std::vector<std::vector<int64_t>> ranks_of;  // per process, the global rank of each index
  uint64_t max_threads = 0;
  std::deque<ThreadSlot> slots;  // sized before the workers start
  std::mutex error_mutex;
  std::string error;
  std::mutex write_mutex;
  bool written = false;
};

// Never destroyed: a failing thread may write the record while the process exits.
State& TheState() {
  static State* state = new State;
  return *state;
}

// Locks `m` within `seconds`, or gives up: the exit paths must not wait for ever on a thread
// that stopped while holding it. (Polled: ThreadSanitizer does not follow timed locks.)
bool LockWithin(std::mutex& m, int seconds) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (!m.try_lock()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

bool Before(int64_t rank, uint64_t index, const FirstError& than) {
  return than.rank < 0 || rank < than.rank || (rank == than.rank && index < than.index);
}

void CopyTruncated(char (&to)[64], const std::string& from) {
  std::memset(to, 0, sizeof(to));
  std::memcpy(to, from.data(), std::min(from.size(), sizeof(to) - 1));
}

// Writes the record once; `fallback` is the error when none was noted. False when it was due
// and could not be written.
bool WriteRecord(const std::string& fallback) {
  State& s = TheState();
  if (!s.writer.load()) return true;
  // A second caller (a signal during a fatal exit) waits for the first, then has nothing to do.
  if (!LockWithin(s.write_mutex, 5)) return true;
  std::lock_guard<std::mutex> once(s.write_mutex, std::adopt_lock);
  if (s.written) return true;
  s.written = true;
  std::string text;
  {
    // Held only for short copies; a holder that never lets go is a thread that died with it.
    if (!LockWithin(s.mutex, 2)) return false;
    std::lock_guard<std::mutex> lock(s.mutex, std::adopt_lock);
    {
      std::lock_guard<std::mutex> error_lock(s.error_mutex);
      s.record.error = s.error.empty() ? fallback : s.error;
    }
    text = s.record.ToJson();
  }
  std::string why;
  if (WriteFileAtomically(s.path, text, &why)) return true;
  OXLOG(ERROR) << "Cannot write the run record (BENCHMARK_RECORD): " << why;
  return false;
}

const char* SignalName(int sig) {
  switch (sig) {
    case SIGTERM: return "SIGTERM";
    case SIGINT: return "SIGINT";
    case SIGHUP: return "SIGHUP";
    default: return "a signal";
  }
}

// A launcher ends the other processes with SIGTERM when one fails, and a user stops a run
// with SIGINT: the record must be written then too. The signals are blocked in every thread
// (the mask is inherited) and taken by one thread of their own, which writes the record and
// ends the process by the same signal.
void WatchSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGHUP);
  if (pthread_sigmask(SIG_BLOCK, &set, nullptr) != 0) return;
  std::vector<std::thread> watcher;
  const bool started = StartThread(
      &watcher,
      [set]() {
        int sig = 0;
        if (sigwait(&set, &sig) != 0) return;
        RecordFailure(StrFmt("the run was stopped by %s%s", SignalName(sig),
                             sig == SIGTERM ? " (under a launcher: most likely because another "
                                              "process failed)"
                                            : ""));
        WriteRecord("");
        std::signal(sig, SIG_DFL);
        sigset_t one;
        sigemptyset(&one);
        sigaddset(&one, sig);
        pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
        raise(sig);
        _exit(128 + sig);
      },
      nullptr);
  if (!started) {
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    return;
  }
  watcher.front().detach();
}

}  // namespace

void RecordBegin(int argc, char** argv) {
  const char* value = std::getenv("BENCHMARK_RECORD");
  if (value == nullptr || *value == '\0') return;
  State& s = TheState();
  const std::string program = LogBaseName(argc > 0 && argv[0] != nullptr ? argv[0] : "benchmark");
  s.record.program = program;
  for (int i = 0; i < argc; ++i) s.record.command_line.push_back(argv[i] ? argv[i] : "");
  s.record.started = IsoUtc(std::time(nullptr));
  s.record.suite_version = kBenchmarkVersion;
  s.record.revision = SourceRevision();
  s.record.build_type = BuildType();
  s.record.environment = EnvironmentWith({"BENCHMARK_", "OXSIM_"});
  s.record.cpu_model = HostCpuModel();
  s.record.cpus = HostCpuCount();
  s.record.numa_nodes = HostNumaNodeCount();
  s.path = RecordFilePath(value, program);
  // Until MPI names the ranks, only the process that its launcher calls rank 0 may write.
  bool first = true;
  for (const char* name : {"OMPI_COMM_WORLD_RANK", "PMIX_RANK", "PMI_RANK"}) {
    const char* rank = std::getenv(name);
    if (rank != nullptr && std::strcmp(rank, "0") != 0) first = false;
  }
  s.writer.store(first);
  s.armed = true;
  SetErrorLogObserver(&RecordFailure);
  AddFatalExitHook([] { WriteRecord("the run was ended by a fatal error"); });
  WatchSignals();
}

namespace {

// Whether the record can go where its path leads; the reason in *why otherwise.
bool CanWrite(const std::string& path, std::string* why) {
  std::string target;
  mode_t mode = 0;
  if (!ResolveRecordTarget(path, &target, &mode, why)) return false;
  // An unnamed probe, so that nothing is left behind whatever happens next.
  int fd = open(DirectoryOf(target).c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
  if (fd >= 0) {
    close(fd);
    return true;
  }
  const std::string probe = target + ".tmp." + std::to_string(getpid());
  fd = open(probe.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) {
    *why = std::strerror(errno);
    return false;
  }
  close(fd);
  unlink(probe.c_str());
  return true;
}

}  // namespace

benchmarkResult_t RecordConfigure(Context* ctx, const std::string& collective) {
  State& s = TheState();
  // 0: no record, 1: kept, 2: process 0 cannot write it.
  int32_t decision = 0;
  std::string why;
  if (ctx->proc_rank == 0 && s.armed) decision = CanWrite(s.path, &why) ? 1 : 2;
  // Always, record or not, so that every process makes the same calls.
  if (ctx->nprocs > 1) {
    CheckMpi(OX_MPI_Bcast(&decision, sizeof(decision), OX_MPI_BYTE, 0, OX_MPI_COMM_WORLD),
             "OX_MPI_Bcast");
  }
  s.writer.store(decision == 1 && ctx->proc_rank == 0);
  if (decision == 0) return BENCHMARK_SUCCESS;
  if (decision == 2) {
    if (ctx->proc_rank == 0) {
      OXLOG(ERROR) << "Cannot write the run record " << s.path << ": " << why
                   << ", please set BENCHMARK_RECORD to a writable file or directory";
    } else {
      OXLOG(ERROR) << "Process 0 cannot write the run record (BENCHMARK_RECORD), see its message";
    }
    return BENCHMARK_FAILURE;
  }
  const size_t nprocs = static_cast<size_t>(std::max(ctx->nprocs, 1));
  const size_t me = static_cast<size_t>(ctx->proc_rank);
  std::vector<ProcessHead> heads(nprocs);
  heads[me] = {ctx->host_name.size(), ctx->threads, ctx->comms, ProcessNumaNode()};
  CheckMpi(OX_MPI_Allgather(OX_MPI_IN_PLACE, 0, OX_MPI_DATATYPE_NULL, heads.data(),
                            sizeof(ProcessHead), OX_MPI_BYTE, OX_MPI_COMM_WORLD),
           "OX_MPI_Allgather");
  uint64_t name_room = 0, local_room = 0, max_threads = 0;
  for (const ProcessHead& h : heads) {
    name_room = std::max(name_room, h.name_length);
    local_room = std::max(local_room, h.threads * h.comms);
    max_threads = std::max(max_threads, h.threads);
  }
  // Per process: its host name, then a (rank, card) pair per communicator.
  const size_t blob = name_room + local_room * 2 * sizeof(int32_t);
  std::vector<char> all(blob * nprocs, 0);
  char* mine = all.data() + blob * me;
  std::memcpy(mine, ctx->host_name.data(), ctx->host_name.size());
  for (size_t i = 0; i < ctx->rank_list.size() && i < local_room; ++i) {
    const int32_t pair[2] = {ctx->rank_list[i], ctx->dev_list[i]};
    std::memcpy(mine + name_room + i * sizeof(pair), pair, sizeof(pair));
  }
  CheckMpi(OX_MPI_Allgather(OX_MPI_IN_PLACE, 0, OX_MPI_DATATYPE_NULL, all.data(),
                            static_cast<int>(blob), OX_MPI_BYTE, OX_MPI_COMM_WORLD),
           "OX_MPI_Allgather");
  std::lock_guard<std::mutex> lock(s.mutex);
  s.heads = heads;
  s.max_threads = max_threads;
  s.slots.resize(ctx->threads);
  s.ranks_of.assign(nprocs, {});
  RunRecord& r = s.record;
  r.hosts.clear();
  r.rank_cards.clear();
  for (size_t p = 0; p < nprocs; ++p) {
    const char* at = all.data() + blob * p;
    const std::string host(at, heads[p].name_length);
    if (std::find(r.hosts.begin(), r.hosts.end(), host) == r.hosts.end()) r.hosts.push_back(host);
    for (uint64_t i = 0; i < heads[p].threads * heads[p].comms; ++i) {
      int32_t pair[2];
      std::memcpy(pair, at + name_room + i * sizeof(pair), sizeof(pair));
      s.ranks_of[p].push_back(pair[0]);
      r.rank_cards.push_back({pair[0], static_cast<int64_t>(p), host, pair[1], heads[p].numa_node});
    }
  }
  std::sort(r.rank_cards.begin(), r.rank_cards.end(),
            [](const RankCard& a, const RankCard& b) { return a.rank < b.rank; });
  r.configured = true;
  r.collective = collective;
  s.is_alltoall = collective == "AlltoAll";
  r.datacheck = ctx->datacheck != 0;
  r.stress = ctx->stress_test != 0;
  r.loop = ctx->loop;
  r.warmup = ctx->warmup_loop;
  r.threads = ctx->threads;
  r.comms = ctx->comms;
  r.processes = nprocs;
  r.ranks = r.rank_cards.size();
  r.versions = {{"card", ctx->card_name},         {"driver", ctx->driver_version},
                {"oxdrv", ctx->oxdrv_version},    {"oxdev", ctx->oxdev_version},
                {"oxrt", ctx->oxrt_version},      {"oxcl", ctx->oxcl_version}};
  // By now every vendor library is loaded, the collective one by the dynamic wrapper too.
  r.libraries = LoadedLibraries({"liboxdrv", "liboxdev", "liboxrt", "liboxcl"});
  s.on.store(true);
  return BENCHMARK_SUCCESS;
}

bool RecordKept() { return TheState().writer.load() && TheState().on.load(); }

void RecordTitle(const Context& ctx, const std::string& collective) {
  State& s = TheState();
  if (!RecordKept()) return;
  std::lock_guard<std::mutex> lock(s.mutex);
  s.record.collective = collective;
  s.record.device_clock = ctx.hw_time;
  if (s.is_alltoall) {
    static const char* const kApis[] = {"alltoallv", "alltoall", "group"};
    if (ctx.alltoall_api >= 0 && ctx.alltoall_api <= 2) s.record.alltoall_api = kApis[ctx.alltoall_api];
  }
}

void RecordLoopTimes(uint64_t thread_rank, const std::vector<double>& elapsed_ms) {
  State& s = TheState();
  if (!s.on.load() || thread_rank >= s.slots.size()) return;
  ThreadSlot& slot = s.slots[thread_rank];
  std::lock_guard<std::mutex> lock(slot.mutex);
  slot.loop_ms = elapsed_ms;
}

void RecordMismatch(uint64_t thread_rank, int64_t rank, uint64_t index,
                    const std::string& expected, const std::string& received) {
  State& s = TheState();
  if (!s.on.load() || thread_rank >= s.slots.size()) return;
  ThreadSlot& slot = s.slots[thread_rank];
  std::lock_guard<std::mutex> lock(slot.mutex);
  if (Before(rank, index, slot.first)) slot.first = {rank, index, expected, received};
}

void RecordGatherStep(Context* ctx, uint64_t thread_rank) {
  State& s = TheState();
  if (thread_rank != 0 || !s.on.load()) return;
  const size_t nprocs = s.heads.size();
  // Every process runs the same number of blocks (the processes compared their settings).
  const size_t blocks = static_cast<size_t>(std::max<uint64_t>(ctx->repeat, 1));
  const size_t times_room = s.max_threads * blocks * sizeof(double);
  const size_t blob = times_room + sizeof(ErrorWire);
  std::vector<char> all(blob * nprocs, 0);
  char* mine = all.data() + blob * static_cast<size_t>(ctx->proc_rank);
  // No other worker of this process touches the slots before thread 0 reaches the next
  // barrier: the next step's loop time and mismatches come after it.
  FirstError best;
  size_t shown = 0;  // the block of thread 0 that the table shows
  for (size_t t = 0; t < s.slots.size(); ++t) {
    ThreadSlot& slot = s.slots[t];
    std::lock_guard<std::mutex> lock(slot.mutex);
    if (t == 0) shown = MedianBlock(slot.loop_ms);
    std::memcpy(mine + t * blocks * sizeof(double), slot.loop_ms.data(),
                std::min(slot.loop_ms.size(), blocks) * sizeof(double));
    if (slot.first.rank >= 0 && Before(slot.first.rank, slot.first.index, best)) best = slot.first;
    slot.loop_ms.clear();
    slot.first = FirstError();
  }
  ErrorWire wire{best.rank, best.index, {}, {}};
  CopyTruncated(wire.expected, best.expected);
  CopyTruncated(wire.received, best.received);
  std::memcpy(mine + times_room, &wire, sizeof(wire));
  {
    // The MPI wrapper is called by one thread of a process at a time.
    std::lock_guard<std::mutex> lock(ctx->barrier_mutex);
    CheckMpi(OX_MPI_Allgather(OX_MPI_IN_PLACE, 0, OX_MPI_DATATYPE_NULL, all.data(),
                              static_cast<int>(blob), OX_MPI_BYTE, OX_MPI_COMM_WORLD),
             "OX_MPI_Allgather");
  }
  if (!s.writer.load()) return;
  std::vector<std::pair<int64_t, double>> times;
  FirstError first;
  for (size_t p = 0; p < nprocs; ++p) {
    const char* at = all.data() + blob * p;
    const ProcessHead& h = s.heads[p];
    for (uint64_t t = 0; t < h.threads && t < s.max_threads; ++t) {
      double ms = 0.0;
      std::memcpy(&ms, at + (t * blocks + shown) * sizeof(double), sizeof(ms));
      // Each rank's own time per operation, in the unit of the table's latency
      // (the same arithmetic as the table's, so rank 0 of process 0 shows its latency exactly).
      const double us =
          ctx->loop == 0 ? 0.0 : ms / (static_cast<double>(ctx->loop) * 1000.0) * 1e6;
      for (uint64_t c = 0; c < h.comms; ++c) {
        const uint64_t i = t * h.comms + c;
        if (i < s.ranks_of[p].size()) times.emplace_back(s.ranks_of[p][i], us);
      }
    }
    ErrorWire w;
    std::memcpy(&w, at + times_room, sizeof(w));
    w.expected[sizeof(w.expected) - 1] = '\0';
    w.received[sizeof(w.received) - 1] = '\0';
    if (w.rank >= 0 && Before(w.rank, w.index, first)) {
      first = {w.rank, w.index, w.expected, w.received};
    }
  }
  std::lock_guard<std::mutex> lock(s.mutex);
  s.pending_spread = SpreadOf(std::move(times));
  s.pending_error = first;
  s.has_pending = true;
}

void RecordAddRow(RecordRow row) {
  State& s = TheState();
  if (!RecordKept()) return;
  std::lock_guard<std::mutex> lock(s.mutex);
  if (s.has_pending) {
    row.has_rank_time = true;
    row.rank_time_us = s.pending_spread;
    row.first_error = s.pending_error;
    s.has_pending = false;
  }
  if (s.record.configured && s.record.loop == 0) {
    // -l 0 times nothing: the table's zeros are no measurement, the record says null.
    row.latency_us = row.algbw_gbs = row.busbw_gbs = std::nan("");
    row.has_rank_time = false;
    row.samples_us.clear();
  } else if (row.samples_us.empty()) {
    row.samples_us = {row.latency_us};
  }
  s.record.rows.push_back(std::move(row));
}

void RecordVerdict(const char* word) {
  State& s = TheState();
  if (!s.writer.load()) return;
  std::lock_guard<std::mutex> lock(s.mutex);
  s.record.verdict = word;
}

void RecordFailure(const std::string& message) {
  State& s = TheState();
  if (!s.armed) return;
  std::lock_guard<std::mutex> lock(s.error_mutex);
  if (s.error.empty()) s.error = message;
}

int RecordEnd(int status) {
  State& s = TheState();
  if (!s.armed || status == BENCHMARK_QUIT) return status;
  std::string fallback;
  if (status != BENCHMARK_SUCCESS) {
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.record.verdict.empty()) {
      fallback = StrFmt("the run ended with status %d before its verdict", status);
    } else if (s.record.verdict == "PASSED") {
      fallback = StrFmt("the run ended with status %d after its verdict", status);
    }
  }
  // A run whose record is missing must not look like a good one to the job that reads it.
  if (!WriteRecord(fallback) && status == BENCHMARK_SUCCESS) return BENCHMARK_FAILURE;
  return status;
}

}  // namespace oxcl_benchmark
