// What the data check (-d 1) catches: for every collective, type, operation and mode, the
// correct result of the last rank with one element changed by each kind of corruption the
// simulator can inject (every bit of the type for bit=B), run through the collective's own
// check, with and without BENCHMARK_CHECK_EXACT=1. Prints one line per case, or with --table
// the README's summary. Exit status 1 when a row that is checked bit for bit misses a change,
// or when the uncorrupted result shows a mismatch; 2 on bad usage.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "allgather.h"
#include "allreduce.h"
#include "alltoall.h"
#include "corrupt.h"
#include "reducescatter.h"

using namespace oxcl_benchmark;

namespace {

void Usage(FILE* out) {
  std::fprintf(out,
               "usage: check_matrix [--ranks N] [--table]\n"
               "  --ranks N  ranks of the simulated run, 2 to 1024 (default 4); the last one's\n"
               "             result is corrupted\n"
               "  --table    the summary table in Markdown instead of one line per case\n");
}

enum class Coll { kAllReduce, kReduceScatter, kAllGather, kAllToAll };
const char* CollName(Coll c) {
  switch (c) {
    case Coll::kAllReduce: return "all-reduce";
    case Coll::kReduceScatter: return "reduce-scatter";
    case Coll::kAllGather: return "all-gather";
    case Coll::kAllToAll: return "all-to-all";
  }
  return "?";
}

struct TypeInfo {
  oxclDataType_t code;
  const char* name;
  unsigned bits;
};
const TypeInfo kTypes[] = {
    {oxclFloat16, "float16", 16}, {oxclBfloat16, "bfloat16", 16}, {oxclFloat32, "float", 32},
    {oxclInt8, "int8", 8},        {oxclInt16, "int16", 16},       {oxclInt32, "int32", 32},
    {oxclInt64, "int64", 64},     {oxclUint8, "uint8", 8},        {oxclUint16, "uint16", 16},
    {oxclUint32, "uint32", 32},   {oxclUint64, "uint64", 64}};
const char* const kOpNames[] = {"sum", "prod", "max", "min"};

oxclDataType_t TypeCode(const std::string& name) {
  for (const TypeInfo& t : kTypes)
    if (name == t.name) return t.code;
  return oxclFloat32;
}
oxclReduceOp_t OpCode(const std::string& name) {
  for (int op = 0; op < 4; ++op)
    if (name == kOpNames[op]) return static_cast<oxclReduceOp_t>(op);
  return oxclSum;
}

bool Floating(oxclDataType_t t) {
  return t == oxclFloat16 || t == oxclBfloat16 || t == oxclFloat32;
}

// The outcome of one case.
enum class Outcome { kCaught, kMissed, kUnchanged };

struct Case {
  Coll coll;
  const TypeInfo* type;
  int op;  // -1 for the collectives that only move data
  bool inplace;
  bool exact_env;
  std::string kind;
  Outcome outcome;
  double change;  // relative change of the element's value
};

// The value of an element for the relative change: 16-bit floats by their bits.
template <typename T>
double Value(oxclDataType_t type, T v) {
  if (type == oxclFloat16) return half2float(static_cast<uint16_t>(v));
  if (type == oxclBfloat16) return bf16Tofloat(static_cast<uint16_t>(v));
  return static_cast<double>(v);
}

// One communicator of one worker thread, the last of `ranks`, with simulated device buffers
// for `count` elements of any type; each row sets the type, operation and mode it checks.
struct Run {
  Run(uint64_t ranks, uint64_t count) {
    ctx.nprocs = static_cast<int32_t>(ranks);
    ctx.card_name = "OPU-SIM";
    ctx.mincount = ctx.maxcount = count;
    ctx.max_type_size = 8;
    ctx.dev_list = {0};
    ctx.rank_list = {static_cast<int32_t>(ranks - 1)};
    ctx.comm_list = {nullptr};
    ctx.error_counts.resize(1);
    info.type_index = info.op_index = info.mode_index = 0;
    info.count = count;
    ok = info.InitBuffer(&ctx) == BENCHMARK_SUCCESS;
  }
  // A failed release logged why; the tool's verdict is about the check, not the simulator.
  ~Run() { (void)info.ReleaseBuffer(&ctx); }
  void Set(oxclDataType_t type, int op, bool inplace, bool exact) {
    ctx.data_type = {type};
    ctx.reduce_op = {static_cast<oxclReduceOp_t>(op < 0 ? 0 : op)};
    ctx.mode = {inplace};
    ctx.check_exact = exact;
    info.count = ctx.mincount;
  }
  Context ctx;
  ThreadInfo info;
  bool ok = false;
};

template <typename T>
bool ToDevice(void* dst, const std::vector<T>& v) {
  return oxrtMemcpy(dst, v.data(), v.size() * sizeof(T), oxrtMemcpyHostToDevice) == oxrtSuccess;
}
template <typename T>
bool FromDevice(std::vector<T>* v, const void* src) {
  return oxrtMemcpy(v->data(), src, v->size() * sizeof(T), oxrtMemcpyDeviceToHost) == oxrtSuccess;
}

// Runs every kind of corruption on one (collective, type, operation, mode) and appends the
// cases; false when the uncorrupted result is counted as wrong or the set-up fails.
template <typename T>
bool RunRow(Run& run, Coll coll, const TypeInfo& ti, int op, bool inplace, bool exact,
            uint64_t n, std::vector<Case>* cases) {
  const oxclDataType_t type = ti.code;
  run.Set(type, op, inplace, exact);
  Allreduce allreduce;
  Reducescatter reducescatter;
  Allgather allgather;
  AllToAll alltoall;
  Algorithm* algo = coll == Coll::kAllReduce       ? static_cast<Algorithm*>(&allreduce)
                    : coll == Coll::kReduceScatter ? static_cast<Algorithm*>(&reducescatter)
                    : coll == Coll::kAllGather     ? static_cast<Algorithm*>(&allgather)
                                                   : static_cast<Algorithm*>(&alltoall);
  algo->SetContext(&run.ctx);
  if (algo->SetParam(&run.info) != BENCHMARK_SUCCESS) return false;
  ThreadInfo& info = run.info;
  const uint64_t r = n - 1, o = inplace ? 0 : 1;
  const uint64_t recv = info.recv_count;

  // The receive buffer as the call finds it: cleared, then the send data where it is in place.
  std::vector<T> zeros(info.span_count);
  if (!ToDevice(info.recv_buffs[0], zeros)) return false;
  benchmarkResult_t filled = BENCHMARK_FAILURE;
  switch (coll) {
    case Coll::kAllReduce: filled = allreduce.InitBuff<T>(&info, 0, 0, info.send_count, 0); break;
    case Coll::kReduceScatter:
      filled = reducescatter.InitBuff<T>(&info, 0, 0, info.send_count, 0);
      break;
    case Coll::kAllGather: filled = allgather.InitBuff<T>(&info, 0, 0, info.send_count, 0); break;
    case Coll::kAllToAll: filled = alltoall.InitBuff<T>(&info, 0, 0, info.send_count, 0); break;
  }
  if (filled != BENCHMARK_SUCCESS) return false;
  // Where this rank's result lies in the receive buffer.
  const uint64_t at = coll == Coll::kReduceScatter && inplace ? r * recv : 0;
  std::vector<T> before(recv);
  if (!FromDevice(&before, static_cast<const T*>(info.recv_buffs[0]) + at)) return false;

  // The correct result.
  std::vector<T> result(recv);
  if (coll == Coll::kAllReduce || coll == Coll::kReduceScatter) {
    const uint64_t start = coll == Coll::kReduceScatter ? r * recv : 0;
    allreduce.SetContext(&run.ctx);
    if (allreduce.InitReduce<T>(&info, 0, start, 0, recv) != BENCHMARK_SUCCESS) return false;
    std::memcpy(result.data(), info.host_buffs[0], recv * sizeof(T));
  } else {
    const uint64_t c = info.coll_count;
    for (uint64_t x = 0; x < recv; ++x) {
      result[x] = check_detail::Store<T>(
          type, coll == Coll::kAllGather ? Allgather::GatheredValue(x, c, n, o)
                                         : AllToAll::ReceivedValue(x, c, r, n, o));
    }
  }
  auto check = [&](const std::vector<T>& data) -> uint64_t {
    run.ctx.error_counts[0] = 0;
    if (!ToDevice(static_cast<T*>(info.recv_buffs[0]) + at, data)) return UINT64_MAX;
    benchmarkResult_t rc = BENCHMARK_FAILURE;
    switch (coll) {
      case Coll::kAllReduce: rc = allreduce.CheckDelta<T>(&info, 0, 0, recv, 0); break;
      case Coll::kReduceScatter: rc = reducescatter.CheckDelta<T>(&info, 0, 0, recv, 0); break;
      case Coll::kAllGather: rc = allgather.CheckDelta<T>(&info, 0, 0, recv, 0); break;
      case Coll::kAllToAll: rc = alltoall.CheckDelta<T>(&info, 0, 0, recv, 0); break;
    }
    return rc == BENCHMARK_SUCCESS ? run.ctx.error_counts[0].load() : UINT64_MAX;
  };
  if (check(result) != 0) {
    std::fprintf(stderr, "check_matrix: %s %s %s %s: the correct result is counted as wrong\n",
                 CollName(coll), ti.name, op < 0 ? "-" : kOpNames[op],
                 inplace ? "in place" : "out of place");
    return false;
  }

  std::vector<std::pair<std::string, oxsim::CorruptHow>> kinds = {
      {"far", {oxsim::CorruptKind::kFar, 0}},
      {"ulp", {oxsim::CorruptKind::kUlp, 0}},
      {"zero", {oxsim::CorruptKind::kZero, 0}},
      {"drop", {oxsim::CorruptKind::kDrop, 0}}};
  if (Floating(type)) kinds.push_back({"nan", {oxsim::CorruptKind::kNan, 0}});
  for (unsigned b = 0; b < ti.bits; ++b) {
    kinds.push_back({"bit=" + std::to_string(b), {oxsim::CorruptKind::kBit, b}});
  }
  // Element 5, as in the examples of the README; every element is checked the same way.
  const uint64_t index = 5;
  for (const auto& kind : kinds) {
    std::vector<T> data = result;
    std::string why;
    if (!oxcl_sim::CorruptElement(&data[index], type, kind.second, &before[index], &why)) {
      std::fprintf(stderr, "check_matrix: %s: %s\n", kind.first.c_str(), why.c_str());
      return false;
    }
    const double e = Value(type, result[index]), d = Value(type, data[index]);
    Case c{coll, &ti, op, inplace, exact, kind.first, Outcome::kUnchanged,
           std::fabs(d - e) / std::fabs(e)};
    if (std::memcmp(&data[index], &result[index], sizeof(T)) != 0) {
      const uint64_t errors = check(data);
      if (errors == UINT64_MAX) return false;
      c.outcome = errors != 0 ? Outcome::kCaught : Outcome::kMissed;
    }
    cases->push_back(c);
  }
  return true;
}

// Bit numbers as ranges: "0-14, 16".
std::string Ranges(const std::set<unsigned>& bits) {
  std::string out;
  for (auto it = bits.begin(); it != bits.end();) {
    unsigned first = *it, last = first;
    while (++it != bits.end() && *it == last + 1) last = *it;
    if (!out.empty()) out += ", ";
    out += std::to_string(first);
    if (last != first) out += "-" + std::to_string(last);
  }
  return out;
}

// One row of the summary: what one setting of the check misses over both modes.
struct Summary {
  uint64_t cases = 0, caught = 0, missed = 0, unchanged = 0;
  std::set<unsigned> bits;
  std::set<std::string> kinds;
  double largest_missed = 0;
  bool exact = true;
  std::string Missed() const {
    std::string out;
    if (!bits.empty()) out = "bit " + Ranges(bits);
    for (const std::string& k : kinds) out += (out.empty() ? "" : ", ") + k;
    return out.empty() ? "none" : out;
  }
};

void PrintTable(const std::vector<Case>& cases, uint64_t n) {
  // Rows keyed by collective group, type and operation, in the order of the cases.
  struct Row {
    std::string group, type, op;
    Summary plain, exact;
  };
  std::vector<Row> rows;
  std::map<std::string, size_t> where;
  for (const Case& c : cases) {
    const bool reduces = c.op >= 0;
    const std::string group = reduces ? "all-reduce, reduce-scatter" : "all-gather, all-to-all";
    const std::string key = group + "|" + c.type->name + "|" + (reduces ? kOpNames[c.op] : "");
    auto it = where.find(key);
    if (it == where.end()) {
      it = where.emplace(key, rows.size()).first;
      rows.push_back({group, c.type->name, reduces ? kOpNames[c.op] : "-", {}, {}});
    }
    Summary& s = c.exact_env ? rows[it->second].exact : rows[it->second].plain;
    ++s.cases;
    if (c.outcome == Outcome::kCaught) ++s.caught;
    if (c.outcome == Outcome::kUnchanged) ++s.unchanged;
    if (c.outcome == Outcome::kMissed) {
      ++s.missed;
      if (c.kind.compare(0, 4, "bit=") == 0) s.bits.insert(std::stoul(c.kind.substr(4)));
      else s.kinds.insert(c.kind);
      if (c.change > s.largest_missed) s.largest_missed = c.change;
    }
  }
  for (Row& row : rows) {
    row.plain.exact = row.op == "-" ||
                      ExactReduction(TypeCode(row.type), OpCode(row.op), n, false);
    row.exact.exact = row.op == "-" ||
                      ExactReduction(TypeCode(row.type), OpCode(row.op), n, true);
  }
  // Rows whose outcome is the same in every respect but the type are merged.
  std::vector<Row> merged;
  auto same = [](const Summary& a, const Summary& b) {
    return a.exact == b.exact && a.missed == 0 && b.missed == 0;
  };
  for (const Row& row : rows) {
    if (!merged.empty()) {
      Row& last = merged.back();
      if (last.group == row.group && same(last.plain, row.plain) &&
          same(last.exact, row.exact) && last.plain.exact && last.exact.exact &&
          (last.op == row.op || last.type == row.type)) {
        // Rows come type by type, each with its operations in order.
        auto listed = [](const std::string& list, const std::string& item) {
          const std::string padded = ", " + list + ",";
          return padded.find(", " + item + ",") != std::string::npos;
        };
        if (last.op == row.op && !listed(last.type, row.type)) {
          last.type += ", " + row.type;
        } else if (!listed(last.op, row.op)) {
          last.op += ", " + row.op;
        }
        for (Summary* s : {&last.plain, &last.exact}) {
          const Summary& add = s == &last.plain ? row.plain : row.exact;
          s->cases += add.cases;
          s->caught += add.caught;
          s->unchanged += add.unchanged;
        }
        continue;
      }
    }
    merged.push_back(row);
  }
  std::printf("| collectives | types | operations | default: checked | default: caught / changed | "
              "default: missed | with BENCHMARK_CHECK_EXACT=1: checked | caught / changed | missed |\n");
  std::printf("|---|---|---|---|---|---|---|---|---|\n");
  auto cell = [](const Summary& s) {
    char text[160];
    std::snprintf(text, sizeof(text), "%s | %llu / %llu | %s", s.exact ? "bit for bit" : "tolerance",
                  static_cast<unsigned long long>(s.caught),
                  static_cast<unsigned long long>(s.cases - s.unchanged), s.Missed().c_str());
    std::string out = text;
    if (s.missed != 0) {
      std::snprintf(text, sizeof(text), " (largest change missed %.2g)", s.largest_missed);
      out += text;
    }
    return out;
  };
  for (const Row& row : merged) {
    std::printf("| %s | %s | %s | %s | %s |\n", row.group.c_str(), row.type.c_str(),
                row.op.c_str(), cell(row.plain).c_str(), cell(row.exact).c_str());
  }
}

}  // namespace

