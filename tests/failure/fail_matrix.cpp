// Failure matrix: runs the programs through every failure a user or a faulty library can cause
// and checks that each one ends the way it must: the right message, the right exit status,
// within a time limit, without a signal, without a PASSED verdict over a failure, and without
// losing a result row that the table had already printed.
//
//   fail_matrix GROUP --bin DIR [--legacy DIR] [--mpirun PATH] [--work DIR] [--timeout S]
//               [--jobs N] [--repeat R] [--path-runs N [--seed S]] [--skip TEXT,...]
//
// GROUP is one of: faults-<program suffix> (every failable entry point the program calls, in
// several thread layouts), corrupt (received data changed, for every collective, type, operation
// and mode), cli (bad command lines), paths (unwritable output paths, a missing or old collective
// library, bad simulator settings, limits), mpi (faults under mpirun -np 2, in one or both
// processes), abort-<program suffix> (every call of a queue wait or a collective failed in turn,
// the calls after which the run ends on the abort path while work may still be running; one run
// at a time, each case --repeat times, or with --path-runs each case once and each path that
// many times in all, since what goes wrong there is a race), hang (calls that
// never complete, in every phase, ended by BENCHMARK_TIMEOUT_S). It prints one line per path and
// the count of paths tried and of those that behaved.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <dirent.h>

#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <atomic>
#include <algorithm>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

using Env = std::vector<std::pair<std::string, std::string>>;
using Words = std::vector<std::string>;

struct Options {
  std::string group, bin, legacy, mpirun, work = "/tmp", lib, skip;
  int timeout = 60;
  int jobs = 6;
  int repeat = 1;
  int path_runs = 0;  // > 0: runs of each abort path in all, dealt over its cases
  unsigned seed = 0;
  bool seed_given = false;
};
Options opt;

struct Outcome {
  int status = -1;  // exit status, or -1 when the process did not exit normally
  int signal = 0;
  bool timed_out = false;
  std::string out, err;
  double seconds = 0;
  double hang_at = -1;  // seconds from the start to the simulator's notice of a hung call
  int leftovers = 0;    // processes of the case still alive after it ended
};

// The simulator's notice when a `hang:` fault fires.
constexpr const char* kHangNotice = "hangs (OXSIM_FAULT)";

