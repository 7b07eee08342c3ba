// Warnings about settings that make a run mean less than it seems, logged before it starts.
#ifndef OXCL_BENCHMARK_RUN_WARNINGS_H_
#define OXCL_BENCHMARK_RUN_WARNINGS_H_

namespace oxcl_benchmark {

class Context;

// After communicator set-up: process 0 warns about the command line (-l 0, -n above -x, -d 0);
// every process warns when its ranks share cards with other ranks of its host.
void LogRunWarnings(const Context& ctx);

// With BENCHMARK_CHECK_EXACT=1 and the data check on, process 0 says on one Info line which
// rows of a reducing collective still use the tolerance (their result is not exact).
void LogCheckExactness(const Context& ctx, bool reduces);

}  // namespace oxcl_benchmark

#endif  // OXCL_BENCHMARK_RUN_WARNINGS_H_
