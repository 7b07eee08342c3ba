#include "log.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <iostream>

namespace oxcl_benchmark {

namespace {

// The process-wide objects are built on first use and never destroyed, so that a line logged
// during another unit's static initialisation, or by a worker while exit() runs destructors,
// always finds them alive.
std::mutex& LogMutex() {
  static std::mutex* mutex = new std::mutex();
  return *mutex;
}

std::ofstream& LogFileStream() {
  static std::ofstream* file = new std::ofstream();
  return *file;
}

std::ostream& DefaultScreen() {
  // Makes sure standard error's buffer exists even when this runs before <iostream> set it up.
  static std::ios_base::Init ios_init;
  static std::ostream* screen = new std::ostream(std::cerr.rdbuf());
  return *screen;
}

std::atomic<std::time_t (*)()> log_clock{nullptr};
std::atomic<std::ostream*> screen_override{nullptr};
std::atomic<void (*)(const std::string&)> error_observer{nullptr};

// The entries of print_modules in log.h. A constant table here, because the map of this unit
// may not be built yet (static initialisation order) or already gone (exit) when a line comes.
struct ModuleFlag {
  const char* name;
  bool print;
};
constexpr ModuleFlag kModules[] = {{"DLOG_OXCL_BENCHMARK", true}, {"LOG_OXCL_BENCHMARK", true}};

// The colour variant of head and tail writes these around module and tag; they are empty, so
// both variants give the same characters.
constexpr const char* kColourOn = "";
constexpr const char* kColourOff = "";

const char* LevelTag(int level) {
  switch (level) {
    case LOG_DEBUG: return "[Debug]: ";
    case LOG_INFO: return "[Info]: ";
    case LOG_WARNING: return "[Warning]: ";
    case LOG_ERROR: return "[Error]: ";
    case LOG_FATAL: return "[Fatal]: ";
    default: return "";
  }
}

bool ToScreen(int destination) {
  return destination == LOG_TO_SCREEN || destination == LOG_TO_BOTH;
}

bool ToFile(int destination) { return destination == LOG_TO_FILE || destination == LOG_TO_BOTH; }

// "{pid: P, tid: T}", or "{pid: P}" on the main thread, whose thread id is the process id.
std::string ProcessText() {
  const long pid = static_cast<long>(getpid());
  const long tid = static_cast<long>(syscall(SYS_gettid));
  std::string text = "{pid: " + std::to_string(pid);
  if (tid != pid) text += ", tid: " + std::to_string(tid);
  return text + "}";
}

}  // namespace

int oxcl_benchmark_log_level = LOG_INFO;
bool g_color_print = true;
// Constant-initialised to the state the start-up step (initOXLog) leaves: screen-only logging
// from the very first line on, whatever the order of static initialisation.
bool is_open_log = true;
bool is_only_show = true;
std::ofstream& logFile = LogFileStream();
std::ostream& userStream = DefaultScreen();
std::mutex& log_mutex = LogMutex();
unsigned long warningCnt = 0, errorCnt = 0, fatalCnt = 0;

namespace {
// The start-up step; a no-op given the constant initialisation above, kept for its contract.
const int log_init_result = initOXLog();
}  // namespace

LogMessage::LogMessage(std::string file, int line, int destination, int level,
                       std::string module, bool print_head, bool print_tail, bool single_line,
                       bool enabled)
    : file(std::move(file)),
      line(line),
      destination(destination),
      level(level),
      module(std::move(module)),
      print_head(print_head),
      print_tail(print_tail),
      single_line(single_line),
      enabled(enabled) {
  (void)log_init_result;
  if (this->print_head) printHead(ToScreen(this->destination) && g_color_print);
}

LogMessage::~LogMessage() {
  if (!enabled || !releasePrint(module)) return;
  print_tail = level > LOG_WARNING;
  const std::string body = body_.str();
  if (level >= LOG_ERROR) {
    void (*observer)(const std::string&) = error_observer.load(std::memory_order_acquire);
    if (observer != nullptr) observer(body);
  }
  file_line_ << body;
  screen_ << body;
  if (print_tail) printTail(ToScreen(destination) && g_color_print);
  if (!is_open_log) return;
  std::string file_text = file_line_.str();
  std::string screen_text = screen_.str();
  if (single_line) {
    clearEnter(&file_text);
    clearEnter(&screen_text);
    file_text += '\n';
    screen_text += '\n';
  }
  if (level < oxcl_benchmark_log_level) return;

  std::lock_guard<std::mutex> lock(LogMutex());
  if (level == LOG_WARNING) ++warningCnt;
  if (level == LOG_ERROR) ++errorCnt;
  if (level == LOG_FATAL) ++fatalCnt;
  if (ToFile(destination) && !is_only_show) {
    std::ofstream& out = LogFileStream();
    out.write(file_text.data(), static_cast<std::streamsize>(file_text.size()));
    if (single_line) out.flush();
  }
  if (ToScreen(destination)) {
    std::ostream* override = screen_override.load(std::memory_order_acquire);
    std::ostream& out = override != nullptr ? *override : DefaultScreen();
    // One write per line, so that standard error (unbuffered) gets the line in one piece.
    out.write(screen_text.data(), static_cast<std::streamsize>(screen_text.size()));
    if (single_line) out.flush();
  }
}

std::string LogMessage::getTime() {
  std::time_t (*clock)() = log_clock.load(std::memory_order_acquire);
  std::time_t now = clock != nullptr ? clock() : std::time(nullptr);
  // Shift by eight hours and break down as UTC: the wall clock of UTC+8 in any local zone.
  now += 28800;
  std::tm parts{};
  if (gmtime_r(&now, &parts) == nullptr) return std::string();
  char text[64];
  std::snprintf(text, sizeof(text), "[%d-%d %d:%d:%d] ", parts.tm_mon + 1, parts.tm_mday,
                parts.tm_hour, parts.tm_min, parts.tm_sec);
  return text;
}

void LogMessage::printHead(bool colour) {
  file_line_ << getTime() << "[" << module << "] " << LevelTag(level);
  if (!colour) {
    screen_ << file_line_.str();
    return;
  }
  screen_ << getTime() << "[" << kColourOn << module << kColourOff << "] " << kColourOn
          << LevelTag(level) << kColourOff;
}

void LogMessage::printTail(bool colour) {
  const std::string location =
      "\t[" + file + ":" + std::to_string(line) + "  " + ProcessText() + "]";
  file_line_ << location;
  if (colour) {
    screen_ << kColourOn << location << kColourOff;
  } else {
    screen_ << location;
  }
}

void SetLogLevel(const std::string& name) {
  if (name == "DEBUG") {
    oxcl_benchmark_log_level = LOG_DEBUG;
  } else if (name == "WARNING") {
    oxcl_benchmark_log_level = LOG_WARNING;
  } else if (name == "ERROR") {
    oxcl_benchmark_log_level = LOG_ERROR;
  } else if (name == "FATAL") {
    oxcl_benchmark_log_level = LOG_FATAL;
  } else {
    oxcl_benchmark_log_level = LOG_INFO;
  }
}

int GetLogLevel() { return oxcl_benchmark_log_level; }

bool releasePrint(const std::string& module) {
  for (const ModuleFlag& entry : kModules) {
    if (module == entry.name) return entry.print;
  }
  return false;
}

void clearEnter(std::string* text) {
  if (text == nullptr) return;
  for (char& c : *text) {
    if (c == '\n') c = ' ';
  }
}

int initLog(const std::string& path) {
  if (is_open_log) return 0;
  std::ofstream& file = LogFileStream();
  file.open(path, std::ios::out | std::ios::trunc);
  if (!file.is_open()) {
    std::fputs("can't init Log, open file failed!\n", stdout);
    std::fflush(stdout);
    return 0;
  }
  is_open_log = true;
  return 1;
}

int initLogOnlyShow() {
  if (is_open_log) return 0;
  is_only_show = true;
  is_open_log = true;
  return 1;
}

int endLog() {
  std::ofstream& file = LogFileStream();
  if (!is_only_show && file.is_open()) {
    file.flush();
    file.close();
  }
  is_only_show = false;
  is_open_log = false;
  return 0;
}

int initOXLog() {
  if (!is_open_log) {
    is_only_show = true;
    is_open_log = true;
  }
  return 0;
}

void SetLogClockForTest(std::time_t (*clock)()) { log_clock.store(clock, std::memory_order_release); }

void SetErrorLogObserver(void (*observer)(const std::string& text)) {
  error_observer.store(observer, std::memory_order_release);
}

void SetLogScreenForTest(std::ostream* screen) {
  screen_override.store(screen, std::memory_order_release);
}

}  // namespace oxcl_benchmark
