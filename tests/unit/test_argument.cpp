// Drives the command-line parser on fresh contexts, one getopt reset per case.
#include <getopt.h>
#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "argument.h"
#include "context.h"
#include "log.h"

namespace oxcl_benchmark {
namespace {

class ArgumentTest : public ::testing::Test {
 protected:
  void SetUp() override { SetLogScreenForTest(&log_); }
  void TearDown() override {
    SetLogScreenForTest(nullptr);
    SetLogLevel("INFO");
  }

  // Runs the parser over "prog" + words with getopt's global state reset.
  int Parse(std::vector<std::string> words) {
    words.insert(words.begin(), "bench");
    storage_ = words;
    argv_.clear();
    for (std::string& w : storage_) argv_.push_back(&w[0]);
    argv_.push_back(nullptr);
    ctx_ = std::make_unique<Context>();
    optind = 0;
    opterr = 0;
    return arg_.ParseArguments(*ctx_, static_cast<int>(storage_.size()), argv_.data());
  }
  bool Logged(const std::string& text) const { return log_.str().find(text) != std::string::npos; }

  Argument arg_;
  std::unique_ptr<Context> ctx_ = std::make_unique<Context>();
  std::ostringstream log_;
  std::vector<std::string> storage_;
  std::vector<char*> argv_;
};

TEST_F(ArgumentTest, DefaultsStayWithoutOptions) {
  EXPECT_EQ(Parse({}), 0);
  EXPECT_EQ(ctx_->threads, 1u);
  EXPECT_EQ(ctx_->comms, 1u);
  EXPECT_EQ(ctx_->data_type_names, std::vector<std::string>{"float"});
  EXPECT_EQ(ctx_->mode, (std::vector<bool>{true, false}));
}

TEST_F(ArgumentTest, NumbersAndSwitches) {
  EXPECT_EQ(Parse({"-l", "2147483647", "--warmup=0", "-b01", "--root", "3"}), 0);
  EXPECT_EQ(ctx_->loop, 2147483647u);
  EXPECT_EQ(ctx_->warmup_loop, 0u);
  EXPECT_EQ(ctx_->block, 1u);
  EXPECT_EQ(ctx_->root, 3);
  EXPECT_EQ(Parse({"-l", "2147483648"}), 1);
  EXPECT_TRUE(Logged("-l/--loop input is not 0 or a positive integer, please check the input"));
  EXPECT_TRUE(Logged("error msg: Please check the -l/--loop input"));
  EXPECT_EQ(Parse({"-b", "2"}), 1);
  EXPECT_TRUE(Logged("-b/--block input should be 0 or 1, please check the input"));
  EXPECT_EQ(Parse({"-s", "0"}), 1);
  EXPECT_TRUE(Logged("-s/--threads should bigger than 0"));
  EXPECT_EQ(Parse({"--stress_test", "x"}), 1);
  EXPECT_TRUE(Logged("error msg: Please check the --stress_test input"));
}

TEST_F(ArgumentTest, CountsAndOverflow) {
  unsigned long out = 0;
  EXPECT_EQ(arg_.ParseCount(out, "32M"), 0);
  EXPECT_EQ(out, 33554432u);
  EXPECT_EQ(arg_.ParseCount(out, "1G"), 0);
  EXPECT_EQ(out, 1073741824u);
  EXPECT_EQ(arg_.ParseCount(out, "K"), 1);
  EXPECT_TRUE(Logged("Input count cannot less than or equal to 0"));
  EXPECT_EQ(arg_.ParseCount(out, "1k"), 1);
  EXPECT_EQ(arg_.ParseCount(out, "1M5"), 1);
  // 2^64 and 2^54 * 2^30 would wrap to 0; 18446744073709551615 still fits.
  out = 7;
  EXPECT_EQ(arg_.ParseCount(out, "18446744073709551616"), 1);
  EXPECT_EQ(arg_.ParseCount(out, "18014398509481984G"), 1);
  EXPECT_EQ(out, 7u);
  EXPECT_EQ(arg_.ParseCount(out, "18446744073709551615"), 0);
  EXPECT_EQ(Parse({"-n", "99999999999999999999"}), 1);
  EXPECT_TRUE(Logged("error msg: -n input is not supported"));
}

TEST_F(ArgumentTest, SpecialCountsAccumulateSorted) {
  EXPECT_EQ(Parse({"-e", "4M", "--special_count=1M,,1M"}), 0);
  EXPECT_EQ(ctx_->special_count, (std::vector<uint64_t>{1048576, 1048576, 4194304}));
  EXPECT_EQ(Parse({"-e", "1M,x"}), 1);
  EXPECT_TRUE(Logged("error msg: x is not supported"));
  EXPECT_TRUE(Logged("error msg: -e input is not supported"));
}

TEST_F(ArgumentTest, DataTypesReduceOpsModes) {
  EXPECT_EQ(Parse({"-t", "all", "-r", "all"}), 0);
  EXPECT_EQ(ctx_->data_type_names.front(), "bfloat16");
  EXPECT_EQ(ctx_->data_type_names.back(), "uint8");
  EXPECT_EQ(ctx_->max_type_size, 8u);
  EXPECT_EQ(ctx_->reduce_op, (std::vector<oxclReduceOp_t>{oxclMax, oxclMin, oxclProd, oxclSum}));
  EXPECT_EQ(Parse({"-t", "int8,float16", "-r", "sum,max", "-z", "outofplace"}), 0);
  EXPECT_EQ(ctx_->data_type, (std::vector<oxclDataType_t>{oxclInt8, oxclFloat16}));
  EXPECT_EQ(ctx_->max_type_size, 2u);
  EXPECT_EQ(ctx_->reduce_op, (std::vector<oxclReduceOp_t>{oxclSum, oxclMax}));
  EXPECT_EQ(ctx_->mode, std::vector<bool>{false});
  EXPECT_EQ(Parse({"-t", "float32"}), 0);
  EXPECT_EQ(ctx_->data_type_names, std::vector<std::string>{"float"});
  EXPECT_EQ(Parse({"-t", "Float"}), 1);
  EXPECT_TRUE(Logged("Float is not supported yet"));
  EXPECT_EQ(Parse({"-z", "inplace,outofplace"}), 1);
  EXPECT_TRUE(Logged("inplace,outofplace is not supported yet"));
}

// An empty list would leave the worker loop nothing to run.
TEST_F(ArgumentTest, EmptyTypeOrOpListRejected) {
  EXPECT_EQ(Parse({"-t", ",,"}), 1);
  EXPECT_TRUE(Logged(",, is not supported yet"));
  EXPECT_TRUE(Logged("error msg: -t input is not supported"));
  EXPECT_EQ(Parse({"--reduce_op="}), 1);
  EXPECT_TRUE(Logged("error msg: -r input is not supported"));
}

TEST_F(ArgumentTest, CommandLineShapeChecks) {
  EXPECT_EQ(Parse({"-c", "2"}), 1);
  EXPECT_TRUE(Logged("Input --comms should equal to 1 when not use --async"));
  EXPECT_EQ(Parse({"-c", "2", "-y", "1"}), 0);
  EXPECT_EQ(Parse({"-l", "2", "stray", "-w", "3"}), 1);
  EXPECT_EQ(ctx_->warmup_loop, 3u);
  EXPECT_TRUE(Logged("At least one non-option argument exists"));
  EXPECT_EQ(Parse({"-l", "1", "--"}), 1);
  EXPECT_TRUE(Logged("Error: unknown option '--'"));
  EXPECT_EQ(Parse({"-vv"}), 1);
  EXPECT_TRUE(Logged("Should be only -v, please check the input in -v"));
  EXPECT_EQ(Parse({"--help=x"}), 1);
  EXPECT_TRUE(Logged("Please use -h or --help"));
  EXPECT_EQ(Parse({"--m", "1"}), 1);
  EXPECT_EQ(Parse({"--min", "2K", "-p", "results/", "-u", "/tmp/"}), 0);
  EXPECT_EQ(ctx_->mincount, 2048u);
  EXPECT_EQ(ctx_->csv_path, "results/output.csv");
  EXPECT_EQ(ctx_->mem_usage_path, "/tmp/oxcl_mem_usage.csv");
  EXPECT_EQ(Parse({"-V", "stray"}), 3);
}

TEST_F(ArgumentTest, NumberTextsOutsideTheRuleLeaveTheTarget) {
  unsigned long out = 42;
  for (const char* bad : {"", "+1", "-1", "1e3", " 1", "99999999999999999999"}) {
    EXPECT_EQ(arg_.CheckInputNumber(&out, bad, "-l/--loop"), 1) << bad;
    EXPECT_EQ(arg_.CheckBoolNumber(&out, bad, "-b/--block"), 1) << bad;
  }
  EXPECT_EQ(arg_.CheckBoolNumber(&out, "true", "-b/--block"), 1);
  EXPECT_EQ(out, 42u);
  EXPECT_EQ(arg_.CheckBoolNumber(&out, "000", "-b/--block"), 0);
  EXPECT_EQ(out, 0u);
  EXPECT_TRUE(arg_.CheckNumber(""));
  EXPECT_EQ(Parse({"-o", "2147483647"}), 0);
  EXPECT_EQ(ctx_->root, 2147483647);
}

// Options before a stop keep their values; words after help are never looked at.
TEST_F(ArgumentTest, StopsKeepEarlierOptions) {
  EXPECT_EQ(Parse({"-l", "7", "-b", "2", "-w", "9"}), 1);
  EXPECT_EQ(ctx_->loop, 7u);
  EXPECT_EQ(ctx_->warmup_loop, 1u);
  EXPECT_EQ(Parse({"-l5", "-h", "-b", "7"}), 3);
  EXPECT_EQ(ctx_->loop, 5u);
  EXPECT_EQ(ctx_->block, 0u);
  EXPECT_EQ(Parse({"-z", "outofplace", "-z", "both"}), 1);
  EXPECT_EQ(ctx_->mode, std::vector<bool>{false});
  // -v takes no separate word: the threshold drops, the word is rejected at the end.
  EXPECT_EQ(Parse({"-v", "word"}), 1);
  EXPECT_EQ(GetLogLevel(), LOG_DEBUG);
  EXPECT_TRUE(Logged("At least one non-option argument exists"));
}

TEST_F(ArgumentTest, PathsAndEmptyLists) {
  EXPECT_EQ(Parse({"-p", "a/", "--csv_path=results.csv", "--special_count="}), 0);
  EXPECT_EQ(ctx_->csv_path, "results.csv");
  EXPECT_TRUE(ctx_->special_count.empty());
  EXPECT_EQ(Parse({"--csv=", "-e", "5M,1M"}), 0);
  EXPECT_EQ(ctx_->csv_path, "");
  EXPECT_EQ(ctx_->special_count, (std::vector<uint64_t>{1048576, 5242880}));
  EXPECT_EQ(Parse({"-c", "0", "-y", "1"}), 1);
  EXPECT_TRUE(Logged("-c/--comms should bigger than 0"));
  EXPECT_EQ(Parse({"-y", "1", "--comms=2", "-m", "0"}), 1);
  EXPECT_TRUE(Logged("-m/--multifactor should bigger than 0"));
}

std::string ReadGolden(const char* name) {
  std::ifstream in(std::string(OX_GOLDEN_DIR) + "/" + name, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST(ArgumentText, UsageAndVersionMatchGolden) {
  EXPECT_EQ(std::string(kUsageText), ReadGolden("usage.txt"));
  EXPECT_EQ(std::string(kUsageText).size(), 2142u);
  EXPECT_EQ(StrFmt("VERSION: %s\n", kBenchmarkVersion), ReadGolden("version.txt"));
}

}  // namespace
}  // namespace oxcl_benchmark
