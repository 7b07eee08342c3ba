// The OXSIM_FAULT grammar: what it accepts, what it rejects, and that no input can crash it.
#include <gtest/gtest.h>

#include <random>

#include "oxsim.h"

namespace {

using oxsim::FaultItem;
using oxsim::ParseFaults;

std::vector<FaultItem> Parse(const std::string& text) {
  std::vector<FaultItem> items;
  std::string error;
  EXPECT_TRUE(ParseFaults(text, &items, &error)) << text << ": " << error;
  return items;
}

TEST(FaultGrammar, PlainItems) {
  auto items = Parse("oxrtMalloc:2");
  ASSERT_EQ(items.size(), 1u);
  EXPECT_FALSE(items[0].corrupt);
  EXPECT_EQ(items[0].name, "oxrtMalloc");
  EXPECT_EQ(items[0].nth, 2u);
  EXPECT_FALSE(items[0].has_code);

  items = Parse("oxrtQueueSync:1:9,oxdevInit:1,OX_MPI_Barrier:3,oxclInitComms:18446744073709551615:2147483647");
  ASSERT_EQ(items.size(), 4u);
  EXPECT_TRUE(items[0].has_code);
  EXPECT_EQ(items[0].code, 9);
  EXPECT_EQ(items[1].name, "oxdevInit");
  EXPECT_EQ(items[2].name, "OX_MPI_Barrier");
  EXPECT_EQ(items[2].nth, 3u);
  EXPECT_EQ(items[3].nth, UINT64_MAX);
  EXPECT_EQ(items[3].code, 2147483647);
  EXPECT_TRUE(Parse("").empty());
}

TEST(FaultGrammar, CorruptItems) {
  auto items = Parse("corrupt:oxclAllReduce:3,corrupt:oxclAllGather:*:5,corrupt:oxclAlltoAll:1:2:99");
  ASSERT_EQ(items.size(), 3u);
  EXPECT_TRUE(items[0].corrupt);
  EXPECT_EQ(items[0].name, "oxclAllReduce");
  EXPECT_EQ(items[0].nth, 3u);
  EXPECT_EQ(items[0].rank, 0);
  EXPECT_EQ(items[0].index, 0u);
  EXPECT_EQ(items[1].nth, 0u) << "'*' is every call";
  EXPECT_EQ(items[1].rank, 5);
  EXPECT_EQ(items[2].rank, 2);
  EXPECT_EQ(items[2].index, 99u);
}

TEST(FaultGrammar, CorruptKinds) {
  auto items = Parse("corrupt:oxclAllReduce:1:0:5,corrupt:oxclAllReduce:1:0:5:far,"
                     "corrupt:oxclAllGather:*:1:2:bit=0,corrupt:oxclAlltoAll:1:0:0:bit=63,"
                     "corrupt:oxclRecv:2:3:4:ulp,corrupt:oxclAllReduce:1:0:0:zero,"
                     "corrupt:oxclAllReduce:1:0:0:nan,corrupt:oxclReduceScatter:1:0:0:drop");
  ASSERT_EQ(items.size(), 8u);
  const oxsim::CorruptKind kinds[] = {
      oxsim::CorruptKind::kFar, oxsim::CorruptKind::kFar,  oxsim::CorruptKind::kBit,
      oxsim::CorruptKind::kBit, oxsim::CorruptKind::kUlp,  oxsim::CorruptKind::kZero,
      oxsim::CorruptKind::kNan, oxsim::CorruptKind::kDrop};
  for (size_t i = 0; i < items.size(); ++i) EXPECT_EQ(items[i].how.kind, kinds[i]) << i;
  EXPECT_EQ(items[2].how.bit, 0u);
  EXPECT_EQ(items[3].how.bit, 63u);
  EXPECT_EQ(items[4].index, 4u);
  for (const char* bad : {"corrupt:oxclAllReduce:1:0:0:bit=64", "corrupt:oxclAllReduce:1:0:0:bit=",
                          "corrupt:oxclAllReduce:1:0:0:bit=-1", "corrupt:oxclAllReduce:1:0:0:Far",
                          "corrupt:oxclAllReduce:1:0:0:", "corrupt:oxclAllReduce:1:0:0:nan:1"}) {
    std::string error;
    EXPECT_FALSE(oxsim::ParseFaults(bad, nullptr, &error)) << bad;
    EXPECT_NE(error.find("KIND"), std::string::npos) << bad << ": " << error;
  }
}

TEST(FaultGrammar, HangItems) {
  auto items = Parse("hang:oxclAllReduce:3,hang:oxrtQueueSync:*,oxrtMalloc:2,hang:OX_MPI_Barrier:1");
  ASSERT_EQ(items.size(), 4u);
  EXPECT_TRUE(items[0].hang);
  EXPECT_FALSE(items[0].corrupt);
  EXPECT_FALSE(items[0].has_code);
  EXPECT_EQ(items[0].name, "oxclAllReduce");
  EXPECT_EQ(items[0].nth, 3u);
  EXPECT_EQ(items[1].nth, 0u) << "'*' is every call";
  EXPECT_FALSE(items[2].hang) << "a plain item beside hang items stays plain";
  EXPECT_EQ(items[3].name, "OX_MPI_Barrier");
}

struct BadInput {
  const char* text;
  const char* named;  // the part of the error that must name the bad item
};

TEST(FaultGrammar, RejectsMalformedValuesNamingTheItem) {
  const BadInput bad[] = {
      {"oxrtMalloc", "'oxrtMalloc'"},                       // no count
      {"oxrtMalloc:", "'oxrtMalloc:'"},                     // empty count
      {"oxrtMalloc:0", "'oxrtMalloc:0'"},                   // counts start at 1
      {"oxrtMalloc:-1", "'oxrtMalloc:-1'"},
      {"oxrtMalloc:+1", "'oxrtMalloc:+1'"},
      {"oxrtMalloc:1x", "'oxrtMalloc:1x'"},
      {"oxrtMalloc: 1", "'oxrtMalloc: 1'"},
      {"oxrtMalloc:18446744073709551616", "18446744073709551616"},  // overflows 64 bits
      {"oxrtMalloc:*", "'oxrtMalloc:*'"},                   // '*' only for corrupt
      {"oxrtMalloc:1:0", "'oxrtMalloc:1:0'"},               // code 0 is success
      {"oxrtMalloc:1:2147483648", "2147483648"},
      {"oxrtMalloc:1:x", "'oxrtMalloc:1:x'"},
      {"oxrtMalloc:1:2:3", "'oxrtMalloc:1:2:3'"},           // too many fields
      {"oxrtMaloc:1", "'oxrtMaloc:1'"},                     // unknown entry point
      {"oxrtGetErrorName:1", "'oxrtGetErrorName:1'"},       // text only, cannot fail
      {":1", "':1'"},
      {"oxrtMalloc:1,", "''"},                              // stray comma
      {",oxrtMalloc:1", "''"},
      {"oxrtMalloc:1,,oxrtFree:1", "''"},
      {"oxrtMalloc:1,bogus", "'bogus'"},                    // the bad one of several
      {"corrupt", "'corrupt'"},
      {"corrupt:oxclAllReduce", "'corrupt:oxclAllReduce'"},
      {"corrupt:oxclAllReduce:0", "'corrupt:oxclAllReduce:0'"},
      {"corrupt:oxclAllReduce:**", "'corrupt:oxclAllReduce:**'"},
      {"corrupt:oxclAllReduce:1:-1", "'corrupt:oxclAllReduce:1:-1'"},
      {"corrupt:oxclAllReduce:1:2147483648", "2147483648"},
      {"corrupt:oxclAllReduce:1:0:x", "'corrupt:oxclAllReduce:1:0:x'"},
      {"corrupt:oxclAllReduce:1:0:0:0", "'corrupt:oxclAllReduce:1:0:0:0'"},
      {"corrupt:oxrtMalloc:1", "'corrupt:oxrtMalloc:1'"},  // not a collective
      {"corrupt:oxclAllReduce:1:", "'corrupt:oxclAllReduce:1:'"},
      {"oxrtMalloc:1\n", "\\x0a"},                          // control bytes shown escaped
      {"hang", "'hang'"},
      {"hang:oxclAllReduce", "'hang:oxclAllReduce'"},
      {"hang:oxclAllReduce:0", "'hang:oxclAllReduce:0'"},
      {"hang:oxclAllReduce:3:5", "'hang:oxclAllReduce:3:5'"},  // no code: it ends in an abort
      {"hang:oxclAllReduce:-1", "'hang:oxclAllReduce:-1'"},
      {"hang:oxclAllReduce:*x", "'hang:oxclAllReduce:*x'"},
      {"hang:oxrtGetErrorName:1", "can hang"},                 // text only, no status to return
      {"hang:oxrtMaloc:1", "'oxrtMaloc' is not an entry point that can hang"},
      {"hang::1", "'hang::1'"},
  };
  for (const BadInput& b : bad) {
    std::vector<FaultItem> items = {FaultItem{}};
    std::string error;
    EXPECT_FALSE(ParseFaults(b.text, &items, &error)) << b.text;
    EXPECT_NE(error.find("bad item"), std::string::npos) << b.text << ": " << error;
    EXPECT_NE(error.find(b.named), std::string::npos) << b.text << ": " << error;
    EXPECT_EQ(error.find('\n'), std::string::npos) << "one line: " << error;
    EXPECT_EQ(items.size(), 1u) << "a rejected value leaves the output alone: " << b.text;
  }
}

// The reason after the quoted item names the bad entry point again; it must be escaped and
// bounded like the item, or the start-up message breaks into several lines or is cut short.
TEST(FaultGrammar, ErrorIsOnePrintableBoundedLine) {
  // Reject() formats "OXSIM_FAULT: <error>" into 900 bytes.
  const size_t max_error = 900 - 1 - std::string("OXSIM_FAULT: ").size();
  const std::string control(300, '\x01');
  const std::string inputs[] = {
      "oxrt\nMalloc:1",  // first reported by fuzz_fault_grammar
      "corrupt:oxcl\rAllReduce:1",
      "oxrtMalloc:1,bad'name:1",
      control + ":1",  // worst case: every byte escaped, in the name too
      "corrupt:" + control + ":1",
      std::string(5000, 'x') + ":1",
  };
  for (const std::string& text : inputs) {
    std::string error;
    ASSERT_FALSE(ParseFaults(text, nullptr, &error));
    EXPECT_LE(error.size(), max_error) << error;
    for (unsigned char c : error) {
      EXPECT_TRUE(c >= 0x20 && c < 0x7f) << "byte " << int(c) << " in: " << error;
      if (c < 0x20 || c >= 0x7f) break;
    }
  }
  std::string error;
  ASSERT_FALSE(ParseFaults("oxrt\nMalloc:1", nullptr, &error));
  EXPECT_EQ(error,
            "bad item 'oxrt\\x0aMalloc:1': 'oxrt\\x0aMalloc' is not an entry point that can fail");
  ASSERT_FALSE(ParseFaults(std::string(250, 'y') + ":1", nullptr, &error));
  EXPECT_EQ(error, "bad item '" + std::string(200, 'y') + "...': '" + std::string(60, 'y') +
                       "...' is not an entry point that can fail")
      << "long items and names are cut, and the cut is marked";
}

TEST(FaultGrammar, NoInputCrashesIt) {
  // Random strings over the grammar's own alphabet hit the parser's corners quickly.
  const std::string alphabet = "oxrtMalcoupAR:*,0123456789-\xff \x01";
  const std::string pieces[] = {"oxrtMalloc", "corrupt", "hang", "oxclAllReduce", ":", ",", "*",
                                "18446744073709551615", "99999999999999999999", "-", ""};
  std::mt19937 rng(12345);
  for (int round = 0; round < 20000; ++round) {
    std::string text;
    const int parts = static_cast<int>(rng() % 12);
    for (int p = 0; p < parts; ++p) {
      if (rng() % 2)
        text += pieces[rng() % (sizeof(pieces) / sizeof(pieces[0]))];
      else
        text += alphabet[rng() % alphabet.size()];
    }
    std::vector<FaultItem> items;
    std::string error;
    const bool ok = ParseFaults(text, &items, &error);
    EXPECT_TRUE(ok || !error.empty()) << text;
    EXPECT_TRUE(ParseFaults(text, nullptr, nullptr) == ok) << "outputs are optional";
  }
}

}  // namespace
