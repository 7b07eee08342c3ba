// Logging lines: layout, time stamp, tail, folding, threshold, modules, file destination.
#include "log.h"

#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace oxcl_benchmark {
namespace {

// 2024-01-01 00:00:07 UTC, which is 8:00:07 on the wall clock of UTC+8.
std::time_t NewYearClock() { return 1704067207; }
// 2024-03-07 01:05:03 UTC.
std::time_t MarchClock() { return 1709773503; }
// 2023-12-31 20:30:00 UTC: already the next day and year in UTC+8.
std::time_t YearEndClock() { return 1704054600; }
// 2024-10-15 02:10:59 UTC: two-digit fields.
std::time_t OctoberClock() { return 1728958259; }

std::string Pid() { return std::to_string(static_cast<long>(getpid())); }

std::string Head(const std::string& tag, const std::string& module = "LOG_OXCL_BENCHMARK") {
  return "[1-1 8:0:7] [" + module + "] " + tag;
}

std::string Tail(int line, const std::string& process) {
  return "\t[test_log.cpp:" + std::to_string(line) + "  " + process + "]";
}

class LogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetLogClockForTest(&NewYearClock);
    SetLogScreenForTest(&screen_);
    SetLogLevel("INFO");
  }
  void TearDown() override {
    SetLogScreenForTest(nullptr);
    SetLogClockForTest(nullptr);
    SetLogLevel("INFO");
    endLog();
    initOXLog();
  }
  std::string Screen() const { return screen_.str(); }

  std::ostringstream screen_;
};

TEST_F(LogTest, ErrorLineFromMainThreadHasPidOnlyTail) {
  const int line = __LINE__; OXLOG(ERROR) << "boom " << 42;
  EXPECT_EQ(Screen(), Head("[Error]: ") + "boom 42" + Tail(line, "{pid: " + Pid() + "}") + "\n");
}

TEST_F(LogTest, ErrorLineFromWorkerThreadHasPidAndTid) {
  long tid = 0;
  int line = 0;
  std::thread worker([&] {
    tid = static_cast<long>(syscall(SYS_gettid));
    line = __LINE__; OXLOG(ERROR) << "from worker";
  });
  worker.join();
  ASSERT_NE(tid, static_cast<long>(getpid()));
  EXPECT_EQ(Screen(), Head("[Error]: ") + "from worker" +
                          Tail(line, "{pid: " + Pid() + ", tid: " + std::to_string(tid) + "}") +
                          "\n");
}

TEST_F(LogTest, OnlyErrorAndFatalLinesHaveTail) {
  SetLogLevel("DEBUG");
  OXLOG(DEBUG) << "d";
  OXLOG(INFO) << "i";
  OXLOG(WARNING) << "w";
  const int line = __LINE__; OXLOG(FATAL) << "f";
  const std::string tail = Tail(line, "{pid: " + Pid() + "}");
  EXPECT_EQ(Screen(), Head("[Debug]: ") + "d\n" + Head("[Info]: ") + "i\n" +
                          Head("[Warning]: ") + "w\n" + Head("[Fatal]: ") + "f" + tail + "\n");
}

TEST_F(LogTest, UnknownLevelHasNoTagButATail) {
  { LogMessage(LogBaseName(__FILE__), 7, LOG_TO_SCREEN, 9, "LOG_OXCL_BENCHMARK", true, true, true, true).stream() << "x"; }
  EXPECT_EQ(Screen(), Head("") + "x" + Tail(7, "{pid: " + Pid() + "}") + "\n");
}

TEST_F(LogTest, LineFeedsAreFoldedIntoBlanks) {
  OXLOG(WARNING) << "Failed to open liboxcl.so[.1].\n"
                 << "you need add liboxcl.so path to LD_LIBRARY_PATH.";
  OXLOG(INFO) << "a\n\nb" << std::endl;
  EXPECT_EQ(Screen(), Head("[Warning]: ") +
                          "Failed to open liboxcl.so[.1]. you need add liboxcl.so path to "
                          "LD_LIBRARY_PATH.\n" +
                          Head("[Info]: ") + "a  b \n");
}

TEST_F(LogTest, MultiLineMessageKeepsLineFeedsAndGetsNoLineEnd) {
  { LogMessage("f.cpp", 1, LOG_TO_SCREEN, LOG_INFO, "LOG_OXCL_BENCHMARK", true, true, false, true).stream() << "a\nb"; }
  EXPECT_EQ(Screen(), Head("[Info]: ") + "a\nb");
}

