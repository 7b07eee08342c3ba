// Fuzzes the OXSIM_FAULT grammar. Any value must either parse into items that the simulator can
// act on, or be refused with one printable line short enough for the start-up message; a parse
// is checked item by item against an independent reading of the text.
#include <unistd.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "fault_table.h"
#include "oxsim.h"

namespace {

[[noreturn]] void Fail(const std::string& input, const char* format, ...)
    __attribute__((format(printf, 2, 3)));
void Fail(const std::string& input, const char* format, ...) {
  char text[2048];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof(text), format, args);
  va_end(args);
  fprintf(stderr, "fuzz_fault_grammar: %s (input of %zu bytes)\n", text, input.size());
  abort();
}

// The start-up rejection is "oxsim: OXSIM_FAULT: <error>" built in a 900-byte buffer.
constexpr size_t kMaxError = 900 - 1 - (sizeof("OXSIM_FAULT: ") - 1);

const char* const kCorruptible[] = {"oxclAllReduce", "oxclReduceScatter", "oxclAllGather",
                                    "oxclAlltoAll", "oxclAlltoAllv", "oxclRecv"};
const char* const kTextOnly[] = {"oxrtGetErrorName", "oxdevGetErrorString", "oxclGetErrorStr"};

bool In(const char* const* names, size_t n, const std::string& name) {
  for (size_t i = 0; i < n; ++i)
    if (name == names[i]) return true;
  return false;
}

std::vector<std::string> Cut(const std::string& text, char sep) {
  std::vector<std::string> out(1);
  for (char c : text) {
    if (c == sep) out.emplace_back();
    else out.back().push_back(c);
  }
  return out;
}

bool Number(const std::string& text, uint64_t* value) {
  if (text.empty()) return false;
  unsigned __int128 v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<unsigned>(c - '0');
    if (v > UINT64_MAX) return false;
  }
  *value = static_cast<uint64_t>(v);
  return true;
}

void CheckItem(const std::string& input, const std::string& text, const oxsim::FaultItem& item) {
  const std::vector<std::string> f = Cut(text, ':');
  uint64_t v = 0;
  if (item.corrupt && item.hang) Fail(input, "item both corrupt and hang");
  if (item.hang) {
    if (f[0] != "hang" || f.size() != 3) Fail(input, "hang item of bad shape");
    if (item.name != f[1] || !oxsim::IsKnownEntryPoint(item.name) ||
        In(kTextOnly, 3, item.name))
      Fail(input, "hang item names no entry point that can fail");
    if (f[2] == "*") {
      if (item.nth != 0) Fail(input, "'*' did not give every call");
    } else if (!Number(f[2], &v) || v < 1 || item.nth != v) {
      Fail(input, "hang item with call number %llu", static_cast<unsigned long long>(item.nth));
    }
    if (item.has_code || item.rank != 0 || item.index != 0) Fail(input, "hang item with extras");
  } else if (item.corrupt) {
    if (f[0] != "corrupt" || f.size() < 3 || f.size() > 5) Fail(input, "corrupt item of bad shape");
    if (item.name != f[1] || !In(kCorruptible, 6, item.name))
      Fail(input, "corrupt item names no collective");
    if (f[2] == "*") {
      if (item.nth != 0) Fail(input, "'*' did not give every call");
    } else if (!Number(f[2], &v) || v < 1 || item.nth != v) {
      Fail(input, "corrupt item with call number %llu", static_cast<unsigned long long>(item.nth));
    }
    if (item.rank < 0 || (f.size() > 3 && (!Number(f[3], &v) || v != uint64_t(item.rank))) ||
        (f.size() <= 3 && item.rank != 0))
      Fail(input, "corrupt item with rank %d", item.rank);
    if ((f.size() > 4 && (!Number(f[4], &v) || v != item.index)) || (f.size() <= 4 && item.index))
      Fail(input, "corrupt item with a wrong index");
    if (item.has_code) Fail(input, "corrupt item with a code");
  } else {
    if (f[0] == "corrupt" || f[0] == "hang" || f.size() < 2 || f.size() > 3) Fail(input, "plain item of bad shape");
    if (item.name != f[0] || !oxsim::IsKnownEntryPoint(item.name) ||
        In(kTextOnly, 3, item.name))
      Fail(input, "plain item names no entry point that can fail");
    if (item.nth < 1 || !Number(f[1], &v) || v != item.nth)
      Fail(input, "plain item with call number %llu", static_cast<unsigned long long>(item.nth));
    if (item.has_code != (f.size() == 3)) Fail(input, "code present or missing");
    if (item.has_code && (item.code < 1 || !Number(f[2], &v) || v != uint64_t(item.code)))
      Fail(input, "plain item with code %d", item.code);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::vector<oxsim::FaultItem> items(1);
  items[0].name = "untouched";
  std::string error = "untouched";
  const bool ok = oxsim::ParseFaults(text, &items, &error);
  if (oxsim::ParseFaults(text, nullptr, nullptr) != ok) Fail(text, "result depends on the outputs");
  if (!ok) {
    if (items.size() != 1 || items[0].name != "untouched") Fail(text, "items written on failure");
    if (error.empty() || error == "untouched") Fail(text, "refused without a reason");
    if (error.size() > kMaxError) Fail(text, "error of %zu bytes", error.size());
    for (unsigned char c : error)
      if (c < 0x20 || c >= 0x7f) Fail(text, "error with byte 0x%02x: %s", c, error.c_str());
    return 0;
  }
  if (error != "untouched") Fail(text, "error written on success");
  const std::vector<std::string> pieces = text.empty() ? std::vector<std::string>() : Cut(text, ',');
  if (items.size() != pieces.size()) Fail(text, "%zu items for %zu pieces", items.size(), pieces.size());
  for (size_t i = 0; i < items.size(); ++i) CheckItem(text, pieces[i], items[i]);
  return 0;
}
