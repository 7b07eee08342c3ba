#include "run_warnings.h"

#include <string>

#include "context.h"
#include "datatype.h"
#include "log.h"

namespace oxcl_benchmark {

void LogRunWarnings(const Context& ctx) {
  using ull = unsigned long long;
  if (ctx.proc_rank == 0) {
    if (ctx.loop == 0) {
      OXLOG(WARNING) << "-l 0: no iteration is timed; every latency and bandwidth of the table "
                        "will be 0";
    }
    if (ctx.mincount > ctx.maxcount) {
      OXLOG(WARNING) << StrFmt("-n %llu is larger than -x %llu: the sweep measures the single "
                               "count %llu",
                               static_cast<ull>(ctx.mincount), static_cast<ull>(ctx.maxcount),
                               static_cast<ull>(ctx.mincount));
    }
    // The first step past -n already overshoots -x: one row, where a range was meant.
    const uint64_t n = ctx.mincount;
    const bool adds = ctx.multifactor == 1;
    const bool single = adds ? ctx.addcount > ctx.maxcount - n
                             : n > 0 && ctx.multifactor > ctx.maxcount / n;
    if (ctx.special_count.empty() && n < ctx.maxcount && single) {
      OXLOG(WARNING) << StrFmt("%s %llu from -n %llu passes -x %llu: the sweep measures the "
                               "single count %llu (%s)",
                               adds ? "-a" : "-m",
                               static_cast<ull>(adds ? ctx.addcount : ctx.multifactor),
                               static_cast<ull>(n), static_cast<ull>(ctx.maxcount),
                               static_cast<ull>(n),
                               adds ? "use a smaller -a, or -m 2 to double" : "use a smaller -m");
    }
    // Stress mode (-#) checks every iteration whatever -d says.
    if (ctx.datacheck == 0 && ctx.stress_test == 0) {
      OXLOG(WARNING) << "-d 0: received data are not checked; a PASSED verdict only means "
                        "that every call returned success (use -d 1 to check the data)";
    }
  }
  // Cards are dealt round-robin over the host, continuing across its processes: this
  // process's ranks and those before it on the host share cards once they outnumber them.
  const uint64_t local = ctx.threads * ctx.comms;
  const uint64_t dealt = (ctx.local_index + 1) * local;
  if (ctx.device_count > 0 && dealt > ctx.device_count) {
    OXLOG(WARNING) << StrFmt("more than one rank per card: this host's %llu cards carry at "
                             "least %llu ranks (process %d holds %llu of them), so ranks share "
                             "cards and measure them together",
                             static_cast<ull>(ctx.device_count), static_cast<ull>(dealt),
                             ctx.proc_rank, static_cast<ull>(local));
  }
}

void LogCheckExactness(const Context& ctx, bool reduces) {
  if (!ctx.check_exact || ctx.datacheck == 0 || ctx.proc_rank != 0) return;
  const uint64_t ranks = static_cast<uint64_t>(ctx.GetNumProcs()) * ctx.threads * ctx.comms;
  std::string rows;
  for (size_t t = 0; reduces && t < ctx.data_type.size(); ++t) {
    for (size_t o = 0; o < ctx.reduce_op.size(); ++o) {
      if (ExactReduction(ctx.data_type[t], ctx.reduce_op[o], ranks, true)) continue;
      rows += (rows.empty() ? "" : ", ") + ctx.data_type_names[t] + " " + ctx.reduce_op_names[o];
    }
  }
  if (rows.empty()) {
    OXLOG(INFO) << "BENCHMARK_CHECK_EXACT=1: every row is checked bit for bit";
  } else {
    OXLOG(INFO) << "BENCHMARK_CHECK_EXACT=1: every row is checked bit for bit except " << rows
                << " at " << ranks << " ranks, whose results depend on the order of rounding "
                << "and keep the tolerance";
  }
}

}  // namespace oxcl_benchmark