TEST_F(LogTest, ThresholdFollowsSetLogLevel) {
  OXLOG(DEBUG) << "hidden";
  EXPECT_EQ(Screen(), "");
  EXPECT_EQ(GetLogLevel(), LOG_INFO);

  const struct {
    const char* name;
    int level;
  } cases[] = {{"DEBUG", 1}, {"WARNING", 3}, {"ERROR", 4}, {"FATAL", 5},
               {"INFO", 2},  {"debug", 2},   {"", 2},      {"VERBOSE", 2}};
  for (const auto& c : cases) {
    SetLogLevel(c.name);
    EXPECT_EQ(GetLogLevel(), c.level) << c.name;
  }

  SetLogLevel("ERROR");
  OXLOG(WARNING) << "dropped";
  const int line = __LINE__; OXLOG(ERROR) << "kept";
  EXPECT_EQ(Screen(), Head("[Error]: ") + "kept" + Tail(line, "{pid: " + Pid() + "}") + "\n");
}

TEST_F(LogTest, CountersCountEmittedLinesOnly) {
  const unsigned long warnings = warningCnt, errors = errorCnt, fatals = fatalCnt;
  OXLOG(WARNING) << "w";
  OXLOG(ERROR) << "e";
  OXLOG(ERROR) << "e";
  OXLOG(FATAL) << "f";
  OXLOG(INFO) << "i";
  SetLogLevel("FATAL");
  OXLOG(ERROR) << "below the threshold";
  EXPECT_EQ(warningCnt - warnings, 1u);
  EXPECT_EQ(errorCnt - errors, 2u);
  EXPECT_EQ(fatalCnt - fatals, 1u);
}

TEST_F(LogTest, ModulesOutsideTheTableAndDisabledLinesPrintNothing) {
  { LogMessage("f.cpp", 1, LOG_TO_SCREEN, LOG_INFO, "DLOG_OXCL_BENCHMARK", true, true, true, true).stream() << "d"; }
  { LogMessage("f.cpp", 1, LOG_TO_SCREEN, LOG_ERROR, "OTHER", true, true, true, true).stream() << "o"; }
  { LogMessage("f.cpp", 1, LOG_TO_SCREEN, LOG_ERROR, "", true, true, true, true).stream() << "o"; }
  { LogMessage("f.cpp", 1, LOG_TO_SCREEN, LOG_ERROR, "LOG_OXCL_BENCHMARK", true, true, true, false).stream() << "off"; }
  { LogMessage("f.cpp", 1, 5, LOG_ERROR, "LOG_OXCL_BENCHMARK", true, true, true, true).stream() << "nowhere"; }
  EXPECT_EQ(Screen(), Head("[Info]: ", "DLOG_OXCL_BENCHMARK") + "d\n");
  // The service's own table must agree with the header's.
  for (const auto& entry : print_modules) EXPECT_EQ(releasePrint(entry.first), entry.second);
  EXPECT_FALSE(releasePrint("LOG_OXCL"));
}

TEST_F(LogTest, LineWithoutHeadIsTheBodyAlone) {
  { LogMessage("f.cpp", 3, LOG_TO_SCREEN, LOG_WARNING, "LOG_OXCL_BENCHMARK", false, false, true, true).stream() << "w"; }
  EXPECT_EQ(Screen(), "w\n");
}

TEST(LogTime, StampIsUtcPlusEightWithoutLeadingZeros) {
  const char* old_tz = std::getenv("TZ");
  const std::string saved = old_tz != nullptr ? old_tz : "";
  // The local zone must not matter.
  setenv("TZ", "America/New_York", 1);
  tzset();
  const struct {
    std::time_t (*clock)();
    const char* stamp;
  } cases[] = {{&NewYearClock, "[1-1 8:0:7] "},
               {&MarchClock, "[3-7 9:5:3] "},
               {&YearEndClock, "[1-1 4:30:0] "},
               {&OctoberClock, "[10-15 10:10:59] "}};
  for (const auto& c : cases) {
    SetLogClockForTest(c.clock);
    EXPECT_EQ(LogMessage::getTime(), c.stamp);
  }
  SetLogClockForTest(nullptr);
  if (old_tz != nullptr) {
    setenv("TZ", saved.c_str(), 1);
  } else {
    unsetenv("TZ");
  }
  tzset();
  // The real clock gives a stamp of the same shape.
  EXPECT_TRUE(std::regex_match(LogMessage::getTime(),
                               std::regex(R"(\[\d+-\d+ \d+:\d+:\d+\] )")));
}

