// Command-line parsing: getopt_long drives the loop, each option is checked and written at once.
#include "argument.h"

#include <getopt.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "log.h"

namespace oxcl_benchmark {

const char* const kBenchmarkVersion = "1.1.0";

const char* const kUsageText = R"USAGE(Usage: benchmark <argument>
The following command is available:
  -h, --help             #                               print this message and quit
  -V, --version          #                               print version and quit
  -n, --mincount         <mincount>                      minimum count to start with, default: 1M
  -x, --maxcount         <maxcount>                      maximum count to end at, default: 32M
  -l, --loop             <loop>                          number of loops, default: 1
  -w, --warmup_loop      <warmup_loop>                   number of warmup loops, default: 1
  -b, --block            <block>                         whether to turn on block, default: 0
  -d, --datacheck        <datacheck>                     whether to turn on datacheck, default: 0
  -r, --reduce_op        <sum/prod/max/min/all>          input reduce op list , separated by comma, or input all for all reduce op, default: sum
  -t, --data_type        <oxcl data type list/all>       input data type list , separated by comma, or input all for all data type, default: float
  -a, --addcount         <addcount>                      count fix added, default: 1048576
  -e, --special_count    <special_count>                 specified countdefault: NULL
  -m, --multifactor      <multifactor>                   multiplication factor between count, default: 1
  -o, --root             <root>                          Specify which root to use, default: 0
  -s, --threads          <threads>                       thread number per process, default: 2
  -z, --mode             <inplace/outofplace/all>        buffer mode, default: all
  -y, --async            <async>                         whether to turn on async, default: 0
  -f, --offset           <offset>                        whether to turn on address offset, default: 0
  -v                     #                               change log level
Example:
  broadcast --mincount 1 --maxcount 32M -b
  allreduce --special_count 1M,5M --reduce_op sum,max --data_type float,int8
Note:
  you can put or not put a space between the option flag and the argument if you use only one '-'
)USAGE";

namespace {

// h, v and V take an optional argument only so that an attached one can be rejected.
const char* const kShortOptions = "h::v::n:x:l:w:b:d:r:t:a:m:o:s:c:z:y:f:k:p:u:#:e:q:i:M:V::";

const struct option kLongOptions[] = {
    {"mincount", required_argument, nullptr, 'n'},
    {"maxcount", required_argument, nullptr, 'x'},
    {"loop", required_argument, nullptr, 'l'},
    {"warmup_loop", required_argument, nullptr, 'w'},
    {"block", required_argument, nullptr, 'b'},
    {"datacheck", required_argument, nullptr, 'd'},
    {"reduce_op", required_argument, nullptr, 'r'},
    {"data_type", required_argument, nullptr, 't'},
    {"addcount", required_argument, nullptr, 'a'},
    {"multifactor", required_argument, nullptr, 'm'},
    {"help", optional_argument, nullptr, 'h'},
    {"root", required_argument, nullptr, 'o'},
    {"threads", required_argument, nullptr, 's'},
    {"comms", required_argument, nullptr, 'c'},
    {"mode", required_argument, nullptr, 'z'},
    {"async", required_argument, nullptr, 'y'},
    {"offset", required_argument, nullptr, 'f'},
    {"priority", required_argument, nullptr, 'k'},
    {"csv_path", required_argument, nullptr, 'p'},
    {"mem_usage_path", required_argument, nullptr, 'u'},
    {"stress_test", required_argument, nullptr, '#'},
    {"special_count", required_argument, nullptr, 'e'},
    {"clique_num", required_argument, nullptr, 'q'},
    {"clique_size", required_argument, nullptr, 'i'},
    {"mp_first", required_argument, nullptr, 'M'},
    {"version", optional_argument, nullptr, 'V'},
    {nullptr, 0, nullptr, 0},
};

constexpr uint64_t kMaxNumber = 2147483647;

// Reads a digit string, saturating at `cap` + 1 so that long inputs cannot wrap.
uint64_t ReadCapped(const std::string& digits, uint64_t cap) {
  uint64_t value = 0;
  for (char c : digits) {
    value = value * 10 + static_cast<uint64_t>(c - '0');
    if (value > cap) return cap + 1;
  }
  return value;
}

void PrintUsage() { std::fputs(kUsageText, stderr); }

void PrintVersion() { std::fprintf(stderr, "VERSION: %s\n", kBenchmarkVersion); }

// A path option: a directory (trailing slash) gets the default file name appended.
std::string PathValue(const char* value, const char* default_name) {
  std::string path = value;
  if (!path.empty() && path.back() == '/') path += default_name;
  return path;
}

// Where a number or switch option writes, and how it is named in messages.
struct NumberOption {
  char letter;
  uint64_t Context::*member;
  const char* display;
  bool is_switch;
  bool must_be_positive;
};

const NumberOption kNumberOptions[] = {
    {'l', &Context::loop, "-l/--loop", false, false},
    {'w', &Context::warmup_loop, "-w/--warmup_loop", false, false},
    {'s', &Context::threads, "-s/--threads", false, true},
    {'c', &Context::comms, "-c/--comms", false, true},
    {'m', &Context::multifactor, "-m/--multifactor", false, true},
    {'q', &Context::clique_num, "-q/--clique_num", false, false},
    {'i', &Context::clique_size, "-i/--clique_size", false, false},
    {'b', &Context::block, "-b/--block", true, false},
    {'d', &Context::datacheck, "-d/--datacheck", true, false},
    {'y', &Context::async, "-y/--async", true, false},
    {'f', &Context::offset, "-f/--offset", true, false},
    {'k', &Context::priority, "-k/--priority", true, false},
    {'M', &Context::mp_first, "-M/--mp_first", true, false},
    {'#', &Context::stress_test, "--stress_test", true, false},
};

const NumberOption* FindNumberOption(int letter) {
  for (const NumberOption& option : kNumberOptions) {
    if (option.letter == letter) return &option;
  }
  return nullptr;
}

}  // namespace

