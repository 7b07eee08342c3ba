// Fuzzes the command-line parser and its value parsers. The input is cut into argv words at NUL
// and newline bytes; the first word is the program name. Every run parses into a fresh context
// and then checks what the parser promises about an accepted command line, and feeds each word
// (and the whole input) to every value parser, checked against an independent reading.
// ParseArguments never exits: -h and -V print and answer 3, so no word has to be left out.
#include <getopt.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ostream>
#include <streambuf>
#include <string>
#include <vector>

#include "argument.h"
#include "context.h"
#include "log.h"

using oxcl_benchmark::Argument;
using oxcl_benchmark::Context;

namespace {

// Log lines are still formatted, but written nowhere: the parser logs on every rejection.
class NullBuffer : public std::streambuf {
 protected:
  int overflow(int c) override { return traits_type::not_eof(c); }
  std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};
NullBuffer null_buffer;
std::ostream null_stream(&null_buffer);

// libFuzzer's -close_fd_mask=2 silences the parser's usage text; findings of this harness go
// to a copy of standard error taken before that.
int report_fd = 2;

[[noreturn]] void Fail(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Fail(const char* format, ...) {
  char text[2048];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof(text), format, args);
  va_end(args);
  dprintf(report_fd, "fuzz_arguments: %s\n", text);
  abort();
}

constexpr uint64_t kMaxNumber = 2147483647;

// Independent reading of a decimal digit string: false when it is empty, has a non-digit or
// exceeds `cap`.
bool Decimal(const std::string& text, uint64_t cap, uint64_t* value) {
  if (text.empty()) return false;
  unsigned __int128 v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<unsigned>(c - '0');
    if (v > cap) v = static_cast<unsigned __int128>(cap) + 1;  // saturate, keep scanning
  }
  if (v > cap) return false;
  *value = static_cast<uint64_t>(v);
  return true;
}

std::vector<std::string> Pieces(const std::string& text) {
  std::vector<std::string> out;
  std::string piece;
  for (char c : text) {
    if (c == ',') {
      if (!piece.empty()) out.push_back(piece);
      piece.clear();
    } else {
      piece.push_back(c);
    }
  }
  if (!piece.empty()) out.push_back(piece);
  return out;
}

// The count rule: optional K/M/G, digits (empty reads as 0), product above 0; counts that do not
// fit 64 bits are refused. Returns 0 for a refused count.
uint64_t ExpectedCount(const std::string& value) {
  uint64_t multiplier = 1;
  std::string digits = value;
  if (!value.empty()) {
    const char last = value.back();
    if (last == 'K') multiplier = 1024;
    if (last == 'M') multiplier = 1048576;
    if (last == 'G') multiplier = 1073741824;
    if (multiplier != 1) digits.pop_back();
  }
  uint64_t number = 0;
  if (!digits.empty() && !Decimal(digits, UINT64_MAX, &number)) return 0;
  const unsigned __int128 product = static_cast<unsigned __int128>(number) * multiplier;
  return product > UINT64_MAX ? 0 : static_cast<uint64_t>(product);
}

