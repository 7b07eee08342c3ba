// The run record: its JSON text, the atomic write, and one run through the hooks.
#include "record.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>

#include "context.h"
#include "oxmpi_wrapper.h"
#include "run_facts.h"

namespace oxcl_benchmark {
namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// A fresh directory under the test's temporary folder.
std::string ScratchDir(const std::string& name) {
  const char* tmp = std::getenv("TMPDIR");
  std::string dir = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/record_test_" +
                    name + "_" + std::to_string(getpid());
  mkdir(dir.c_str(), 0755);
  return dir;
}

TEST(RecordJson, StringsStayValidJson) {
  EXPECT_EQ(JsonString("plain"), "\"plain\"");
  EXPECT_EQ(JsonString("a\"b\\c"), "\"a\\\"b\\\\c\"");
  EXPECT_EQ(JsonString("l1\nl2\t\r"), "\"l1\\nl2\\t\\r\"");
  // int8 values are shown as characters by the data check: control bytes must be escaped.
  EXPECT_EQ(JsonString(std::string("\x06\x00\x7f", 3)), "\"\\u0006\\u0000\\u007f\"");
  // Valid UTF-8 passes unchanged; any other byte becomes the code point of its value.
  EXPECT_EQ(JsonString("caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"),
            "\"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80\"");
  EXPECT_EQ(JsonString("\xff\x80"), "\"\\u00ff\\u0080\"");
  EXPECT_EQ(JsonString("\xe2\x82"), "\"\\u00e2\\u0082\"") << "a sequence cut short";
  EXPECT_EQ(JsonString("\xc0\xaf"), "\"\\u00c0\\u00af\"") << "an overlong form";
  EXPECT_EQ(JsonString("\xed\xa0\x80"), "\"\\u00ed\\u00a0\\u0080\"") << "a surrogate";
}

RunRecord SmallRecord() {
  RunRecord r;
  r.program = "bench-allgather";
  r.command_line = {"bench-allgather", "-d", "1"};
  r.started = "2026-12-08T10:11:12Z";
  r.configured = true;
  r.collective = "AllGather";
  r.datacheck = true;
  r.loop = 3;
  r.warmup = 1;
  r.threads = 2;
  r.comms = 1;
  r.processes = 1;
  r.ranks = 2;
  r.hosts = {"h"};
  r.rank_cards = {{0, 0, "h", 0, 1}, {1, 0, "h", 1, -1}};
  r.versions = {{"card", "OPU-SIM"}, {"oxcl", "1.12.0"}};
  r.suite_version = "1.1.0";
  r.build_type = "Release";
  r.libraries = {{"liboxcl.so.1", "/opt/ox/lib/liboxcl.so.1.12.0"}};
  r.environment = {{"BENCHMARK_REPEAT", "3"}, {"OXSIM_LINK_GBPS", "2"}};
  r.cpu_model = "Some CPU";
  r.cpus = 16;
  r.verdict = "FAILED";
  RecordRow row;
  row.bytes = 32;
  row.count = 4;
  row.type = "int32";
  row.inplace = false;
  row.latency_us = 1.0 / 3.0;
  row.algbw_gbs = 0.1;
  row.busbw_gbs = std::numeric_limits<double>::infinity();
  row.errors = 2;
  row.has_rank_time = true;
  row.rank_time_us = {0.25, 0.5, 0.75, 1, 0};
  row.first_error = {1, 7, "3", "4"};
  row.samples_us = {0.5, 1.0 / 3.0, 0.25};
  r.rows.push_back(row);
  return r;
}

TEST(RecordJson, EveryFieldByItsName) {
  EXPECT_EQ(SmallRecord().ToJson(),
            "{\n"
            "  \"schema_version\": 2,\n"
            "  \"program\": \"bench-allgather\",\n"
            "  \"collective\": \"AllGather\",\n"
            "  \"command_line\": [\"bench-allgather\", \"-d\", \"1\"],\n"
            "  \"alltoall_api\": null,\n"
            "  \"clock\": \"host\",\n"
            "  \"datacheck\": true,\n"
            "  \"stress\": false,\n"
            "  \"loop\": 3,\n"
            "  \"warmup\": 1,\n"
            "  \"threads\": 2,\n"
            "  \"comms\": 1,\n"
            "  \"processes\": 1,\n"
            "  \"ranks\": 2,\n"
            "  \"hosts\": [\"h\"],\n"
            "  \"rank_cards\": [\n"
            "    {\"rank\": 0, \"process\": 0, \"host\": \"h\", \"card\": 0, \"numa_node\": 1},\n"
            "    {\"rank\": 1, \"process\": 0, \"host\": \"h\", \"card\": 1, \"numa_node\": null}\n"
            "  ],\n"
            "  \"versions\": {\"card\": \"OPU-SIM\", \"oxcl\": \"1.12.0\"},\n"
            // An unknown revision and NUMA node count are null.
            "  \"suite_version\": \"1.1.0\",\n"
            "  \"revision\": null,\n"
            "  \"build_type\": \"Release\",\n"
            "  \"libraries\": {\"liboxcl.so.1\": \"/opt/ox/lib/liboxcl.so.1.12.0\"},\n"
            "  \"environment\": {\"BENCHMARK_REPEAT\": \"3\", \"OXSIM_LINK_GBPS\": \"2\"},\n"
            "  \"host\": {\"cpu_model\": \"Some CPU\", \"cpus\": 16, \"numa_nodes\": null},\n"
            "  \"started\": \"2026-12-08T10:11:12Z\",\n"
            "  \"verdict\": \"FAILED\",\n"
            "  \"error\": null,\n"
            "  \"rows\": [\n"
            // Unrounded: the shortest text that reads back as the same double; JSON has no
            // infinity, so a division by a zero time is null.
            "    {\"bytes\": 32, \"count\": 4, \"type\": \"int32\", \"redop\": null, "
            "\"mode\": \"outofplace\", \"latency_us\": 0.3333333333333333, \"algbw_gbs\": 0.1, "
            "\"busbw_gbs\": null, \"errors\": 2, \"rank_time_us\": {\"min\": 0.25, "
            "\"median\": 0.5, \"max\": 0.75, \"min_rank\": 1, \"max_rank\": 0}, "
            "\"first_error\": {\"rank\": 1, \"index\": 7, \"expected\": \"3\", "
            "\"received\": \"4\"}, \"samples_us\": [0.5, 0.3333333333333333, 0.25], "
            "\"stats\": {\"min\": 0.25, \"p10\": 0.26666666666666666, "
            "\"median\": 0.3333333333333333, \"p90\": 0.4666666666666667, \"max\": 0.5, "
            "\"mean\": 0.3611111111111111, \"stdev\": 0.1272937693043289, "
            "\"cv\": 0.3525058226889108}}\n"
            "  ]\n"
            "}\n");
}

TEST(RecordJson, RunEndedBeforeItsSettingsWereKnown) {
  RunRecord r;
  r.program = "bench-allreduce";
  r.error = "-s/--threads should bigger than 0";
  const std::string j = r.ToJson();
  for (const char* field : {"collective", "alltoall_api", "clock", "datacheck", "loop", "ranks",
                            "hosts", "rank_cards", "versions", "libraries", "verdict"}) {
    EXPECT_NE(j.find(std::string("\"") + field + "\": null,"), std::string::npos) << field;
  }
  EXPECT_NE(j.find("\"error\": \"-s/--threads should bigger than 0\","), std::string::npos);
  EXPECT_NE(j.find("\"rows\": []\n}"), std::string::npos);
}

TEST(RecordSpread, MedianAndTheLowestRankOfTies) {
  RankSpread s = SpreadOf({{3, 2.0}, {0, 5.0}, {1, 2.0}, {2, 5.0}, {4, 3.0}});
  EXPECT_EQ(s.min, 2.0);
  EXPECT_EQ(s.min_rank, 1);
  EXPECT_EQ(s.max, 5.0);
  EXPECT_EQ(s.max_rank, 0);
  EXPECT_EQ(s.median, 3.0);
  s = SpreadOf({{0, 4.0}, {1, 1.0}, {2, 2.0}, {3, 8.0}});
  EXPECT_EQ(s.median, 3.0) << "even count: the mean of the middle two";
  EXPECT_EQ(s.min_rank, 1);
  EXPECT_EQ(s.max_rank, 3);
  s = SpreadOf({{5, 7.5}});
  EXPECT_EQ(s.min, 7.5);
  EXPECT_EQ(s.median, 7.5);
  EXPECT_EQ(s.max_rank, 5);
  EXPECT_EQ(SpreadOf({}).min_rank, -1);
}

TEST(RunFacts, CpuListsAndModel) {
  EXPECT_EQ(ParseCpuList("0-3,8,10-11\n"), (std::vector<int>{0, 1, 2, 3, 8, 10, 11}));
  EXPECT_EQ(ParseCpuList("5"), std::vector<int>{5});
  for (const char* bad : {"", "\n", "3-1", "a", "1,,2", "0-", "-1", "1-2x", "0-99999999"})
    EXPECT_TRUE(ParseCpuList(bad).empty()) << bad;
  EXPECT_EQ(CpuModelFrom("processor\t: 0\nvendor_id\t: X\nmodel name\t: Some CPU @ 2GHz\n"
                         "processor\t: 1\nmodel name\t: Other\n"),
            "Some CPU @ 2GHz");
  EXPECT_EQ(CpuModelFrom("processor : 0\nmodel : 7\n"), "");
}

TEST(RunFacts, EnvironmentByPrefixSorted) {
  setenv("OXSIM_ZZ_TEST", "a=b", 1);
  setenv("BENCHMARK_ZZ_TEST", "", 1);
  setenv("OTHER_ZZ_TEST", "x", 1);
  const NamedValues env = EnvironmentWith({"BENCHMARK_", "OXSIM_"});
  EXPECT_TRUE(std::is_sorted(env.begin(), env.end()));
  const auto has = [&env](const std::string& name, const std::string& value) {
    return std::find(env.begin(), env.end(), std::make_pair(name, value)) != env.end();
  };
  EXPECT_TRUE(has("OXSIM_ZZ_TEST", "a=b"));
  EXPECT_TRUE(has("BENCHMARK_ZZ_TEST", ""));
  EXPECT_FALSE(has("OTHER_ZZ_TEST", "x"));
  for (const char* name : {"OXSIM_ZZ_TEST", "BENCHMARK_ZZ_TEST", "OTHER_ZZ_TEST"}) unsetenv(name);
}

TEST(RecordFile, PathsAndTimes) {
  const std::string dir = ScratchDir("paths");
  EXPECT_EQ(RecordFilePath("out/", "bench-alltoall"), "out/bench-alltoall.json");
  EXPECT_EQ(RecordFilePath(dir, "bench-alltoall"), dir + "/bench-alltoall.json");
  EXPECT_EQ(RecordFilePath(dir + "/r.json", "bench-alltoall"), dir + "/r.json");
  EXPECT_EQ(IsoUtc(0), "1970-01-01T00:00:00Z");
  EXPECT_EQ(IsoUtc(1796724672), "2026-12-08T10:11:12Z");
  rmdir(dir.c_str());
}

TEST(RecordFile, WriteReplacesWholeAndLeavesNoTemporary) {
  const std::string dir = ScratchDir("write");
  const std::string path = dir + "/r.json";
  const std::string temp = path + ".tmp." + std::to_string(getpid());
  std::string error;
  ASSERT_TRUE(WriteFileAtomically(path, "first, and longer\n", &error)) << error;
  ASSERT_TRUE(WriteFileAtomically(path, "second\n", &error)) << error;
  EXPECT_EQ(ReadFile(path), "second\n");
  EXPECT_NE(access(path.c_str(), F_OK), -1);
  EXPECT_EQ(access(temp.c_str(), F_OK), -1);

  // A name that is a folder is refused; what was there stays and no temporary file is left.
  const std::string folder = dir + "/taken";
  mkdir(folder.c_str(), 0755);
  EXPECT_FALSE(WriteFileAtomically(folder, "x", &error));
  EXPECT_NE(error.find("is a directory, not a regular file"), std::string::npos) << error;
  struct stat st{};
  EXPECT_TRUE(stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode));
  EXPECT_EQ(access((folder + ".tmp." + std::to_string(getpid())).c_str(), F_OK), -1);
  EXPECT_FALSE(WriteFileAtomically(dir + "/missing/r.json", "x", &error));
  EXPECT_NE(error.find("No such file or directory"), std::string::npos) << error;
  unlink(path.c_str());
  rmdir(folder.c_str());
  rmdir(dir.c_str());
}

