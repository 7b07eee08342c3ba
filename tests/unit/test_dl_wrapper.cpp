// Run-time binding: each case runs the helper process against one stand-in library, chosen by
// LD_LIBRARY_PATH, and checks what it reports and logs.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct ProbeRun {
  int exit_status = -1;
  std::map<std::string, std::string> values;  // the "key=value" lines of standard output
  std::vector<std::string> log;               // the lines of standard error
};

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// Runs the helper with the stand-in library folder `variant` alone on the search path.
ProbeRun RunProbe(const std::string& variant, const std::string& args,
                  const std::string& extra_env = "") {
  static int serial = 0;
  const std::string base = ::testing::TempDir() + "oxcl_dl_probe_" +
                           std::to_string(static_cast<long>(getpid())) + "_" +
                           std::to_string(++serial);
  const std::string out = base + ".out";
  const std::string err = base + ".err";
  const std::string command = "LD_LIBRARY_PATH='" + std::string(OX_FAKE_OXCL_ROOT) + "/" +
                              variant + "' " + extra_env + " '" + OX_DL_PROBE + "' " + args +
                              " >'" + out + "' 2>'" + err + "'";
  ProbeRun run;
  const int status = std::system(command.c_str());
  if (status != -1 && WIFEXITED(status)) run.exit_status = WEXITSTATUS(status);
  std::istringstream lines(ReadFile(out));
  std::string line;
  while (std::getline(lines, line)) {
    const size_t eq = line.find('=');
    if (eq != std::string::npos) run.values[line.substr(0, eq)] = line.substr(eq + 1);
  }
  std::istringstream log(ReadFile(err));
  while (std::getline(log, line)) run.log.push_back(line);
  std::remove(out.c_str());
  std::remove(err.c_str());
  return run;
}

// Log lines that contain `text`.
int CountLines(const ProbeRun& run, const std::string& text) {
  int n = 0;
  for (const std::string& line : run.log) n += line.find(text) != std::string::npos ? 1 : 0;
  return n;
}

std::string AllLog(const ProbeRun& run) {
  std::string text;
  for (const std::string& line : run.log) text += line + "\n";
  return text;
}

constexpr const char* kGroupText =
    "[Error]: oxcl version should largger or equal to v1.12.0, if you want to test group "
    "send/recv\t[";
constexpr const char* kAlltoAllText =
    "[Error]: oxcl version should largger or equal to v1.8.0, if you want to test alltoall\t[";
constexpr const char* kMemSizeText =
    "[Error]: oxcl version should largger or equal to v1.7.0, if you want to get mem usage\t[";

TEST(DlWrapper, NewLibraryBindsAndCallsEveryEntryPoint) {
  const ProbeRun run = RunProbe("full", "calls");
  EXPECT_EQ(run.exit_status, 0);
  EXPECT_EQ(run.values.at("init"), "0");
  EXPECT_EQ(run.values.at("state"), "2");
  EXPECT_EQ(run.values.at("variant"), "full");
  EXPECT_EQ(run.values.at("group_start"), "0");
  EXPECT_EQ(run.values.at("group_end"), "0");
  EXPECT_EQ(run.values.at("alltoall"), "0");
  EXPECT_EQ(run.values.at("alltoall_copied"), "1");
  EXPECT_EQ(run.values.at("memsize"), "0");
  EXPECT_EQ(run.values.at("memsize_value"), "123456789");
  EXPECT_EQ(run.values.at("notify"), "0");
  EXPECT_TRUE(run.log.empty()) << AllLog(run);
}

TEST(DlWrapper, MissingSymbolsGiveDebugLinesThenVersionTextsPerCall) {
  const ProbeRun run = RunProbe("legacy", "-v calls");
  EXPECT_EQ(run.exit_status, 0);
  EXPECT_EQ(run.values.at("init"), "0");
  EXPECT_EQ(run.values.at("state"), "2");
  EXPECT_EQ(run.values.at("variant"), "legacy");
  EXPECT_EQ(run.values.at("group_start"), "1");
  EXPECT_EQ(run.values.at("group_end"), "1");
  EXPECT_EQ(run.values.at("alltoall"), "1");
  EXPECT_EQ(run.values.at("memsize"), "1");
  EXPECT_EQ(run.values.at("memsize_value"), "7");
  // A missing entry point does not stop the run by itself.
  EXPECT_EQ(run.values.at("notify"), "0");
  const std::string log = AllLog(run);
  EXPECT_EQ(CountLines(run, "[Debug]: "), 4) << log;
  for (const char* symbol : {"oxclGroupStart", "oxclGroupEnd", "oxclAlltoAll",
                             "_ZN4oxcl20oxclGetOxwireMemSizeEPm"}) {
    EXPECT_EQ(CountLines(run, std::string("undefined symbol: ") + symbol), 1) << symbol << log;
  }
  EXPECT_EQ(CountLines(run, kGroupText), 2) << log;
  EXPECT_EQ(CountLines(run, kAlltoAllText), 1) << log;
  EXPECT_EQ(CountLines(run, kMemSizeText), 1) << log;
  EXPECT_EQ(run.log.size(), 8u) << log;
}