void CheckValueParsers(Argument& parser, Context& ctx, const std::string& value) {
  const std::string shown = value.substr(0, 64);
  const uint64_t kUntouched = 0xdeadbeefcafef00dull;

  uint64_t expected = 0;
  unsigned long out = kUntouched;
  int r = parser.CheckInputNumber(&out, value, "-l/--loop");
  bool ok = Decimal(value, kMaxNumber, &expected);
  if (r != (ok ? 0 : 1) || out != (ok ? expected : kUntouched))
    Fail("CheckInputNumber('%s') = %d, out %lu", shown.c_str(), r, out);

  out = kUntouched;
  r = parser.CheckBoolNumber(&out, value, "-b/--block");
  ok = Decimal(value, 1, &expected);
  if (r != (ok ? 0 : 1) || out != (ok ? expected : kUntouched))
    Fail("CheckBoolNumber('%s') = %d, out %lu", shown.c_str(), r, out);

  out = kUntouched;
  r = parser.ParseCount(out, value);
  expected = ExpectedCount(value);
  if (r != (expected != 0 ? 0 : 1) || (expected != 0 && out != expected))
    Fail("ParseCount('%s') = %d, out %lu, expected %lu", shown.c_str(), r, out,
         static_cast<unsigned long>(expected));

  ctx.special_count = {7};
  r = parser.ParseSpecialCount(ctx, value);
  bool all_counts = true;
  for (const std::string& piece : Pieces(value)) all_counts = all_counts && ExpectedCount(piece);
  if (r != (all_counts ? 0 : 1)) Fail("ParseSpecialCount('%s') = %d", shown.c_str(), r);
  if (r == 0) {
    if (ctx.special_count.size() != Pieces(value).size() + 1 ||
        !std::is_sorted(ctx.special_count.begin(), ctx.special_count.end()) ||
        std::count(ctx.special_count.begin(), ctx.special_count.end(), 0u) != 0)
      Fail("ParseSpecialCount('%s') accepted but left a bad list", shown.c_str());
  }

  r = parser.ParseDatatype(ctx, value);
  bool all_known = !Pieces(value).empty();
  for (std::string piece : Pieces(value))
    all_known = all_known && (piece == "float32" || parser.datatype_table.count(piece) != 0);
  if (value == "all") all_known = true;
  if (r != (all_known ? 0 : 1)) Fail("ParseDatatype('%s') = %d", shown.c_str(), r);
  if (r == 0) {
    uint64_t widest = 0;
    if (ctx.data_type.empty() || ctx.data_type.size() != ctx.data_type_names.size())
      Fail("ParseDatatype('%s') accepted an empty or uneven list", shown.c_str());
    for (size_t i = 0; i < ctx.data_type.size(); ++i) {
      auto found = parser.datatype_table.find(ctx.data_type_names[i]);
      if (found == parser.datatype_table.end() || found->second != ctx.data_type[i])
        Fail("ParseDatatype('%s'): name and code disagree", shown.c_str());
      widest = std::max<uint64_t>(widest, ctx.GetTypeSize(ctx.data_type[i]));
    }
    if (widest != ctx.max_type_size) Fail("ParseDatatype('%s'): wrong max size", shown.c_str());
  }

  r = parser.ParseReduceOp(ctx, value);
  all_known = !Pieces(value).empty();
  for (const std::string& piece : Pieces(value))
    all_known = all_known && parser.reduceop_table.count(piece) != 0;
  if (value == "all") all_known = true;
  if (r != (all_known ? 0 : 1)) Fail("ParseReduceOp('%s') = %d", shown.c_str(), r);
  if (r == 0 && (ctx.reduce_op.empty() || ctx.reduce_op.size() != ctx.reduce_op_names.size()))
    Fail("ParseReduceOp('%s') accepted an empty or uneven list", shown.c_str());

  const std::vector<bool> before = ctx.mode;
  r = parser.ParseMode(ctx, value);
  const bool mode_known = value == "inplace" || value == "outofplace" || value == "all";
  if (r != (mode_known ? 0 : 1)) Fail("ParseMode('%s') = %d", shown.c_str(), r);
  if (r != 0 && ctx.mode != before) Fail("ParseMode('%s') changed mode on rejection", shown.c_str());
}

