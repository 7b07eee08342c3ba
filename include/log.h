// Logging: one time-stamped line per diagnostic on standard error.
#ifndef OXCL_BENCHMARK_LOG_H_
#define OXCL_BENCHMARK_LOG_H_

#include <ctime>
#include <fstream>
#include <map>
#include <mutex>
#include <ostream>
#include <sstream>
#include <string>

namespace oxcl_benchmark {

enum LogLevel { LOG_DEBUG = 1, LOG_INFO = 2, LOG_WARNING = 3, LOG_ERROR = 4, LOG_FATAL = 5 };
enum LogDestination { LOG_TO_FILE = 2, LOG_TO_SCREEN = 3, LOG_TO_BOTH = 4 };

// Module table; each translation unit that includes this header has its own copy.
static const std::map<std::string, bool> print_modules = {{"DLOG_OXCL_BENCHMARK", true},
                                                          {"LOG_OXCL_BENCHMARK", true}};

extern int oxcl_benchmark_log_level;  // threshold: lines of at least this level are emitted
extern bool g_color_print;
extern bool is_open_log;
extern bool is_only_show;
// References to objects that are never destroyed: a worker thread may still log while the
// process runs its exit-time destructors.
extern std::ofstream& logFile;
extern std::ostream& userStream;
extern std::mutex& log_mutex;
extern unsigned long warningCnt, errorCnt, fatalCnt;

// A log line under construction; emitted by the destructor.
class LogMessage {
 public:
  LogMessage(std::string file, int line, int destination, int level, std::string module,
             bool print_head, bool print_tail, bool single_line, bool enabled);
  ~LogMessage();
  LogMessage(const LogMessage&) = delete;
  LogMessage& operator=(const LogMessage&) = delete;

  // The body stream the caller writes the message text into.
  std::ostringstream& stream() { return body_; }
  // "[month-day hour:minute:second] " in UTC+8, no leading zeros; empty if the time is unknown.
  static std::string getTime();
  void printHead(bool colour);
  void printTail(bool colour);

 private:
  std::string file;
  int line;
  int destination;
  int level;
  std::string module;
  bool print_head;
  bool print_tail;
  bool single_line;
  bool enabled;
  std::ostringstream body_;
  std::ostringstream screen_;
  std::ostringstream file_line_;
};

// "DEBUG" 1, "WARNING" 3, "ERROR" 4, "FATAL" 5, anything else 2.
void SetLogLevel(const std::string& name);
int GetLogLevel();
// The module's print flag in this unit's table; false for an unknown module.
bool releasePrint(const std::string& module);
// Turns every line feed into a blank, in place.
void clearEnter(std::string* text);
int initLog(const std::string& path);
int initLogOnlyShow();
int endLog();
int initOXLog();

// Called with the text of every Error and Fatal line, whatever the threshold, before the line
// is written and outside the logging lock; null stops it.
void SetErrorLogObserver(void (*observer)(const std::string& text));

// Test seams: the clock behind getTime (null restores time()), and the screen stream
// (null restores standard error).
void SetLogClockForTest(std::time_t (*clock)());
void SetLogScreenForTest(std::ostream* screen);

// Base name of a source path, at compile time where possible.
constexpr const char* LogBaseName(const char* path) {
  const char* base = path;
  for (const char* p = path; *p != '\0'; ++p) {
    if (*p == '/') base = p + 1;
  }
  return base;
}

}  // namespace oxcl_benchmark

// One statement per line: OXLOG(ERROR) << "text";
#define OXLOG(LEVEL)                                                                         \
  ::oxcl_benchmark::LogMessage(::oxcl_benchmark::LogBaseName(__FILE__), __LINE__,            \
                               ::oxcl_benchmark::LOG_TO_SCREEN, ::oxcl_benchmark::LOG_##LEVEL, \
                               "LOG_OXCL_BENCHMARK", true, true, true, true)                 \
      .stream()

#endif  // OXCL_BENCHMARK_LOG_H_