Argument::Argument() {
  datatype_table = {{"float16", oxclFloat16}, {"bfloat16", oxclBfloat16}, {"float", oxclFloat32},
                    {"int8", oxclInt8},       {"int16", oxclInt16},       {"int32", oxclInt32},
                    {"int64", oxclInt64},     {"uint8", oxclUint8},       {"uint16", oxclUint16},
                    {"uint32", oxclUint32},   {"uint64", oxclUint64}};
  reduceop_table = {{"sum", oxclSum}, {"prod", oxclProd}, {"max", oxclMax}, {"min", oxclMin}};
  mode_table = {{"inplace", {true}}, {"outofplace", {false}}, {"all", {true, false}}};
}

Argument::~Argument() = default;

bool Argument::CheckNumber(std::string text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

benchmarkResult_t Argument::CheckInputNumber(unsigned long* out, std::string value,
                                             std::string name) {
  if (value.empty() || !CheckNumber(value) || ReadCapped(value, kMaxNumber) > kMaxNumber) {
    OXLOG(ERROR) << name << " input is not 0 or a positive integer, please check the input";
    return BENCHMARK_FAILURE;
  }
  *out = ReadCapped(value, kMaxNumber);
  return BENCHMARK_SUCCESS;
}

benchmarkResult_t Argument::CheckBoolNumber(unsigned long* out, std::string value,
                                            std::string name) {
  if (value.empty() || !CheckNumber(value) || ReadCapped(value, 1) > 1) {
    OXLOG(ERROR) << name << " input should be 0 or 1, please check the input";
    return BENCHMARK_FAILURE;
  }
  *out = ReadCapped(value, 1);
  return BENCHMARK_SUCCESS;
}

benchmarkResult_t Argument::ParseCount(unsigned long& out, std::string value) {
  uint64_t multiplier = 1;
  std::string digits = value;
  if (!value.empty()) {
    switch (value.back()) {
      case 'G': multiplier = 1073741824; break;
      case 'M': multiplier = 1048576; break;
      case 'K': multiplier = 1024; break;
      default: break;
    }
    if (multiplier != 1) digits.pop_back();
  }
  if (!CheckNumber(digits)) return BENCHMARK_FAILURE;
  // A count that does not fit 64 bits is refused like junk rather than wrapped to a small value.
  uint64_t number = 0;
  for (char c : digits) {
    const uint64_t digit = static_cast<uint64_t>(c - '0');
    if (number > (UINT64_MAX - digit) / 10) return BENCHMARK_FAILURE;
    number = number * 10 + digit;
  }
  if (number > UINT64_MAX / multiplier) return BENCHMARK_FAILURE;
  out = number * multiplier;
  if (out == 0) {
    OXLOG(ERROR) << "Input count cannot less than or equal to 0";
    return BENCHMARK_FAILURE;
  }
  return BENCHMARK_SUCCESS;
}

benchmarkResult_t Argument::ParseSpecialCount(Context& ctx, std::string value) {
  for (const std::string& piece : Split(value, ',')) {
    unsigned long count = 0;
    benchmarkResult_t r = ParseCount(count, piece);
    if (r != BENCHMARK_SUCCESS) {
      OXLOG(ERROR) << StrFmt("error msg: %s", StrFmt("%s is not supported", piece.c_str()).c_str());
      return r;
    }
    ctx.special_count.push_back(count);
  }
  std::sort(ctx.special_count.begin(), ctx.special_count.end());
  return BENCHMARK_SUCCESS;
}

benchmarkResult_t Argument::ParseDatatype(Context& ctx, std::string value) {
  ctx.data_type.clear();
  ctx.data_type_names.clear();
  ctx.max_type_size = 0;
  if (value == "all") {
    for (const auto& entry : datatype_table) {
      ctx.data_type.push_back(entry.second);
      ctx.data_type_names.push_back(entry.first);
    }
    ctx.max_type_size = 8;
    return BENCHMARK_SUCCESS;
  }
  const std::vector<std::string> pieces = Split(value, ',');
  // The worker loop needs at least one type; an empty list would run nothing and report success.
  if (pieces.empty()) {
    OXLOG(ERROR) << value << " is not supported yet";
    return BENCHMARK_FAILURE;
  }
  for (std::string piece : pieces) {
    if (piece == "float32") piece = "float";
    auto found = datatype_table.find(piece);
    if (found == datatype_table.end()) {
      OXLOG(ERROR) << piece << " is not supported yet";
      return BENCHMARK_FAILURE;
    }
    ctx.data_type.push_back(found->second);
    ctx.data_type_names.push_back(piece);
    ctx.max_type_size = std::max<uint64_t>(ctx.max_type_size, ctx.GetTypeSize(found->second));
  }
  return BENCHMARK_SUCCESS;
}

benchmarkResult_t Argument::ParseReduceOp(Context& ctx, std::string value) {
  ctx.reduce_op.clear();
  ctx.reduce_op_names.clear();
  if (value == "all") {
    for (const auto& entry : reduceop_table) {
      ctx.reduce_op.push_back(entry.second);
      ctx.reduce_op_names.push_back(entry.first);
    }
    return BENCHMARK_SUCCESS;
  }
  const std::vector<std::string> pieces = Split(value, ',');
  // As for data types: the worker loop needs at least one operation.
  if (pieces.empty()) {
    OXLOG(ERROR) << value << " is not supported yet";
    return BENCHMARK_FAILURE;
  }
  for (const std::string& piece : pieces) {
    auto found = reduceop_table.find(piece);
    if (found == reduceop_table.end()) {
      OXLOG(ERROR) << piece << " is not supported yet";
      return BENCHMARK_FAILURE;
    }
    ctx.reduce_op.push_back(found->second);
    ctx.reduce_op_names.push_back(piece);
  }
  return BENCHMARK_SUCCESS;
}

std::string Argument::Accepted(char opt) const {
  auto keywords = [](const auto& table) {
    std::string list;
    for (const auto& entry : table) {
      if (entry.first != "all") list += (list.empty() ? "" : ", ") + entry.first;
    }
    return list;
  };
  switch (opt) {
    case 'n':
    case 'x':
    case 'a':
      return StrFmt("-%c accepts a whole number above 0, optionally followed by K, M or G "
                    "(upper case; 1K = 1024 elements), e.g. 1024, 64K, 32M",
                    opt);
    case 'e':
      return "-e accepts a comma list of counts, each a whole number above 0, optionally "
             "followed by K, M or G (upper case; 1K = 1024 elements), e.g. 1K,3000,64M";
    case 't':
      return "-t accepts all, or a comma list of " + keywords(datatype_table) +
             " (float32 is float)";
    case 'r': return "-r accepts all, or a comma list of " + keywords(reduceop_table);
    case 'z': return "-z accepts all, " + keywords(mode_table);
    default: return "";
  }
}

benchmarkResult_t Argument::ParseMode(Context& ctx, std::string value) {
  auto found = mode_table.find(value);
  if (found == mode_table.end()) {
    OXLOG(ERROR) << value << " is not supported yet";
    return BENCHMARK_FAILURE;
  }
  ctx.mode = found->second;
  return BENCHMARK_SUCCESS;
}

benchmarkResult_t Argument::ParseArguments(Context& ctx, int argc, char** argv) {
  int opt;
  while ((opt = getopt_long(argc, argv, kShortOptions, kLongOptions, nullptr)) != -1) {
    const char* arg = optarg;
    if (const NumberOption* number = FindNumberOption(opt)) {
      unsigned long* target = &(ctx.*(number->member));
      benchmarkResult_t r = number->is_switch
                                ? CheckBoolNumber(target, arg, number->display)
                                : CheckInputNumber(target, arg, number->display);
      if (r != BENCHMARK_SUCCESS) {
        OXLOG(ERROR) << StrFmt("error msg: %s",
                               StrFmt("Please check the %s input", number->display).c_str());
        return r;
      }
      if (number->must_be_positive && *target == 0) {
        OXLOG(ERROR) << number->display << " should bigger than 0";
        return BENCHMARK_FAILURE;
      }
      continue;
    }
    benchmarkResult_t r = BENCHMARK_SUCCESS;
    switch (opt) {
      case 'n': r = ParseCount(ctx.mincount, arg); break;
      case 'x': r = ParseCount(ctx.maxcount, arg); break;
      case 'a': r = ParseCount(ctx.addcount, arg); break;
      case 'e': r = ParseSpecialCount(ctx, arg); break;
      case 't': r = ParseDatatype(ctx, arg); break;
      case 'r': r = ParseReduceOp(ctx, arg); break;
      case 'z': r = ParseMode(ctx, arg); break;
      case 'o': {
        // root is a signed 32-bit member; a checked number never exceeds 2147483647.
        unsigned long root = 0;
        if (CheckInputNumber(&root, arg, "-o/--root") != BENCHMARK_SUCCESS) {
          OXLOG(ERROR) << StrFmt("error msg: %s", "Please check the -o/--root input");
          return BENCHMARK_FAILURE;
        }
        ctx.root = static_cast<int32_t>(root);
        continue;
      }
      case 'p':
        ctx.csv_path = PathValue(arg, "output.csv");
        ctx.csv_in_folder = ctx.csv_path != arg;
        break;
      case 'u':
        ctx.mem_usage_path = PathValue(arg, "oxcl_mem_usage.csv");
        ctx.mem_usage_in_folder = ctx.mem_usage_path != arg;
        break;
      case 'v':
        if (arg != nullptr) {
          OXLOG(ERROR) << "Should be only -v, please check the input in -v";
          return BENCHMARK_FAILURE;
        }
        SetLogLevel("DEBUG");
        break;
      case 'h':
        if (arg != nullptr) {
          OXLOG(ERROR) << "Please use -h or --help";
          return BENCHMARK_FAILURE;
        }
        PrintVersion();
        PrintUsage();
        return BENCHMARK_QUIT;
      case 'V':
        if (arg != nullptr) {
          OXLOG(ERROR) << "Please use -V or --version";
          return BENCHMARK_FAILURE;
        }
        PrintVersion();
        return BENCHMARK_QUIT;
      default:
        // getopt_long has already printed its own diagnostic.
        PrintUsage();
        return BENCHMARK_FAILURE;
    }
    if (r == BENCHMARK_QUIT) return r;
    if (r != BENCHMARK_SUCCESS) {
      OXLOG(ERROR) << StrFmt("error msg: %s", StrFmt("-%c input is not supported", opt).c_str());
      const std::string accepted = Accepted(static_cast<char>(opt));
      if (!accepted.empty()) OXLOG(ERROR) << accepted;
      return r;
    }
  }
  if (optind < argc) {
    OXLOG(ERROR) << "At least one non-option argument exists";
    PrintUsage();
    return BENCHMARK_FAILURE;
  }
  // getopt_long swallows a trailing "--" silently; the benchmark treats it as an unknown option.
  for (int i = 0; i < argc; ++i) {
    if (std::strcmp(argv[i], "--") == 0) {
      OXLOG(ERROR) << "Error: unknown option '--'";
      PrintUsage();
      return BENCHMARK_FAILURE;
    }
  }
  if (ctx.async == 0 && ctx.comms >= 2) {
    OXLOG(ERROR) << "Input --comms should equal to 1 when not use --async";
    return BENCHMARK_FAILURE;
  }
  return BENCHMARK_SUCCESS;
}

}  // namespace oxcl_benchmark