// What an accepted command line guarantees to the rest of the program.
void CheckAccepted(const Context& ctx, const std::vector<std::string>& words) {
  if (ctx.threads == 0 || ctx.comms == 0 || ctx.multifactor == 0) Fail("accepted a zero count");
  const uint64_t numbers[] = {ctx.loop, ctx.warmup_loop, ctx.threads, ctx.comms,
                              ctx.multifactor, ctx.clique_num, ctx.clique_size};
  for (uint64_t n : numbers)
    if (n > kMaxNumber) Fail("accepted a number above 2147483647: %lu", static_cast<unsigned long>(n));
  const uint64_t switches[] = {ctx.block, ctx.datacheck, ctx.async, ctx.offset,
                               ctx.priority, ctx.mp_first, ctx.stress_test};
  for (uint64_t s : switches)
    if (s > 1) Fail("accepted a switch value %lu", static_cast<unsigned long>(s));
  if (ctx.root < 0) Fail("accepted a negative root");
  if (ctx.async == 0 && ctx.comms >= 2) Fail("accepted several comms without async");
  if (ctx.mincount == 0 || ctx.maxcount == 0 || ctx.addcount == 0) Fail("accepted a zero count");
  if (ctx.data_type.empty() || ctx.reduce_op.empty() || ctx.mode.empty())
    Fail("accepted an empty type, operation or mode list");
  if (ctx.max_type_size == 0 || ctx.max_type_size > 8) Fail("bad max_type_size");
  if (!std::is_sorted(ctx.special_count.begin(), ctx.special_count.end()))
    Fail("special counts not sorted");
  for (uint64_t c : ctx.special_count)
    if (c == 0) Fail("accepted a zero special count");
  if (!ctx.csv_path.empty() && ctx.csv_path.back() == '/') Fail("csv path is a directory");
  if (!ctx.mem_usage_path.empty() && ctx.mem_usage_path.back() == '/')
    Fail("memory report path is a directory");
  for (const std::string& w : words)
    if (w == "--") Fail("accepted a command line with '--'");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  report_fd = dup(2);
  if (report_fd < 0) report_fd = 2;
  oxcl_benchmark::SetLogScreenForTest(&null_stream);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 4096) return -1;  // command lines are short; long inputs only slow the search
  const std::string input(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> words(1, "bench-allreduce");
  std::string word;
  for (char c : input) {
    if (c == '\0' || c == '\n') {
      words.push_back(word);
      word.clear();
    } else {
      word.push_back(c);
    }
  }
  if (!word.empty() || words.size() == 1) words.push_back(word);
  if (words.size() > 64) words.resize(64);

  // argv as main gets it: writable words, a null after the last; getopt_long permutes it.
  std::vector<std::vector<char>> storage;
  for (const std::string& w : words) {
    storage.emplace_back(w.begin(), w.end());
    storage.back().push_back('\0');
  }
  std::vector<char*> argv;
  for (auto& s : storage) argv.push_back(s.data());
  const std::vector<char*> original = argv;
  argv.push_back(nullptr);

  // optind 0 makes glibc re-initialise getopt_long completely (also its position inside a
  // word), so every run starts like a fresh process.
  optind = 0;
  oxcl_benchmark::SetLogLevel("INFO");  // -v lowers it for the rest of the process
  {
    Argument parser;
    Context ctx;
    const int r = parser.ParseArguments(ctx, static_cast<int>(original.size()), argv.data());
    if (r != 0 && r != 1 && r != 3) Fail("ParseArguments returned %d", r);
    if (argv.back() != nullptr) Fail("argv lost its terminating null");
    std::vector<char*> now(argv.begin(), argv.end() - 1), was = original;
    std::sort(now.begin(), now.end());
    std::sort(was.begin(), was.end());
    if (now != was) Fail("argv is no longer a permutation of the words");
    if (r == 0) CheckAccepted(ctx, words);
  }

  Argument parser;
  Context ctx;
  for (size_t i = 1; i < words.size() && i < 7; ++i) {
    // "-tfoo" and "--data_type=foo" carry their value inside the word.
    const std::string& w = words[i];
    const size_t eq = w.find('=');
    CheckValueParsers(parser, ctx, w);
    if (eq != std::string::npos) CheckValueParsers(parser, ctx, w.substr(eq + 1));
    else if (w.size() > 2 && w[0] == '-' && w[1] != '-') CheckValueParsers(parser, ctx, w.substr(2));
  }
  CheckValueParsers(parser, ctx, input);  // embedded NUL and newline bytes included
  return 0;
}