int main(int argc, char** argv) {
  uint64_t n = 4;
  bool table = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "-h" || a == "--help") {
      Usage(stdout);
      return 0;
    }
    if (a == "--table") {
      table = true;
    } else if (a == "--ranks" && i + 1 < argc) {
      char* end = nullptr;
      const unsigned long long v = std::strtoull(argv[++i], &end, 10);
      if (*argv[i] == '\0' || *end != '\0' || v < 2 || v > 1024) {
        std::fprintf(stderr, "check_matrix: --ranks '%s' is not a rank count from 2 to 1024\n",
                     argv[i]);
        return 2;
      }
      n = v;
    } else {
      std::fprintf(stderr, "check_matrix: unknown argument '%s'\n", a.c_str());
      Usage(stderr);
      return 2;
    }
  }
  // Only mismatches are of interest; the check logs each at Debug level.
  oxcl_benchmark_log_level = LOG_WARNING;
  std::vector<Case> cases;
  Run run(n, 32 * n);
  bool sound = run.ok;
  for (Coll coll : {Coll::kAllReduce, Coll::kReduceScatter, Coll::kAllGather, Coll::kAllToAll}) {
    const bool reduces = coll == Coll::kAllReduce || coll == Coll::kReduceScatter;
    for (bool exact : {false, true}) {
      for (const TypeInfo& ti : kTypes) {
        for (int op = reduces ? 0 : -1; op < (reduces ? 4 : 0); ++op) {
          for (bool inplace : {true, false}) {
            const benchmarkResult_t dispatched = WithElementType(ti.code, [&](auto tag) {
              using T = typename decltype(tag)::type;
              if (!RunRow<T>(run, coll, ti, op, inplace, exact, n, &cases)) sound = false;
              return BENCHMARK_SUCCESS;
            });
            if (dispatched != BENCHMARK_SUCCESS) sound = false;
          }
        }
      }
    }
  }
  uint64_t missed_exact = 0, caught = 0, missed = 0;
  for (const Case& c : cases) {
    const bool exact_row =
        c.op < 0 || ExactReduction(c.type->code, static_cast<oxclReduceOp_t>(c.op), n, c.exact_env);
    if (c.outcome == Outcome::kCaught) ++caught;
    if (c.outcome == Outcome::kMissed) {
      ++missed;
      if (exact_row) ++missed_exact;
    }
    if (!table) {
      std::printf("%s %s %s %s exact=%d %s %s %.3g\n", CollName(c.coll), c.type->name,
                  c.op < 0 ? "-" : kOpNames[c.op], c.inplace ? "inplace" : "outofplace",
                  c.exact_env ? 1 : 0, c.kind.c_str(),
                  c.outcome == Outcome::kCaught   ? "caught"
                  : c.outcome == Outcome::kMissed ? "missed"
                                                  : "unchanged",
                  c.change);
    }
  }
  if (table) PrintTable(cases, n);
  std::fprintf(stderr, "check_matrix: %llu ranks, %zu cases: %llu caught, %llu missed (%llu in "
               "rows checked bit for bit), %zu left the element unchanged\n",
               static_cast<unsigned long long>(n), cases.size(),
               static_cast<unsigned long long>(caught), static_cast<unsigned long long>(missed),
               static_cast<unsigned long long>(missed_exact),
               cases.size() - static_cast<size_t>(caught + missed));
  return sound && missed_exact == 0 ? 0 : 1;
}