mode_t ModeOf(const std::string& path, bool follow = true) {
  struct stat st{};
  if ((follow ? stat(path.c_str(), &st) : lstat(path.c_str(), &st)) != 0) return 0;
  return st.st_mode;
}

TEST(RecordFile, WriteOnlyReplacesRegularFiles) {
  const std::string dir = ScratchDir("targets");
  std::string error;
  // A read-only file is replaced and stays read-only.
  const std::string locked = dir + "/locked.json";
  ASSERT_TRUE(WriteFileAtomically(locked, "old\n", &error)) << error;
  ASSERT_EQ(chmod(locked.c_str(), 0444), 0);
  ASSERT_TRUE(WriteFileAtomically(locked, "new\n", &error)) << error;
  EXPECT_EQ(ReadFile(locked), "new\n");
  EXPECT_EQ(ModeOf(locked) & 07777, 0444u);

  // A link is followed: its target gets the record, the link stays a link; a dangling link
  // creates the file it names.
  const std::string link = dir + "/link.json";
  ASSERT_EQ(symlink("locked.json", link.c_str()), 0);
  ASSERT_TRUE(WriteFileAtomically(link, "through the link\n", &error)) << error;
  EXPECT_TRUE(S_ISLNK(ModeOf(link, false)));
  EXPECT_EQ(ReadFile(locked), "through the link\n");
  const std::string dangling = dir + "/dangling.json";
  ASSERT_EQ(symlink((dir + "/made.json").c_str(), dangling.c_str()), 0);
  ASSERT_TRUE(WriteFileAtomically(dangling, "made\n", &error)) << error;
  EXPECT_EQ(ReadFile(dir + "/made.json"), "made\n");
  EXPECT_TRUE(S_ISLNK(ModeOf(dangling, false)));

  // A FIFO, a device (also behind a link) are refused and left as they were.
  const std::string fifo = dir + "/fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  EXPECT_FALSE(WriteFileAtomically(fifo, "x", &error));
  EXPECT_NE(error.find("is a FIFO"), std::string::npos) << error;
  EXPECT_TRUE(S_ISFIFO(ModeOf(fifo)));
  const std::string to_device = dir + "/null.json";
  ASSERT_EQ(symlink("/dev/null", to_device.c_str()), 0);
  std::string target;
  mode_t mode = 0;
  EXPECT_FALSE(ResolveRecordTarget(to_device, &target, &mode, &error));
  EXPECT_NE(error.find("/dev/null is a character device"), std::string::npos) << error;
  EXPECT_FALSE(ResolveRecordTarget("/dev/full", &target, &mode, &error));
  const std::string loop = dir + "/loop.json";
  ASSERT_EQ(symlink("loop.json", loop.c_str()), 0);
  EXPECT_FALSE(WriteFileAtomically(loop, "x", &error));
  for (const std::string& name : {locked, link, dangling, dir + "/made.json", fifo, to_device, loop}) {
    unlink(name.c_str());
  }
  EXPECT_EQ(rmdir(dir.c_str()), 0) << "a temporary file was left behind";
}