TEST(DlWrapper, MissingSymbolsAreSilentWithoutDebugLevel) {
  const ProbeRun run = RunProbe("legacy", "calls");
  EXPECT_EQ(CountLines(run, "[Debug]: "), 0);
  EXPECT_EQ(CountLines(run, "[Error]: "), 4);
}

TEST(DlWrapper, LibraryOnlyUnderTheVersionedNameIsBound) {
  const ProbeRun run = RunProbe("versioned", "calls");
  EXPECT_EQ(run.values.at("init"), "0");
  EXPECT_EQ(run.values.at("variant"), "versioned");
  EXPECT_EQ(run.values.at("group_start"), "0");
  EXPECT_EQ(run.values.at("memsize_value"), "123456789");
  EXPECT_TRUE(run.log.empty()) << AllLog(run);
}

TEST(DlWrapper, UnloadableLibraryFailsWithOneWarningLine) {
  const ProbeRun run = RunProbe("missing", "calls");
  EXPECT_EQ(run.values.at("init"), "1");
  EXPECT_EQ(run.values.at("state"), "3");
  EXPECT_EQ(run.values.at("variant"), "none");
  EXPECT_EQ(run.values.at("group_start"), "1");
  EXPECT_EQ(run.values.at("alltoall"), "1");
  EXPECT_EQ(run.values.at("memsize"), "1");
  EXPECT_EQ(run.values.at("notify"), "0");
  ASSERT_EQ(run.log.size(), 5u) << AllLog(run);
  const std::string& warning = run.log[0];
  const std::string text =
      "[LOG_OXCL_BENCHMARK] [Warning]: Failed to open liboxcl.so[.1]. you need add liboxcl.so "
      "path to LD_LIBRARY_PATH.";
  ASSERT_GE(warning.size(), text.size());
  EXPECT_EQ(warning.substr(warning.size() - text.size()), text) << warning;
  EXPECT_EQ(warning[0], '[');
}

TEST(DlWrapper, BindingIsKeptUntilCloseAndRenewedAfter) {
  const ProbeRun run = RunProbe("full", "repeat");
  EXPECT_EQ(run.values.at("init1"), "0");
  EXPECT_EQ(run.values.at("init2"), "0");
  EXPECT_EQ(run.values.at("state_after_close"), "0");
  EXPECT_EQ(run.values.at("pointer_after_close"), "0");
  // The second init_wrap took no second handle, so one close unloads the library.
  EXPECT_EQ(run.values.at("loaded_after_close"), "0");
  EXPECT_EQ(run.values.at("init3"), "0");
  EXPECT_EQ(run.values.at("variant"), "full");
  EXPECT_EQ(run.values.at("memsize"), "0");
  EXPECT_EQ(run.values.at("memsize_value"), "123456789");
  EXPECT_EQ(run.values.at("loaded_at_end"), "0");
}

TEST(DlWrapper, FailedBindingIsFinalUntilClose) {
  const ProbeRun run = RunProbe("missing", "repeat");
  EXPECT_EQ(run.values.at("init1"), "1");
  EXPECT_EQ(run.values.at("init2"), "1");
  EXPECT_EQ(run.values.at("state_after_close"), "0");
  EXPECT_EQ(run.values.at("init3"), "1");
  // One attempt before close_wrap (the second call does not retry), one after.
  EXPECT_EQ(CountLines(run, "[Warning]: Failed to open liboxcl.so[.1]."), 2) << AllLog(run);
}

TEST(DlWrapper, FailingCallLogsTheLibraryTextAndStopsTheRun) {
  const ProbeRun run = RunProbe("full", "calls", "OXTEST_FAKE_STATUS=7");
  EXPECT_EQ(run.values.at("init"), "0");
  EXPECT_EQ(run.values.at("group_start"), "1");
  EXPECT_EQ(run.values.at("group_end"), "1");
  EXPECT_EQ(run.values.at("alltoall"), "1");
  EXPECT_EQ(run.values.at("memsize"), "1");
  EXPECT_EQ(run.values.at("memsize_value"), "7");
  EXPECT_EQ(run.values.at("notify"), "4");
  EXPECT_EQ(CountLines(run, "[Error]: error msg: probe text for status 7\t[dl_wrapper.cpp:"), 4)
      << AllLog(run);
  EXPECT_EQ(run.log.size(), 4u) << AllLog(run);
}

TEST(DlWrapper, ConcurrentInitBindsOnce) {
  const ProbeRun run = RunProbe("full", "concurrent 8");
  EXPECT_EQ(run.values.at("results"), "00000000");
  EXPECT_EQ(run.values.at("state"), "2");
  EXPECT_EQ(run.values.at("bound_all"), "1");
  EXPECT_EQ(run.values.at("loaded_after_close"), "0");

  const ProbeRun legacy = RunProbe("legacy", "-v concurrent 8");
  EXPECT_EQ(legacy.values.at("results"), "00000000");
  EXPECT_EQ(legacy.values.at("bound_all"), "0");
  EXPECT_EQ(CountLines(legacy, "[Debug]: "), 4) << AllLog(legacy);

  const ProbeRun missing = RunProbe("missing", "concurrent 8");
  EXPECT_EQ(missing.values.at("results"), "11111111");
  EXPECT_EQ(missing.values.at("state"), "3");
  EXPECT_EQ(CountLines(missing, "[Warning]: "), 1) << AllLog(missing);
}

}  // namespace
