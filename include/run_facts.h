// What a run record says about where it ran: the build, the host's processors and NUMA nodes,
// the libraries actually loaded and the settings taken from the environment.
#ifndef OXCL_BENCHMARK_RUN_FACTS_H_
#define OXCL_BENCHMARK_RUN_FACTS_H_

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace oxcl_benchmark {

using NamedValues = std::vector<std::pair<std::string, std::string>>;

// The source revision and build type the programs were built from; "" when unknown.
std::string SourceRevision();
std::string BuildType();
// The "model name" of the first processor in /proc/cpuinfo text; "" when it has none.
std::string CpuModelFrom(const std::string& cpuinfo);
// The processors of a kernel CPU list ("0-3,8,10-11"); empty for text that is not one.
std::vector<int> ParseCpuList(const std::string& text);
// This host: its processor model, online processors, NUMA nodes (0 when the kernel does not
// say), and the NUMA node that holds every processor this process may run on (-1 when they
// span several nodes or the kernel does not say).
std::string HostCpuModel();
int64_t HostCpuCount();
int64_t HostNumaNodeCount();
int64_t ProcessNumaNode();
// The processors this process may run on (its affinity mask), at least 1.
int64_t UsableCpuCount();
// The resolved path of each loaded shared library whose file name starts with one of
// `prefixes`, by that name, in load order.
NamedValues LoadedLibraries(const std::vector<std::string>& prefixes);
// Every environment variable whose name starts with one of `prefixes`, sorted by name.
NamedValues EnvironmentWith(const std::vector<std::string>& prefixes);

}  // namespace oxcl_benchmark

#endif  // OXCL_BENCHMARK_RUN_FACTS_H_
