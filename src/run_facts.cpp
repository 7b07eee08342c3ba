#include "run_facts.h"

#include <dirent.h>
#include <link.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

extern char** environ;

namespace oxcl_benchmark {

namespace {

bool StartsWithAny(const std::string& text, const std::vector<std::string>& prefixes) {
  for (const std::string& p : prefixes) {
    if (text.compare(0, p.size(), p) == 0) return true;
  }
  return false;
}

std::string ReadFile(const char* path) {
  std::ifstream in(path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

constexpr const char* kNodeDir = "/sys/devices/system/node";

// The node numbers of the kernel's NUMA node folders ("node0", "node1", ...).
std::vector<int> NumaNodes() {
  std::vector<int> nodes;
  DIR* dir = opendir(kNodeDir);
  if (dir == nullptr) return nodes;
  while (const dirent* e = readdir(dir)) {
    const char* name = e->d_name;
    if (std::strncmp(name, "node", 4) != 0 || !std::isdigit(static_cast<unsigned char>(name[4])))
      continue;
    char* end = nullptr;
    const long n = std::strtol(name + 4, &end, 10);
    if (*end == '\0' && n >= 0 && n < INT_MAX) nodes.push_back(static_cast<int>(n));
  }
  closedir(dir);
  std::sort(nodes.begin(), nodes.end());
  return nodes;
}

}  // namespace

std::string SourceRevision() {
#ifdef OX_SOURCE_REVISION
  return OX_SOURCE_REVISION;
#else
  return "";
#endif
}

std::string BuildType() {
#ifdef OX_BUILD_TYPE
  return OX_BUILD_TYPE;
#else
  return "";
#endif
}

std::string CpuModelFrom(const std::string& cpuinfo) {
  std::istringstream in(cpuinfo);
  std::string line;
  while (std::getline(in, line)) {
    const size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    std::string key = line.substr(0, colon);
    key.erase(key.find_last_not_of(" \t") + 1);
    if (key != "model name") continue;
    const size_t start = line.find_first_not_of(" \t", colon + 1);
    return start == std::string::npos ? "" : line.substr(start);
  }
  return "";
}

std::vector<int> ParseCpuList(const std::string& text) {
  std::vector<int> cpus;
  std::string list = text;
  list.erase(list.find_last_not_of(" \n") + 1);
  if (list.empty()) return cpus;
  std::istringstream in(list);
  std::string item;
  while (std::getline(in, item, ',')) {
    char* end = nullptr;
    const long first = std::strtol(item.c_str(), &end, 10);
    long last = first;
    if (end == item.c_str() || first < 0) return {};
    if (*end == '-') {
      const char* from = end + 1;
      last = std::strtol(from, &end, 10);
      if (end == from || last < first) return {};
    }
    // A real list is a few thousand processors at most: refuse what cannot be one.
    if (*end != '\0' || last >= 1 << 20) return {};
    for (long c = first; c <= last; ++c) cpus.push_back(static_cast<int>(c));
  }
  return cpus;
}

std::string HostCpuModel() { return CpuModelFrom(ReadFile("/proc/cpuinfo")); }

int64_t HostCpuCount() {
  const long n = sysconf(_SC_NPROCESSORS_ONLN);
  return n > 0 ? n : 0;
}

int64_t UsableCpuCount() {
  cpu_set_t allowed;
  CPU_ZERO(&allowed);
  if (sched_getaffinity(0, sizeof(allowed), &allowed) == 0 && CPU_COUNT(&allowed) > 0)
    return CPU_COUNT(&allowed);
  return std::max<int64_t>(HostCpuCount(), 1);
}

int64_t HostNumaNodeCount() { return static_cast<int64_t>(NumaNodes().size()); }

int64_t ProcessNumaNode() {
  cpu_set_t allowed;
  CPU_ZERO(&allowed);
  if (sched_getaffinity(0, sizeof(allowed), &allowed) != 0) return -1;
  int64_t found = -1;
  for (int node : NumaNodes()) {
    const std::string path = std::string(kNodeDir) + "/node" + std::to_string(node) + "/cpulist";
    bool holds_some = false;
    for (int cpu : ParseCpuList(ReadFile(path.c_str()))) {
      if (cpu < CPU_SETSIZE && CPU_ISSET(cpu, &allowed)) holds_some = true;
    }
    if (!holds_some) continue;
    if (found >= 0) return -1;  // the process may run on processors of several nodes
    found = node;
  }
  return found;
}

NamedValues LoadedLibraries(const std::vector<std::string>& prefixes) {
  struct Search {
    const std::vector<std::string>* prefixes;
    NamedValues found;
  } search{&prefixes, {}};
  dl_iterate_phdr(
      [](dl_phdr_info* info, size_t, void* data) {
        auto* s = static_cast<Search*>(data);
        if (info->dlpi_name == nullptr || info->dlpi_name[0] == '\0') return 0;
        const std::string path = info->dlpi_name;
        const std::string name = path.substr(path.rfind('/') + 1);
        if (!StartsWithAny(name, *s->prefixes)) return 0;
        char* resolved = realpath(path.c_str(), nullptr);
        s->found.emplace_back(name, resolved != nullptr ? resolved : path);
        std::free(resolved);
        return 0;
      },
      &search);
  return search.found;
}

NamedValues EnvironmentWith(const std::vector<std::string>& prefixes) {
  NamedValues found;
  for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
    const std::string entry = *e;
    const size_t eq = entry.find('=');
    if (eq == std::string::npos || !StartsWithAny(entry, prefixes)) continue;
    found.emplace_back(entry.substr(0, eq), entry.substr(eq + 1));
  }
  std::sort(found.begin(), found.end());
  return found;
}

}  // namespace oxcl_benchmark