// One process of two workers through the hooks, as main and the worker loop call them, ending
// in a failure after one row: the record holds the row, its spread, its first mismatch and
// the failure. The hooks keep process-wide state, so this is the only test that calls them.
TEST(RecordHooks, FailedRunKeepsRowsAndFailure) {
  const std::string dir = ScratchDir("hooks");
  ASSERT_EQ(setenv("BENCHMARK_RECORD", (dir + "/").c_str(), 1), 0);
  char arg0[] = "/path/to/bench-allreduce";
  char arg1[] = "-s";
  char arg2[] = "2";
  char* argv[] = {arg0, arg1, arg2, nullptr};
  RecordBegin(3, argv);
  const std::string path = dir + "/bench-allreduce.json";

  EXPECT_EQ(RecordEnd(BENCHMARK_QUIT), BENCHMARK_QUIT);
  EXPECT_EQ(access(path.c_str(), F_OK), -1) << "help or version is no run";

  int argc = 0;
  char** no_argv = nullptr;
  ASSERT_EQ(OX_MPI_Init(&argc, &no_argv), 0);
  Context ctx;
  ctx.threads = 2;
  ctx.loop = 4;
  ctx.datacheck = 1;
  ctx.host_name = "node-a";
  ctx.card_name = "OPU-SIM";
  ctx.rank_list = {0, 1};
  ctx.dev_list = {2, 3};
  ASSERT_EQ(RecordConfigure(&ctx, "AllReduce"), BENCHMARK_SUCCESS);
  EXPECT_TRUE(RecordKept());
  RecordTitle(ctx, "AllReduce");
  // 4 iterations in 8 and 2 milliseconds: 2000 and 500 microseconds per operation.
  RecordLoopTimes(0, {8.0});
  RecordLoopTimes(1, {2.0});
  RecordMismatch(1, 1, 3, "5", "6");
  RecordMismatch(1, 1, 2, "7", "8");
  RecordMismatch(0, 0, 9, "1", "2");
  RecordGatherStep(&ctx, 0);
  RecordRow row;
  row.bytes = 16;
  row.count = 4;
  row.type = "float";
  row.redop = "sum";
  row.latency_us = 2000.0;
  row.errors = 3;
  RecordAddRow(row);
  // Three blocks: the spread is that of thread 0's median block (its second, 12 ms).
  ctx.repeat = 3;
  RecordLoopTimes(0, {20.0, 12.0, 4.0});
  RecordLoopTimes(1, {1.0, 6.0, 1.0});
  RecordGatherStep(&ctx, 0);
  row.latency_us = 3000.0;
  row.samples_us = {5000.0, 3000.0, 1000.0};
  RecordAddRow(row);
  row.samples_us.clear();
  RecordAddRow(row);  // no gather in between: no spread, no mismatch
  RecordFailure("error msg: internal error");
  RecordFailure("a later message");
  EXPECT_EQ(RecordEnd(BENCHMARK_FAILURE), BENCHMARK_FAILURE);
  EXPECT_EQ(OX_MPI_Finalize(), 0);

  const std::string j = ReadFile(path);
  EXPECT_NE(j.find("\"program\": \"bench-allreduce\",\n"), std::string::npos) << j;
  EXPECT_NE(j.find("\"command_line\": [\"/path/to/bench-allreduce\", \"-s\", \"2\"],"),
            std::string::npos);
  EXPECT_NE(j.find("\"ranks\": 2,"), std::string::npos);
  // The NUMA node is this host's: a number or null.
  EXPECT_NE(j.find("{\"rank\": 1, \"process\": 0, \"host\": \"node-a\", \"card\": 3, "
                   "\"numa_node\": "),
            std::string::npos);
  EXPECT_NE(j.find("\"verdict\": null,\n  \"error\": \"error msg: internal error\","),
            std::string::npos);
  EXPECT_NE(j.find("\"rank_time_us\": {\"min\": 500, \"median\": 1250, \"max\": 2000, "
                   "\"min_rank\": 1, \"max_rank\": 0}, \"first_error\": {\"rank\": 0, "
                   "\"index\": 9, \"expected\": \"1\", \"received\": \"2\"}, "
                   "\"samples_us\": [2000], \"stats\": {\"min\": 2000, \"p10\": 2000, "
                   "\"median\": 2000, \"p90\": 2000, \"max\": 2000, \"mean\": 2000, "
                   "\"stdev\": 0, \"cv\": 0}}"),
            std::string::npos)
      << "one block without samples: the row's latency is its one sample";
  EXPECT_NE(j.find("\"rank_time_us\": {\"min\": 1500, \"median\": 2250, \"max\": 3000, "
                   "\"min_rank\": 1, \"max_rank\": 0}, \"first_error\": null, "
                   "\"samples_us\": [5000, 3000, 1000]"),
            std::string::npos)
      << j;
  EXPECT_NE(j.find("\"rank_time_us\": null, \"first_error\": null, \"samples_us\": [3000], "),
            std::string::npos);
  unlink(path.c_str());
  rmdir(dir.c_str());
}

}  // namespace
}  // namespace oxcl_benchmark
