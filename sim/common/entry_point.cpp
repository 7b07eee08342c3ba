// Entry points: per-process call counts, injected failures and the call log written at exit.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <map>
#include <memory>
#include <mutex>

#include "fault_table.h"
#include "knobs.h"
#include "oxsim.h"

namespace oxsim {
namespace {

// The fault items of one entry point, in the order they were given, each with the index of
// its "fired" flag.
struct FaultGroup {
  std::string name;
  std::vector<FaultItem> items;
  std::vector<size_t> flags;
};

// A `corrupt:` item and its count of calls made by its rank.
struct CorruptRule {
  FaultItem item;
  mutable std::atomic<uint64_t> calls{0};  // counted through const iteration
  mutable std::atomic<bool> fired{false};
  mutable std::atomic<bool> rank_seen{false};  // its rank made a collective call here
};

struct Faults {
  std::vector<FaultGroup> groups;
  std::deque<CorruptRule> corrupt;  // deque: the atomics must not move
  mutable std::deque<std::atomic<bool>> fired;  // per failing or hanging item
  std::vector<std::pair<FaultItem, size_t>> given;  // those items in the given order
};

std::string StrFmt(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string StrFmt(const char* format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof(text), format, args);
  va_end(args);
  return text;
}

// The most ranks of any communicator that completed a collective in this process.
std::atomic<int> ranks_seen{0};

Faults* ReadFaults() {
  auto* faults = new Faults;
  const char* text = getenv("OXSIM_FAULT");
  if (!text) return faults;
  std::vector<FaultItem> items;
  std::string error;
  if (!ParseFaults(text, &items, &error)) Reject("OXSIM_FAULT: %s", error.c_str());
  for (const FaultItem& item : items) {
    if (item.corrupt) {
      faults->corrupt.emplace_back();
      faults->corrupt.back().item = item;
      continue;
    }
    auto group = std::find_if(faults->groups.begin(), faults->groups.end(),
                              [&](const FaultGroup& g) { return g.name == item.name; });
    if (group == faults->groups.end()) {
      faults->groups.push_back({item.name, {}, {}});
      group = faults->groups.end() - 1;
    }
    group->items.push_back(item);
    group->flags.push_back(faults->fired.size());
    faults->given.emplace_back(item, faults->fired.size());
    faults->fired.emplace_back(false);
  }
  return faults;
}

// Set once the faults are read: a bad OXSIM_FAULT exits while they are being read, and the
// exit handlers must not read them again then.
std::atomic<bool> faults_read{false};

// Never freed: queue threads may still call entry points while the process exits.
const Faults& GetFaults() {
  static const Faults* faults = ReadFaults();
  faults_read.store(true);
  return *faults;
}

// Every entry point object, and the counts of those already gone.
struct Registry {
  std::mutex mutex;
  std::vector<const EntryPoint*> live;
  std::map<std::string, uint64_t> retired;
};

Registry& GetRegistry() {
  static Registry* registry = new Registry;
  return *registry;
}

std::map<std::string, uint64_t> AllCounts() {
  Registry& r = GetRegistry();
  std::lock_guard<std::mutex> lock(r.mutex);
  std::map<std::string, uint64_t> counts = r.retired;
  for (const EntryPoint* ep : r.live) counts[ep->name()] += ep->calls();
  return counts;
}

// Appends "<name> <count>" for each entry point that was called; one write, so the lines of
// several processes sharing the file stay whole.
void WriteCallLog() {
  const char* path = getenv("OXSIM_CALL_LOG");
  if (!path || !*path) return;
  std::string text;
  for (const auto& [name, count] : AllCounts())
    if (count > 0) text += name + " " + std::to_string(count) + "\n";
  if (text.empty()) return;
  const int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    Complain("cannot open the call log %s", path);
    return;
  }
  if (write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
    Complain("cannot write the call log %s", path);
  close(fd);
}

std::string ItemText(const FaultItem& item) {
  const std::string nth = item.nth == 0 ? "*" : std::to_string(item.nth);
  if (item.corrupt) {
    return "corrupt:" + item.name + ":" + nth + ":" + std::to_string(item.rank) + ":" +
           std::to_string(item.index);
  }
  return (item.hang ? "hang:" : "") + item.name + ":" + nth;
}

// A run that injected nothing must not pass for one that survived its faults.
void WarnUnfired() {
  if (!faults_read.load()) return;
  for (const std::string& line : UnfiredFaults()) Complain("%s", line.c_str());
}

// Registered when the library loads, before any entry point object exists, so it runs after
// their destructors have moved their counts into the registry. A program that ends without
// static destructors (a failed run's quick exit) writes it too.
struct CallLogAtExit {
  CallLogAtExit() {
    (void)GetRegistry();
    atexit(WriteCallLog);
    at_quick_exit(WriteCallLog);
    atexit(WarnUnfired);
    at_quick_exit(WarnUnfired);
  }
} call_log_at_exit;

}  // namespace

void CheckEnvironment() {
  CheckKnobs();
  (void)GetFaults();
}

EntryPoint::EntryPoint(const char* name) : name_(name) {
  CheckEnvironment();
  // A name missing from the table could never be named in OXSIM_FAULT; say so at once.
  if (!IsKnownEntryPoint(name))
    Complain("entry point %s is missing from the fault table", name);
  const Faults& faults = GetFaults();
  for (size_t i = 0; i < faults.groups.size(); ++i)
    if (faults.groups[i].name == name) fault_index_ = static_cast<int>(i);
  Registry& r = GetRegistry();
  std::lock_guard<std::mutex> lock(r.mutex);
  r.live.push_back(this);
}

EntryPoint::~EntryPoint() {
  Registry& r = GetRegistry();
  std::lock_guard<std::mutex> lock(r.mutex);
  r.retired[name_] += calls();
  r.live.erase(std::remove(r.live.begin(), r.live.end(), this), r.live.end());
}

int EntryPoint::Enter(int default_code, int released_code, bool* deferred) {
  const uint64_t n = calls_.fetch_add(1, std::memory_order_relaxed) + 1;
  if (fault_index_ < 0) return 0;
  const Faults& faults = GetFaults();
  const FaultGroup& group = faults.groups[fault_index_];
  for (size_t k = 0; k < group.items.size(); ++k) {
    const FaultItem& item = group.items[k];
    const bool hit = item.hang ? (item.nth == 0 || item.nth == n) : item.nth == n;
    if (hit) faults.fired[group.flags[k]].store(true);
    if (item.hang && hit) {
      // Said once per hung call, so that a test (or a puzzled user) sees the fault fire.
      if (!HangsReleased())
        Complain("%s: call %llu hangs (OXSIM_FAULT) until a communicator of this process is "
                 "aborted", name_, static_cast<unsigned long long>(n));
      if (deferred) {
        *deferred = true;
        return 0;
      }
      AwaitRelease();
      return released_code;
    }
    if (!item.hang && item.nth == n) return item.has_code ? item.code : default_code;
  }
  return 0;
}

bool CorruptAfter(const char* collective, int rank, uint64_t* index, CorruptHow* how) {
  const Faults& faults = GetFaults();
  if (faults.corrupt.empty()) return false;
  bool hit = false;
  // Every matching rule counts the call, so rules for the same rank agree on the numbering.
  for (const CorruptRule& rule : faults.corrupt) {
    if (rule.item.rank != rank) continue;
    rule.rank_seen.store(true, std::memory_order_relaxed);
    if (rule.item.name != collective) continue;
    const uint64_t n = rule.calls.fetch_add(1) + 1;
    if (!hit && (rule.item.nth == 0 || rule.item.nth == n)) {
      hit = true;
      rule.fired.store(true);
      if (index) *index = rule.item.index;
      if (how) *how = rule.item.how;
    }
  }
  return hit;
}

std::vector<uint64_t> DropIndices(const char* collective, int rank) {
  std::vector<uint64_t> indices;
  for (const CorruptRule& rule : GetFaults().corrupt) {
    if (rule.item.rank == rank && rule.item.name == collective &&
        rule.item.how.kind == CorruptKind::kDrop) {
      indices.push_back(rule.item.index);
    }
  }
  return indices;
}

void NoteRankCount(int nranks) {
  int seen = ranks_seen.load(std::memory_order_relaxed);
  while (nranks > seen && !ranks_seen.compare_exchange_weak(seen, nranks)) {
  }
}

std::vector<std::string> UnfiredFaults() {
  const Faults& faults = GetFaults();
  std::vector<std::string> lines;
  for (const auto& [item, flag] : faults.given) {
    if (faults.fired[flag].load()) continue;
    lines.push_back(StrFmt("OXSIM_FAULT item %s never fired: %s was called %llu times in this "
                           "process", ItemText(item).c_str(), item.name.c_str(),
                           static_cast<unsigned long long>(CallCount(item.name))));
  }
  // A rank of another process is that process's to report; a rank that no communicator of
  // this process has (or no collective at all) is reported here.
  const int ranks = ranks_seen.load();
  for (const CorruptRule& rule : faults.corrupt) {
    if (rule.fired.load()) continue;
    const FaultItem& item = rule.item;
    if (rule.rank_seen.load()) {
      lines.push_back(StrFmt("OXSIM_FAULT item %s never fired: rank %d completed %llu %s "
                             "calls in this process", ItemText(item).c_str(), item.rank,
                             static_cast<unsigned long long>(rule.calls.load()),
                             item.name.c_str()));
    } else if (item.rank >= ranks) {
      lines.push_back(StrFmt("OXSIM_FAULT item %s never fired: %s", ItemText(item).c_str(),
                             ranks == 0 ? "no collective completed in this process"
                                        : StrFmt("the run has %d ranks", ranks).c_str()));
    }
  }
  return lines;
}

uint64_t CallCount(const std::string& name) {
  const auto counts = AllCounts();
  const auto it = counts.find(name);
  return it == counts.end() ? 0 : it->second;
}

}  // namespace oxsim
