// The command-line parser: options into the run context, with the value checks and the usage text.
#ifndef OXCL_BENCHMARK_ARGUMENT_H_
#define OXCL_BENCHMARK_ARGUMENT_H_

#include <map>
#include <string>
#include <vector>

#include "common.h"
#include "context.h"
#include "oxcl.h"

namespace oxcl_benchmark {

// The version text printed by -h and -V.
extern const char* const kBenchmarkVersion;
// The usage text printed by -h and after a rejected command line (26 lines).
extern const char* const kUsageText;

class Argument {
 public:
  // Builds the data type, reduce operation and buffer mode keyword tables.
  Argument();
  ~Argument();
  Argument(const Argument&) = delete;
  Argument& operator=(const Argument&) = delete;

  // Parses the whole command line into ctx: 0 go on, 1 rejected (already logged), 3 help or
  // version printed. Uses getopt_long's process-wide state, which it does not reset.
  benchmarkResult_t ParseArguments(Context& ctx, int argc, char** argv);

  // A decimal number 0..2147483647 into *out; 1 and a message naming `name` otherwise.
  benchmarkResult_t CheckInputNumber(unsigned long* out, std::string value, std::string name);
  // 0 or 1 (leading zeros allowed) into *out; 1 and a message naming `name` otherwise.
  benchmarkResult_t CheckBoolNumber(unsigned long* out, std::string value, std::string name);
  // True when every character is a decimal digit (also for the empty text).
  bool CheckNumber(std::string text);
  // One element count with an optional K, M or G suffix; 1 for zero, junk or 64-bit overflow.
  benchmarkResult_t ParseCount(unsigned long& out, std::string value);
  // A comma list of counts appended to ctx.special_count, which is then sorted.
  benchmarkResult_t ParseSpecialCount(Context& ctx, std::string value);
  // A comma list of data type keywords, or "all", replacing the context's data type list.
  benchmarkResult_t ParseDatatype(Context& ctx, std::string value);
  // A comma list of reduce operation keywords, or "all", replacing the context's list.
  benchmarkResult_t ParseReduceOp(Context& ctx, std::string value);
  // One buffer mode keyword into ctx.mode.
  benchmarkResult_t ParseMode(Context& ctx, std::string value);
  // What option `opt` accepts, as one line for a refused value; "" for the other options.
  std::string Accepted(char opt) const;

  std::map<std::string, oxclDataType_t> datatype_table;
  std::map<std::string, oxclReduceOp_t> reduceop_table;
  std::map<std::string, std::vector<bool>> mode_table;
};

}  // namespace oxcl_benchmark

#endif  // OXCL_BENCHMARK_ARGUMENT_H_