// Processes whose working folder is `dir`: every process a case starts works there.
std::vector<pid_t> ProcessesIn(const std::string& path) {
  std::vector<pid_t> found;
  char real[PATH_MAX];
  // The kernel shows working folders without symbolic links.
  const std::string dir = realpath(path.c_str(), real) != nullptr ? real : path;
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return found;
  while (dirent* e = readdir(proc)) {
    const pid_t pid = static_cast<pid_t>(std::atoi(e->d_name));
    if (pid <= 0) continue;
    char cwd[4096];
    const std::string link = std::string("/proc/") + e->d_name + "/cwd";
    const ssize_t n = readlink(link.c_str(), cwd, sizeof(cwd) - 1);
    if (n > 0 && std::string(cwd, static_cast<size_t>(n)) == dir) found.push_back(pid);
  }
  closedir(proc);
  return found;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// Variables that would change what a case tests are taken out of the inherited environment.
bool Inherited(const std::string& item) {
  static const char* const kDropped[] = {"OXSIM_", "BENCHMARK_", "LD_LIBRARY_PATH="};
  for (const char* prefix : kDropped)
    if (item.compare(0, strlen(prefix), prefix) == 0) return false;
  return true;
}

// Runs argv in its own process group with stdout and stderr in files of `dir`; a run past the
// time limit is killed with its whole group, so a hung child never outlives the driver. With
// `watch_hang`, standard error comes through a pipe read as it arrives, so that the moment of
// the hang notice is known, and processes left alive after the run are counted.
Outcome Run(const Words& argv, const Env& env, const std::string& dir, bool watch_hang = false) {
  std::vector<std::string> env_items;
  for (char** e = environ; *e; ++e)
    if (Inherited(*e)) env_items.push_back(*e);
  for (const auto& [name, value] : env) env_items.push_back(name + "=" + value);
  std::vector<char*> cargv, cenv;
  for (const std::string& w : argv) cargv.push_back(const_cast<char*>(w.c_str()));
  cargv.push_back(nullptr);
  for (const std::string& e : env_items) cenv.push_back(const_cast<char*>(e.c_str()));
  cenv.push_back(nullptr);
  const std::string out_path = dir + "/stdout", err_path = dir + "/stderr";
  int err_pipe[2] = {-1, -1};
  if (watch_hang && pipe(err_pipe) != 0) err_pipe[0] = err_pipe[1] = -1;
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    setpgid(0, 0);
    if (chdir(dir.c_str()) != 0) _exit(126);
    const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int in = open("/dev/null", O_RDONLY);
    if (out < 0 || err < 0 || in < 0) _exit(126);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err_pipe[1] >= 0 ? err_pipe[1] : err, 2);
    if (err_pipe[0] >= 0) {
      close(err_pipe[0]);
      close(err_pipe[1]);
    }
    execve(cargv[0], cargv.data(), cenv.data());
    dprintf(2, "cannot run %s: %s\n", cargv[0], strerror(errno));
    _exit(127);
  }
  Outcome o;
  if (pid < 0) {
    o.err = std::string("fork failed: ") + strerror(errno);
    return o;
  }
  setpgid(pid, pid);
  std::string piped;
  if (err_pipe[0] >= 0) {
    close(err_pipe[1]);
    fcntl(err_pipe[0], F_SETFL, O_NONBLOCK);
  }
  auto drain = [&] {
    if (err_pipe[0] < 0) return;
    char buf[4096];
    for (ssize_t n; (n = read(err_pipe[0], buf, sizeof(buf))) > 0;) piped.append(buf, n);
    if (o.hang_at < 0 && piped.find(kHangNotice) != std::string::npos)
      o.hang_at = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  };
  int status = 0;
  for (;;) {
    drain();
    const pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) break;
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (elapsed > opt.timeout) {
      o.timed_out = true;
      kill(-pid, SIGKILL);
      waitpid(pid, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  o.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (watch_hang && !o.timed_out) {
    // A launcher may take a moment to reap what it started; anything alive after that was
    // left behind.
    for (int i = 0; i < 40 && !ProcessesIn(dir).empty(); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const std::vector<pid_t> left = ProcessesIn(dir);
    o.leftovers = static_cast<int>(left.size());
    for (pid_t p : left) kill(p, SIGKILL);
  }
  // Whatever the child left in its group (queue threads live in-process, but mpirun's children
  // do not) goes too.
  kill(-pid, SIGKILL);
  drain();
  if (err_pipe[0] >= 0) {
    close(err_pipe[0]);
    std::ofstream(err_path, std::ios::binary) << piped;
  }
  if (!o.timed_out && WIFEXITED(status)) o.status = WEXITSTATUS(status);
  if (!o.timed_out && WIFSIGNALED(status)) o.signal = WTERMSIG(status);
  o.out = ReadFile(out_path);
  o.err = ReadFile(err_path);
  return o;
}

// What a case must end with.
struct Expect {
  std::set<int> statuses{1};
  std::vector<std::string> all_of;                // each must appear (stdout or stderr)
  std::vector<std::vector<std::string>> any_of;  // from each list, one must appear
  std::vector<std::string> none_of;
  bool check_csv = false;     // -p was given: the CSV must hold every printed row
  bool every_row_errors = false;  // every row's error columns are nonzero
  bool verdict_before_failure = false;  // the failing call comes after the verdict line
  double max_after_hang = 0;  // > 0: a hang must fire, and the run end this soon after it
  bool status_from_processes = false;  // the launcher's status says nothing; lines do
};

std::string StrSeconds(double s) {
  char text[32];
  std::snprintf(text, sizeof(text), "%.2f s", s);
  return text;
}

struct Case {
  std::string name;
  Words argv;
  Env env;
  Expect expect;
  int repeat = 0;  // runs of the case; 0 takes --repeat
};

bool Has(const Outcome& o, const std::string& text) {
  return o.out.find(text) != std::string::npos || o.err.find(text) != std::string::npos;
}

Words Split(const std::string& text, char sep = ' ') {
  Words words;
  std::stringstream ss(text);
  std::string w;
  while (std::getline(ss, w, sep))
    if (!w.empty()) words.push_back(w);
  return words;
}

// Result rows of the table: lines that start with blanks and two numbers.
std::vector<std::string> TableRows(const std::string& out) {
  std::vector<std::string> rows;
  for (std::string line : Split(out, '\n')) {
    // A message printed while a row was open ends up on the row's line.
    line = line.substr(0, line.find('['));
    Words w = Split(line);
    if (line.size() > 1 && line[0] == ' ' && w.size() > 2 &&
        w[0].find_first_not_of("0123456789") == std::string::npos &&
        w[1].find_first_not_of("0123456789") == std::string::npos)
      rows.push_back(line);
  }
  return rows;
}

std::string Join(const Words& w, const char* sep = " ") {
  std::string s;
  for (const std::string& x : w) s += (s.empty() ? "" : sep) + x;
  return s;
}

// Returns an empty string when the outcome is what the case expects, else why not.
std::string Judge(const Case& c, const Outcome& o, const std::string& dir) {
  if (o.timed_out) return "no exit within " + std::to_string(opt.timeout) + " s (hang)";
  if (o.leftovers > 0) return std::to_string(o.leftovers) + " processes left behind";
  if (c.expect.max_after_hang > 0) {
    if (o.hang_at < 0) return "the hang fault never fired";
    if (o.seconds - o.hang_at > c.expect.max_after_hang)
      return StrSeconds(o.seconds - o.hang_at) + " from the hang to the end, more than " +
             StrSeconds(c.expect.max_after_hang);
  }
  if (o.signal) return "killed by signal " + std::to_string(o.signal) + " (" + strsignal(o.signal) + ")";
  if (!c.expect.statuses.count(o.status)) return "exit status " + std::to_string(o.status);
  // Sanitizer reports, glibc's heap checks (their message comes before the SIGABRT, and may be
  // all that is left when a handler turns the signal into an exit) and MPI's signal report.
  static const char* const kReports[] = {
      "AddressSanitizer", "LeakSanitizer", "ThreadSanitizer", "runtime error:",
      "terminate called", "Segmentation", "free(): ", "malloc(): ", "realloc(): ",
      "double free or corruption", "corrupted size vs. prev_size", "corrupted double-linked list",
      "munmap_chunk(): ", "malloc_consolidate(): ", "stack smashing detected",
      "Process received signal"};
  for (const char* r : kReports)
    if (Has(o, r)) return std::string("report '") + r + "' in the output";
  const bool passed = Has(o, "# All Result Check: PASSED");
  if ((o.status != 0 || c.expect.status_from_processes) && passed &&
      !c.expect.verdict_before_failure)
    return "PASSED printed by a failed run";
  if (o.status == 0 && !c.expect.status_from_processes &&
      (!passed || Has(o, "# All Result Check: FAILED")))
    return "status 0 without a PASSED verdict";
  for (const std::string& t : c.expect.all_of)
    if (!Has(o, t)) return "no '" + t + "'";
  for (const auto& list : c.expect.any_of) {
    bool found = false;
    for (const std::string& t : list) found = found || Has(o, t);
    if (!found) return "none of '" + Join(list, "', '") + "'";
  }
  for (const std::string& t : c.expect.none_of)
    if (Has(o, t)) return "unexpected '" + t + "'";
  const std::vector<std::string> rows = TableRows(o.out);
  if (c.expect.every_row_errors) {
    if (rows.empty()) return "no result rows";
    for (const std::string& row : rows) {
      // Error columns are the integer fields after the bandwidths: the 4th field of each mode
      // block. A healthy row holds "0" there; a caught fault holds a count.
      Words w = Split(row);
      int zeros = 0, counts = 0;
      for (size_t i = 2; i < w.size(); ++i) {
        if (w[i].find_first_not_of("0123456789") != std::string::npos) continue;
        if (w[i] == "0") ++zeros; else ++counts;
      }
      if (zeros > 0 || counts == 0) return "row without mismatches: " + row;
    }
  }
  if (c.expect.check_csv) {
    // Every row printed before the run ended must be in the CSV file, in order.
    const std::vector<std::string> lines = Split(ReadFile(dir + "/output.csv"), '\n');
    std::vector<std::string> csv_rows;
    for (const std::string& l : lines)
      if (!l.empty() && l[0] >= '0' && l[0] <= '9') csv_rows.push_back(l);
    // The file is written before the screen, so a run that ended mid-row may hold a little
    // more than the screen shows, never less.
    if (csv_rows.size() < rows.size() || csv_rows.size() > rows.size() + 1)
      return std::to_string(rows.size()) + " rows printed, " + std::to_string(csv_rows.size()) +
             " in the CSV file";
    for (size_t i = 0; i < rows.size(); ++i) {
      std::string row = csv_rows[i], shown = Join(Split(rows[i]), ",");
      while (!row.empty() && row.back() == ',') row.pop_back();
      if (row.compare(0, shown.size(), shown) != 0) return "CSV row differs: " + csv_rows[i];
    }
  }
  return "";
}

std::string Tail(const std::string& text, size_t n = 1500) {
  return text.size() <= n ? text : "..." + text.substr(text.size() - n);
}

std::string CaseDir(const std::string& name) {
  std::string safe;
  for (char ch : name) safe += (isalnum(static_cast<unsigned char>(ch)) || ch == '-') ? ch : '_';
  const std::string dir = opt.work + "/" + safe;
  (void)!system(("rm -rf '" + dir + "' && mkdir -p '" + dir + "'").c_str());
  return dir;
}

// Replaces @DIR@ in words and values with the case's own directory.
std::string Place(std::string s, const std::string& dir) {
  for (size_t at; (at = s.find("@DIR@")) != std::string::npos;) s.replace(at, 5, dir);
  return s;
}

std::mutex print_mutex;
int tried = 0, behaved = 0;

// Runs one case (--repeat times, unless `once`) and prints its line; true when it behaved.
bool RunNow(const Case& c, bool once = false) {
  const int repeat = once ? 1 : c.repeat > 0 ? c.repeat : opt.repeat;
  for (const std::string& text : Split(opt.skip, ','))
    if (c.name.find(text) != std::string::npos) return true;
  const std::string dir = CaseDir(c.name);
  Words argv;
  for (const std::string& w : c.argv) argv.push_back(Place(w, dir));
  Env env;
  for (const auto& [k, v] : c.env) env.push_back({k, Place(v, dir)});
  Outcome o;
  std::string why;
  int runs = 0;
  // A case behaves only when every repeat does; the first that does not is shown.
  while (runs < repeat && why.empty()) {
    ++runs;
    o = Run(argv, env, dir, c.expect.max_after_hang > 0);
    why = Judge(c, o, dir);
  }
  if (!why.empty() && repeat > 1) {
    why += " (run " + std::to_string(runs) + " of " + std::to_string(repeat) + ")";
  }
  std::string shown_env;
  for (const auto& [k, v] : env) shown_env += k + "=" + v + " ";
  std::lock_guard<std::mutex> lock(print_mutex);
  ++tried;
  if (why.empty()) {
    ++behaved;
    if (repeat > 1) {
      std::printf("ok   %-60s status %d, %d runs\n", c.name.c_str(), o.status, runs);
    } else {
      std::printf("ok   %-60s status %d, %.2f s", c.name.c_str(), o.status, o.seconds);
      if (o.hang_at >= 0) std::printf(", hang to exit %.2f s", o.seconds - o.hang_at);
      std::printf("\n");
    }
    (void)!system(("rm -rf '" + dir + "'").c_str());
    return true;
  }
  std::printf("FAIL %s: %s\n  %s%s\n--- stdout:\n%s\n--- stderr:\n%s\n", c.name.c_str(),
              why.c_str(), shown_env.c_str(), Join(argv).c_str(), Tail(o.out).c_str(),
              Tail(o.err).c_str());
  return false;
}

// Cases wait here and run a few at a time: most of a run's time is spent waiting for the MPI
// start-up, not on a core.
std::vector<Case> pending;

void Try(const Case& c) { pending.push_back(c); }

void RunPending() {
  std::atomic<size_t> next{0};
  std::vector<std::thread> runners;
  for (int j = 0; j < opt.jobs; ++j)
    runners.emplace_back([&] {
      for (size_t i; (i = next.fetch_add(1)) < pending.size();) RunNow(pending[i]);
    });
  for (std::thread& t : runners) t.join();
  pending.clear();
}

std::string Program(const std::string& suffix) { return opt.bin + "/bench-" + suffix; }

// ---------------------------------------------------------------------------------------------
// Faults of entry points.

// Entry points whose failures the programs do not examine: the device count and the card name.
// A run may pass through them.
bool MayBeIgnored(const std::string& ep) {
  return ep == "oxrtGetDeviceCount" || ep == "oxdevGetCardNameStringByDevId";
}

// The messages a failure of each library's calls is reported with.
std::vector<std::string> FamilyMessages(const std::string& ep) {
  if (ep.rfind("oxrt", 0) == 0) return {"error msg: oxrtError"};
  if (ep.rfind("oxdev", 0) == 0) return {"OXDEV error, msg: ", "oxdevCheckErrors("};
  if (ep.rfind("oxcl", 0) == 0) return {"OXCL error, msg: internal error", "error msg: internal error"};
  if (ep.rfind("OX_MPI_", 0) == 0) return {"MPI error: " + ep + " returned"};
  if (ep.rfind("ox", 0) == 0) return {"OXAPI error, msg: "};
  return {"error"};
}

std::map<std::string, uint64_t> CallCounts(const std::string& path) {
  std::map<std::string, uint64_t> counts;
  std::ifstream in(path);
  std::string name;
  uint64_t n = 0;
  while (in >> name >> n) counts[name] += n;
  return counts;
}

struct Layout {
  std::string name;
  std::string args;
  Env env;
};

const char* const kFaultArgs = "-n 1K -x 4K -m 2 -d 1 -l 2 -w 1 -u @DIR@/ -p @DIR@/";

void FaultGroup(const std::string& suffix) {
  std::vector<Layout> layouts = {
      {"s1", "-s 1", {}},
      {"s2", "-s 2", {}},
      {"s2-async-hwtime", "-s 2 -y 1", {{"BENCHMARK_TEST_HW_TIME_ENABLE", "1"}}},
      {"s1-c2-async", "-s 1 -c 2 -y 1", {}},
  };
  if (suffix == "alltoall") {
    layouts.push_back({"s2-api-alltoall", "-s 2", {{"BENCHMARK_ALLTOALL_API", "alltoall"}}});
    layouts.push_back({"s2-api-group", "-s 2", {{"BENCHMARK_ALLTOALL_API", "group"}}});
  }
  for (const Layout& layout : layouts) {
    const std::string base = suffix + "/" + layout.name;
    Words argv = {Program(suffix)};
    for (const std::string& w : Split(layout.args + " " + kFaultArgs)) argv.push_back(w);
    // A healthy run first: it must pass, and its call log says which calls there are to fail.
    Case healthy{base + "/healthy", argv, layout.env, {}};
    healthy.expect.statuses = {0};
    healthy.expect.check_csv = true;
    const std::string log = opt.work + "/" + suffix + "-" + layout.name + ".calls";
    std::remove(log.c_str());
    healthy.env.push_back({"OXSIM_CALL_LOG", log});
    // Once: its call log must count the calls of one run.
    if (!RunNow(healthy, true)) continue;
    for (const auto& [ep, count] : CallCounts(log)) {
      std::set<uint64_t> calls = {1, count};
      if (count > 2) calls.insert((count + 1) / 2);
      for (uint64_t n : calls) {
        Case c{base + "/" + ep + ":" + std::to_string(n), argv, layout.env, {}};
        c.env.push_back({"OXSIM_FAULT", ep + ":" + std::to_string(n)});
        c.expect.check_csv = true;
        // The communicators are destroyed after the verdict: a PASSED line may precede the
        // failure, which then shows in the message and the status.
        c.expect.verdict_before_failure = ep == "oxclDestroyComms" || ep == "OX_MPI_Finalize";
        if (MayBeIgnored(ep)) {
          c.expect.statuses = {0, 1};
        } else {
          c.expect.any_of.push_back(FamilyMessages(ep));
        }
        Try(c);
      }
    }
  }
}

// ---------------------------------------------------------------------------------------------
// The abort path: a run that fails while collectives may still be running on queue threads (its
// own or those of the other ranks) must end with status 1, and nothing may touch memory that was
// given back. Every call of a queue wait and of a collective fails in turn, in the two layouts
// whose failure exits differ: one thread with two communicators, and two threads.

bool WaitsOrCollective(const std::string& ep) {
  static const std::set<std::string> names = {
      "oxrtQueueSync", "oxrtWaitNotifier", "oxclAllReduce", "oxclReduceScatter", "oxclAllGather",
      "oxclAlltoAllv", "oxclAlltoAll", "oxclSend", "oxclRecv", "oxclGroupEnd"};
  return names.count(ep) != 0;
}

// Failing any call of one entry point in one layout ends the run through the same exit, with
// work of the other communicators or threads possibly in flight: the cases of such a path reach
// the same code, at different moments. With --path-runs N every case runs once at least and each
// path N times in all, its cases taking turns evenly; which of them get the runs left over
// changes with the seed, so that successive CI runs cover every case many times over.
void DealRuns(const std::map<std::string, std::vector<size_t>>& paths) {
  std::mt19937 rng(opt.seed);
  int runs = 0;
  for (const auto& [path, cases] : paths) {
    const int n = static_cast<int>(cases.size());
    const int each = std::max(1, opt.path_runs / n);
    const int extra = opt.path_runs > n ? opt.path_runs % n : 0;
    std::vector<size_t> order = cases;
    std::shuffle(order.begin(), order.end(), rng);
    for (int i = 0; i < n; ++i) pending[order[static_cast<size_t>(i)]].repeat = each + (i < extra ? 1 : 0);
    const int total = std::max(n, opt.path_runs);
    runs += total;
    std::printf("path %-40s %3d cases, %4d runs\n", path.c_str(), n, total);
  }
  std::printf("%d runs in all, seed %u (--seed %u deals them the same way again)\n", runs,
              opt.seed, opt.seed);
}

void AbortGroup(const std::string& suffix) {
  std::map<std::string, std::vector<size_t>> paths;  // path -> its cases in `pending`
  const std::vector<Layout> layouts = {
      {"s1-c2-async", "-s 1 -c 2 -y 1", {}},
      {"s2-async-hwtime", "-s 2 -y 1", {{"BENCHMARK_TEST_HW_TIME_ENABLE", "1"}}},
  };
  // Few calls per run, so that every one of them can be failed, many times over; a message
  // large enough (1 MiB of floats) that collectives are still running when a call fails, which
  // is when the failure exit can touch memory that they use.
  const char* const args = "-n 256K -x 256K -d 1 -l 1 -w 0 -p @DIR@/";
  for (const Layout& layout : layouts) {
    const std::string base = "abort/" + suffix + "/" + layout.name;
    Words argv = {Program(suffix)};
    for (const std::string& w : Split(layout.args + " " + args)) argv.push_back(w);
    Case healthy{base + "/healthy", argv, layout.env, {}};
    healthy.expect.statuses = {0};
    const std::string log = opt.work + "/abort-" + suffix + "-" + layout.name + ".calls";
    std::remove(log.c_str());
    healthy.env.push_back({"OXSIM_CALL_LOG", log});
    // Once: its call log must count the calls of one run.
    if (!RunNow(healthy, true)) continue;
    for (const auto& [ep, count] : CallCounts(log)) {
      if (!WaitsOrCollective(ep)) continue;
      for (uint64_t n = 1; n <= count; ++n) {
        Case c{base + "/" + ep + ":" + std::to_string(n), argv, layout.env, {}};
        c.env.push_back({"OXSIM_FAULT", ep + ":" + std::to_string(n)});
        c.expect.any_of.push_back(FamilyMessages(ep));
        c.expect.check_csv = true;
        paths[layout.name + "/" + ep].push_back(pending.size());
        Try(c);
      }
    }
  }
  if (opt.path_runs > 0) DealRuns(paths);
}

// ---------------------------------------------------------------------------------------------
// Corrupted data: every collective, type, operation and mode, on the first and the last rank.

struct Collective {
  std::string suffix, call;
  bool reduces;
  Env env;
};

const std::vector<Collective>& Collectives() {
  static const std::vector<Collective> all = {
      {"allreduce", "oxclAllReduce", true, {}},
      {"reducescatter", "oxclReduceScatter", true, {}},
      {"allgather", "oxclAllGather", false, {}},
      {"alltoall", "oxclAlltoAllv", false, {}},
      {"alltoall", "oxclAlltoAll", false, {{"BENCHMARK_ALLTOALL_API", "alltoall"}}},
      {"alltoall", "oxclRecv", false, {{"BENCHMARK_ALLTOALL_API", "group"}}},
  };
  return all;
}

void CorruptGroup() {
  for (const Collective& coll : Collectives()) {
    for (int threads : {1, 2, 3}) {
      // The first and the last rank; with three threads the last one only.
      std::set<int> ranks = {threads - 1};
      if (threads < 3) ranks.insert(0);
      for (int rank : ranks) {
        for (const char* index : {"0", "7"}) {
          Words argv = {Program(coll.suffix), "-s", std::to_string(threads), "-t", "all",
                        "-z", "all", "-d", "1", "-n", "1K", "-x", "2K", "-m", "2",
                        "-l", "1", "-w", "0", "-p", "@DIR@/"};
          if (coll.reduces) {
            argv.push_back("-r");
            argv.push_back("all");
          }
          Case c{"corrupt/" + coll.call + "/s" + std::to_string(threads) + "/rank" +
                     std::to_string(rank) + "/index" + index,
                 argv, coll.env, {}};
          c.env.push_back({"OXSIM_FAULT", "corrupt:" + coll.call + ":*:" + std::to_string(rank) +
                                              ":" + index});
          c.expect.all_of = {"# All Result Check: FAILED"};
          c.expect.every_row_errors = true;
          c.expect.check_csv = true;
          Try(c);
        }
      }
    }
  }
}

// ---------------------------------------------------------------------------------------------
// Bad command lines: status 1, the parser's message and the closing line, no device work.

void CliGroup() {
  const std::string closing = "Please check the input arguments or use -h/--help";
  struct Bad {
    std::string args;
    std::vector<std::string> texts;
  };
  const std::vector<Bad> bad = {
      {"-n abc", {"-n input is not supported"}},
      {"-n 0", {"Input count cannot less than or equal to 0"}},
      {"-x 1Q", {"-x input is not supported"}},
      {"-n 99999999999999999999999", {"-n input is not supported"}},
      {"-a -1", {"-a input is not supported"}},
      {"-e 1K,x", {"-e input is not supported"}},
      {"-e 1K,0", {"-e input is not supported"}},
      {"-t float,bogus", {"bogus is not supported yet", "-t input is not supported"}},
      {"-r sum,bogus", {"bogus is not supported yet", "-r input is not supported"}},
      {"-z sideways", {"sideways is not supported yet", "-z input is not supported"}},
      {"-l x", {"Please check the -l/--loop input"}},
      {"-l 18446744073709551616", {"Please check the -l/--loop input"}},
      {"-w -3", {"Please check the -w/--warmup_loop input"}},
      {"-o 1.5", {"Please check the -o/--root input"}},
      {"-s 0", {"-s/--threads should bigger than 0"}},
      {"-s 4294967296", {"Please check the -s/--threads input"}},
      {"-c 0 -y 1", {"-c/--comms should bigger than 0"}},
      {"-c 2", {"Input --comms should equal to 1 when not use --async"}},
      {"-m 0", {"-m/--multifactor should bigger than 0"}},
      {"-b 2", {"Please check the -b/--block input"}},
      {"-d yes", {"Please check the -d/--datacheck input"}},
      {"-y 3", {"Please check the -y/--async input"}},
      {"-f 2", {"Please check the -f/--offset input"}},
      {"-vv", {"Should be only -v, please check the input in -v"}},
      {"stray", {"At least one non-option argument exists", "Usage: benchmark"}},
      {"--bogus", {"Usage: benchmark"}},
      {"-n", {"Usage: benchmark"}},
      {"-- -n 1K", {"Usage: benchmark"}},
  };
  for (const std::string suffix : {"allreduce", "reducescatter", "allgather", "alltoall"}) {
    for (const Bad& b : bad) {
      // -p first, so that an option missing its value is the last word.
      Words argv = {Program(suffix), "-p", "@DIR@/"};
      for (const std::string& w : Split(b.args)) argv.push_back(w);
      Case c{"cli/" + suffix + "/" + b.args, argv, {}, {}};
      c.expect.all_of = b.texts;
      // A rejected command line never reaches a device, so it has no table and no CSV rows.
      c.expect.none_of = {"OXRT error", "OXCL error", "# All Result Check"};
      c.expect.check_csv = true;
      Try(c);
    }
  }
}

// ---------------------------------------------------------------------------------------------
// Output paths, libraries, simulator settings and limits.

void PathsGroup() {
  const std::string csv_msg = "Cannot open the result CSV file";
  for (const std::string suffix : {"allreduce", "reducescatter", "allgather", "alltoall"}) {
    const std::string p = Program(suffix);
    auto add = [&](const std::string& what, Words args, Env env, Expect e) {
      Words argv = {p};
      argv.insert(argv.end(), args.begin(), args.end());
      Try({"paths/" + suffix + "/" + what, argv, env, e});
    };
    Expect csv;
    csv.all_of = {csv_msg};
    // A missing folder is created; one that cannot be is refused.
    add("csv-uncreatable-dir", {"-n", "1K", "-x", "1K", "-p", "/proc/oxcl-no-dir/"}, {}, csv);
    add("csv-under-a-file", {"-n", "1K", "-x", "1K", "-p", "/etc/hostname/"}, {}, csv);
    Expect mem;
    mem.all_of = {"Cannot open the memory usage file"};
    add("memreport-uncreatable-dir", {"-n", "1K", "-x", "1K", "-u", "/proc/oxcl-no-dir/"}, {},
        mem);
    add("memreport-under-a-file", {"-n", "1K", "-x", "1K", "-u", "/etc/hostname/"}, {}, mem);
    // A collective library the loader cannot use: the loader's own message and status.
    Expect noload;
    noload.statuses = {127};
    noload.all_of = {"error while loading shared libraries"};
    add("library-unloadable", {"-n", "1K", "-x", "1K"}, {{"LD_LIBRARY_PATH", opt.lib}}, noload);
    if (!opt.legacy.empty()) {
      // A library without the optional entry points still runs what does not need them.
      Expect old_ok;
      old_ok.statuses = {0};
      add("library-legacy", {"-n", "1K", "-x", "1K", "-d", "1", "-s", "2"},
          {{"LD_LIBRARY_PATH", opt.legacy}}, old_ok);
      Expect old_mem;
      old_mem.all_of = {"oxcl version should largger or equal to v1.7.0"};
      add("library-legacy-memreport", {"-n", "1K", "-x", "1K", "-u", "@DIR@/"},
          {{"LD_LIBRARY_PATH", opt.legacy}}, old_mem);
    }
    Expect bad_fault;
    bad_fault.all_of = {"OXSIM_FAULT"};
    add("fault-malformed", {"-n", "1K", "-x", "1K"}, {{"OXSIM_FAULT", "oxrtMalloc:zero"}}, bad_fault);
    add("fault-unknown-call", {"-n", "1K", "-x", "1K"}, {{"OXSIM_FAULT", "oxNothing:1"}}, bad_fault);
    Expect bad_knob;
    bad_knob.all_of = {"OXSIM_DEVICE_MEMORY"};
    add("knob-malformed", {"-n", "1K", "-x", "1K"}, {{"OXSIM_DEVICE_MEMORY", "lots"}}, bad_knob);
    // Limits: each a clear message and status 1, quickly, whatever the host has.
    Expect full;
    full.all_of = {"OXRT error msg: oxrtErrorMemoryAllocation"};
    add("count-over-card", {"-n", "8G", "-x", "8G"}, {}, full);
    add("count-huge", {"-n", "16777216G", "-x", "16777216G"}, {}, full);
    add("count-over-small-card", {"-n", "1M", "-x", "1M", "-s", "2"},
        {{"OXSIM_DEVICE_MEMORY", "1M"}}, full);
    add("count-over-host", {"-n", "200G", "-x", "200G", "-s", "2", "-d", "1"},
        {{"OXSIM_DEVICE_MEMORY", "4096G"}}, full);
    Expect root;
    root.all_of = {"root is bigger than communicator number"};
    add("root-equal-ranks", {"-n", "1K", "-x", "1K", "-s", "2", "-o", "2"}, {}, root);
    add("root-huge", {"-n", "1K", "-x", "1K", "-o", "65535"}, {}, root);
    add("root-over-comms", {"-n", "1K", "-x", "1K", "-s", "1", "-c", "2", "-y", "1", "-o", "2"},
        {}, root);
    Expect threads;
    threads.any_of = {{"thread"}};
    add("threads-huge", {"-n", "1K", "-x", "1K", "-s", "100000"}, {}, threads);
    add("comms-huge", {"-n", "1K", "-x", "1K", "-c", "100000", "-y", "1"}, {}, threads);
  }
}

// ---------------------------------------------------------------------------------------------
// Two processes under mpirun: the same fault in both, or in one of them only.

void MpiGroup() {
  if (opt.mpirun.empty()) {
    std::printf("no mpirun given: group skipped\n");
    return;
  }
  struct Fault {
    std::string suffix, fault;
  };
  const std::vector<Fault> faults = {
      {"allreduce", "oxclAllReduce:1"},   {"allreduce", "oxclAllReduce:4"},
      {"allreduce", "oxclInitComms:1"},   {"allreduce", "oxclGetCliqueId:1"},
      {"allreduce", "oxrtMalloc:1"},      {"allreduce", "oxrtMemcpy:2"},
      {"allreduce", "OX_MPI_Bcast:1"},    {"allreduce", "OX_MPI_Allreduce:2"},
      {"allreduce", "OX_MPI_Allgather:1"}, {"allreduce", "OX_MPI_Barrier:3"},
      {"reducescatter", "oxclReduceScatter:2"},
      {"allgather", "oxclAllGather:2"},   {"alltoall", "oxclAlltoAllv:2"},
      {"alltoall", "oxclGetCommCount:1"},
  };
  const Words mpirun = {opt.mpirun, "--oversubscribe", "--bind-to", "none"};
  const Words args = {"-n", "1K", "-x", "4K", "-m", "2", "-d", "1", "-l", "2", "-w", "1",
                      "-s", "1", "-p", "@DIR@/"};
  for (const Fault& f : faults) {
    for (const std::string where : {"both", "proc0", "proc1"}) {
      // Only the first process makes a clique id.
      if (f.fault.rfind("oxclGetCliqueId", 0) == 0 && where == "proc1") continue;
      Words argv = mpirun;
      for (int proc = 0; proc < 2; ++proc) {
        if (proc == 1) argv.push_back(":");
        argv.insert(argv.end(), {"-np", "1"});
        if (where == "both" || where == "proc" + std::to_string(proc))
          argv.insert(argv.end(), {"-x", "OXSIM_FAULT=" + f.fault});
        argv.push_back(Program(f.suffix));
        argv.insert(argv.end(), args.begin(), args.end());
      }
      Case c{"mpi/" + f.suffix + "/" + f.fault + "/" + where, argv,
             {{"OMPI_ALLOW_RUN_AS_ROOT", "1"}, {"OMPI_ALLOW_RUN_AS_ROOT_CONFIRM", "1"}}, {}};
      // mpirun reports a failed process with its own nonzero status.
      c.expect.statuses = {1};
      c.expect.any_of.push_back(FamilyMessages(f.fault.substr(0, f.fault.find(':'))));
      c.expect.check_csv = true;
      Try(c);
    }
  }
  // Corrupted data in the second process is caught in the first one's verdict.
  for (const Collective& coll : Collectives()) {
    Words argv = mpirun;
    argv.insert(argv.end(), {"-np", "2", "-x", "OXSIM_FAULT=corrupt:" + coll.call + ":*:1:3"});
    for (const auto& [k, v] : coll.env) argv.insert(argv.end(), {"-x", k + "=" + v});
    argv.push_back(Program(coll.suffix));
    argv.insert(argv.end(), {"-t", "float,int8,float16", "-d", "1", "-n", "1K", "-x", "1K",
                             "-s", "1", "-p", "@DIR@/"});
    Case c{"mpi/corrupt/" + coll.call, argv,
           {{"OMPI_ALLOW_RUN_AS_ROOT", "1"}, {"OMPI_ALLOW_RUN_AS_ROOT_CONFIRM", "1"}}, {}};
    c.expect.all_of = {"# All Result Check: FAILED"};
    c.expect.every_row_errors = true;
    c.expect.check_csv = true;
    Try(c);
  }
}

// ---------------------------------------------------------------------------------------------
// Calls that never complete, in every phase of a run, in one process and under mpirun: the
// watchdog names the phase and the collective and ends every process with status 1, soon.

// The watchdog's limit, and how long after a hang every process must have ended.
constexpr const char* kHangTimeout = "2";
constexpr double kHangBound = 2 + 10;

void HangGroup() {
  struct Target {
    std::string suffix, call;
    Env env;
  };
  const std::vector<Target> programs = {
      {"allreduce", "oxclAllReduce", {}},
      {"reducescatter", "oxclReduceScatter", {}},
      {"allgather", "oxclAllGather", {}},
      {"alltoall", "oxclAlltoAllv", {}},
      {"alltoall", "oxclAlltoAll", {{"BENCHMARK_ALLTOALL_API", "alltoall"}}},
  };
  struct Hang {
    std::string layout, fault, phase;  // @CALL@ stands for the program's collective
  };
  // With two threads both make each call, and barriers keep them in the same phase: calls 1-2
  // warm up, 3-4 start the first step, 5-6 time it.
  const std::vector<Hang> hangs = {
      {"-s 1", "@CALL@:3", "in the timed loop of @CALL@ at "},
      {"-s 2", "@CALL@:1", "in the warm-up of @CALL@ at "},
      {"-s 2", "@CALL@:3", "in the warm-up call of a step of @CALL@ at "},
      {"-s 2 -y 1", "@CALL@:5", "in the timed loop (a queue sync) of @CALL@ at "},
      {"-s 1 -y 1", "oxrtQueueSync:3", "in the timed loop (a queue sync) of @CALL@ at "},
      {"-s 1 -c 2 -y 1 -d 1", "oxrtQueueSync:7", "in the data check (a queue sync) of @CALL@"},
      {"-s 2", "oxclInitComms:1", "in communicator set-up of @CALL@ before the first step"},
      {"-s 1", "oxrtMalloc:1", "in buffer set-up of @CALL@ before the first step"},
      {"-s 2 -d 1", "oxrtMemcpy:1", "in the data check of @CALL@ at "},
      {"-s 2 -d 1", "OX_MPI_Barrier:8", "(a barrier between processes) of @CALL@"},
  };
  auto place_call = [](std::string text, const std::string& call) {
    for (size_t at; (at = text.find("@CALL@")) != std::string::npos;) text.replace(at, 6, call);
    return text;
  };
  const std::string head = std::string("BENCHMARK_TIMEOUT_S=") + kHangTimeout +
                           ": no progress for " + kHangTimeout + " s ";
  for (const Target& p : programs) {
    for (const Hang& h : hangs) {
      // The plain all-to-all and the other collectives meet the phases the same way.
      if (p.call == "oxclAlltoAll" && h.fault.rfind("@CALL@", 0) != 0) continue;
      Words argv = {Program(p.suffix), "-n", "1K", "-x", "4K", "-m", "2", "-p", "@DIR@/"};
      for (const std::string& w : Split(h.layout)) argv.push_back(w);
      const std::string fault = place_call(h.fault, p.call);
      Case c{"hang/" + p.call + "/" + Join(Split(h.layout), "") + "/" + fault, argv, p.env, {}};
      c.env.push_back({"OXSIM_FAULT", "hang:" + fault});
      c.env.push_back({"BENCHMARK_TIMEOUT_S", kHangTimeout});
      c.expect.all_of = {head, place_call(h.phase, p.call), "ranks not finished: "};
      c.expect.check_csv = true;
      c.expect.max_after_hang = kHangBound;
      Try(c);
    }
  }
  // Grouped send and receive, and an abort that hangs too: the process ends all the same.
  Case group{"hang/group/s2/oxclGroupEnd:5",
             {Program("alltoall"), "-n", "1K", "-x", "4K", "-m", "2", "-s", "2"},
             {{"BENCHMARK_ALLTOALL_API", "group"},
              {"OXSIM_FAULT", "hang:oxclGroupEnd:5"},
              {"BENCHMARK_TIMEOUT_S", kHangTimeout}},
             {}};
  group.expect.all_of = {head + "in the timed loop of grouped oxclSend/oxclRecv"};
  group.expect.max_after_hang = kHangBound;
  Try(group);
  Case abort_hangs{"hang/abort-hangs/s2/oxclAllReduce:5",
                   {Program("allreduce"), "-n", "1K", "-x", "4K", "-m", "2", "-s", "2"},
                   {{"OXSIM_FAULT", "hang:oxclAllReduce:5,hang:oxclAbortComm:1"},
                    {"BENCHMARK_TIMEOUT_S", kHangTimeout}},
                   {}};
  abort_hangs.expect.all_of = {head + "in the timed loop of oxclAllReduce",
                               "oxclAbortComm did not return within 5 s"};
  abort_hangs.expect.max_after_hang = kHangBound;
  Try(abort_hangs);

  if (opt.mpirun.empty()) {
    std::printf("no mpirun given: the cases of several processes are skipped\n");
    return;
  }
  // Each process must end by itself: mpirun is told not to end the others when one fails, and
  // every process reports its own exit status.
  const Words mpirun = {opt.mpirun, "--oversubscribe", "--bind-to", "none", "--mca", "btl",
                        "self,vader", "--mca", "orte_abort_on_non_zero_status", "0", "--mca",
                        "orte_allowed_exit_without_sync", "1"};
  const Words report = {"/bin/sh", "-c",
                        "\"$0\" \"$@\"; s=$?; echo \"process $OMPI_COMM_WORLD_RANK exit status: "
                        "$s\" >&2; exit $s"};
  struct Remote {
    std::string suffix, layout, fault, where, phase;
  };
  const std::vector<Remote> remote = {
      {"allreduce", "-s 1", "oxclAllReduce:3", "proc1", "in the timed loop of oxclAllReduce"},
      {"allreduce", "-s 2 -y 1", "oxrtQueueSync:5", "proc0", "(a queue sync) of oxclAllReduce"},
      {"allgather", "-s 2", "oxclInitComms:1", "proc1", "in communicator set-up of oxclAllGather"},
      {"alltoall", "-s 1 -d 1", "oxclAlltoAllv:4", "both", "in the data check of oxclAlltoAllv"},
  };
  for (const Remote& r : remote) {
    Words argv = mpirun;
    for (int proc = 0; proc < 2; ++proc) {
      if (proc == 1) argv.push_back(":");
      argv.insert(argv.end(), {"-np", "1", "-x", std::string("BENCHMARK_TIMEOUT_S=") + kHangTimeout});
      if (r.where == "both" || r.where == "proc" + std::to_string(proc))
        argv.insert(argv.end(), {"-x", "OXSIM_FAULT=hang:" + r.fault});
      argv.insert(argv.end(), report.begin(), report.end());
      argv.push_back(Program(r.suffix));
      for (const std::string& w : Split("-n 1K -x 4K -m 2 -p @DIR@/ " + r.layout)) argv.push_back(w);
    }
    Case c{"hang/mpi/" + r.suffix + "/" + Join(Split(r.layout), "") + "/" + r.fault + "/" + r.where,
           argv, {{"OMPI_ALLOW_RUN_AS_ROOT", "1"}, {"OMPI_ALLOW_RUN_AS_ROOT_CONFIRM", "1"}}, {}};
    c.expect.all_of = {head, r.phase, "process 0 exit status: 1", "process 1 exit status: 1"};
    // Told to let each process end by itself, mpirun may report success; the processes say.
    c.expect.statuses = {0, 1};
    c.expect.status_from_processes = true;
    c.expect.check_csv = true;
    c.expect.max_after_hang = kHangBound;
    Try(c);
  }
}

int Usage() {
  std::fprintf(stderr,
               "usage: fail_matrix faults-<program>|abort-<program>|corrupt|cli|paths|mpi|hang "
               "--bin DIR --lib DIR [--legacy DIR] [--mpirun PATH] [--work DIR] [--timeout S] "
               "[--jobs N] [--repeat R] [--path-runs N [--seed S]] [--skip TEXT,...]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage();
  opt.group = argv[1];
  for (int i = 2; i + 1 < argc; i += 2) {
    const std::string k = argv[i], v = argv[i + 1];
    if (k == "--bin") opt.bin = v;
    else if (k == "--lib") opt.lib = v;
    else if (k == "--legacy") opt.legacy = v;
    else if (k == "--mpirun") opt.mpirun = v;
    else if (k == "--work") opt.work = v;
    else if (k == "--timeout") opt.timeout = std::atoi(v.c_str());
    else if (k == "--skip") opt.skip = v;
    else if (k == "--jobs") opt.jobs = std::atoi(v.c_str());
    else if (k == "--repeat") opt.repeat = std::atoi(v.c_str());
    else if (k == "--path-runs") opt.path_runs = std::atoi(v.c_str());
    else if (k == "--seed") {
      opt.seed = static_cast<unsigned>(std::strtoul(v.c_str(), nullptr, 10));
      opt.seed_given = true;
    }
    else return Usage();
  }
  if (opt.bin.empty() || opt.timeout <= 0 || opt.jobs <= 0 || opt.repeat <= 0 ||
      opt.path_runs < 0)
    return Usage();
  if (!opt.seed_given) opt.seed = std::random_device{}();
  mkdir(opt.work.c_str(), 0755);
  setvbuf(stdout, nullptr, _IOLBF, 0);
  if (opt.group.rfind("faults-", 0) == 0) FaultGroup(opt.group.substr(7));
  else if (opt.group.rfind("abort-", 0) == 0) {
    // One run at a time: the races of this path show under the timing of a quiet process.
    opt.jobs = 1;
    AbortGroup(opt.group.substr(6));
  }
  else if (opt.group == "corrupt") CorruptGroup();
  else if (opt.group == "cli") CliGroup();
  else if (opt.group == "paths") PathsGroup();
  else if (opt.group == "mpi") MpiGroup();
  else if (opt.group == "hang") HangGroup();
  else return Usage();
  RunPending();
  std::printf("%s: %d paths tried, %d behaved\n", opt.group.c_str(), tried, behaved);
  return tried > 0 && tried == behaved ? 0 : 1;
}