TEST(LogText, ClearEnterReplacesEveryLineFeed) {
  std::string text = "\na\nb\n\n";
  clearEnter(&text);
  EXPECT_EQ(text, " a b  ");
  clearEnter(nullptr);
}

TEST_F(LogTest, InitLogRightAfterStartOpensNoFile) {
  const std::string path = ::testing::TempDir() + "oxlog_untouched.log";
  std::remove(path.c_str());
  EXPECT_EQ(initLog(path), 0);
  EXPECT_FALSE(std::ifstream(path).good());
  EXPECT_EQ(initLogOnlyShow(), 0);
}

TEST_F(LogTest, LogFileGetsTheLinesOfFileDestinations) {
  const std::string path = ::testing::TempDir() + "oxlog_file.log";
  endLog();
  // Logging is off now: nothing reaches the screen.
  OXLOG(ERROR) << "while closed";
  ASSERT_EQ(initLog(path), 1);
  { LogMessage("f.cpp", 1, LOG_TO_FILE, LOG_INFO, "LOG_OXCL_BENCHMARK", true, true, true, true).stream() << "file only"; }
  { LogMessage("f.cpp", 1, LOG_TO_BOTH, LOG_WARNING, "LOG_OXCL_BENCHMARK", true, true, true, true).stream() << "both"; }
  OXLOG(INFO) << "screen only";
  endLog();
  std::ifstream in(path);
  std::stringstream file;
  file << in.rdbuf();
  EXPECT_EQ(file.str(), Head("[Info]: ") + "file only\n" + Head("[Warning]: ") + "both\n");
  EXPECT_EQ(Screen(), Head("[Warning]: ") + "both\n" + Head("[Info]: ") + "screen only\n");

  // Back to screen only, as at start-up.
  EXPECT_EQ(initLogOnlyShow(), 1);
  { LogMessage("f.cpp", 1, LOG_TO_BOTH, LOG_INFO, "LOG_OXCL_BENCHMARK", true, true, true, true).stream() << "x"; }
  EXPECT_EQ(Screen(), Head("[Warning]: ") + "both\n" + Head("[Info]: ") + "screen only\n" +
                          Head("[Info]: ") + "x\n");
}

TEST_F(LogTest, InitLogReportsAnUnopenableFile) {
  endLog();
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(initLog("/nonexistent-dir/sub/x.log"), 0);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "can't init Log, open file failed!\n");
  EXPECT_EQ(initOXLog(), 0);
  OXLOG(INFO) << "again";
  EXPECT_EQ(Screen(), Head("[Info]: ") + "again\n");
}

TEST_F(LogTest, LinesOfConcurrentThreadsNeverInterleave) {
  constexpr int kThreads = 4;
  constexpr int kLines = 200;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < kLines; ++i) OXLOG(WARNING) << "thread " << t << " line " << i;
    });
  }
  for (std::thread& t : threads) t.join();
  const std::regex line_shape(
      R"(\[1-1 8:0:7\] \[LOG_OXCL_BENCHMARK\] \[Warning\]: thread \d line \d+)");
  std::istringstream lines(Screen());
  std::string text;
  int count = 0;
  while (std::getline(lines, text)) {
    ++count;
    EXPECT_TRUE(std::regex_match(text, line_shape)) << text;
  }
  EXPECT_EQ(count, kThreads * kLines);
}

// exit() runs static destructors while a worker still logs: the logging state must outlive them.
TEST(LogExit, WorkerMayLogWhileTheProcessExits) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  for (int round = 0; round < 10; ++round) {
    EXPECT_EXIT(
        {
          std::atomic<bool> started{false};
          std::thread([&started] {
            for (int i = 0;; ++i) {
              OXLOG(ERROR) << "still logging " << i;
              started.store(true);
            }
          }).detach();
          while (!started.load()) std::this_thread::yield();
          std::exit(0);
        },
        ::testing::ExitedWithCode(0), "still logging");
  }
}

}  // namespace
}  // namespace oxcl_benchmark
