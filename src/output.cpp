#include "output.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <vector>

#include "log.h"

namespace oxcl_benchmark {

namespace {

struct Output {
  FILE* file;  // null once closed
  std::string name;
  int error = 0;  // errno of the first failure
  bool reported = false;
};

// Never destroyed: the memory report is closed at exit, after static destructors may have run.
std::mutex& OutputMutex() {
  static std::mutex* mutex = new std::mutex;
  return *mutex;
}
std::vector<Output>& Outputs() {
  static std::vector<Output>* outputs = new std::vector<Output>{{stdout, "the standard output"}};
  return *outputs;
}

Output* Find(FILE* file) {
  for (Output& o : Outputs()) {
    if (o.file == file) return &o;
  }
  return nullptr;
}

// Keeps the first error of `file`: a flush that failed, or an error that an earlier write left
// on the stream (whose data are gone even when this flush has nothing left to write).
void Note(FILE* file, bool failed, int code) {
  if (!failed && std::ferror(file) == 0) return;
  if (code == 0) code = EIO;
  std::lock_guard<std::mutex> lock(OutputMutex());
  Output* o = Find(file);
  if (o != nullptr && o->error == 0) o->error = code;
}

}  // namespace

void NameOutput(FILE* file, const std::string& name) {
  if (file == nullptr) return;
  std::lock_guard<std::mutex> lock(OutputMutex());
  Output* o = Find(file);
  if (o != nullptr) {
    o->name = name;
    o->error = 0;
    o->reported = false;
  } else {
    Outputs().push_back({file, name});
  }
}

bool FlushOutput(FILE* file) {
  if (file == nullptr) return true;
  errno = 0;
  const bool failed = std::fflush(file) != 0;
  const int code = errno;
  Note(file, failed, code);
  return !failed && std::ferror(file) == 0;
}

bool CloseOutput(FILE* file) {
  if (file == nullptr) return true;
  bool ok = FlushOutput(file);
  std::lock_guard<std::mutex> lock(OutputMutex());
  // Found before the close: the pointer means nothing after it.
  Output* o = Find(file);
  if (o != nullptr) o->file = nullptr;
  errno = 0;
  const bool failed = std::fclose(file) != 0;
  const int code = errno == 0 ? EIO : errno;
  if (o != nullptr && failed && o->error == 0) o->error = code;
  return ok && !failed;
}

bool ReportLostOutput() {
  std::vector<std::string> lines;
  bool lost = false;
  {
    std::lock_guard<std::mutex> lock(OutputMutex());
    for (Output& o : Outputs()) {
      if (o.error == 0) continue;
      lost = true;
      if (o.reported) continue;
      o.reported = true;
      lines.push_back("Cannot write " + o.name + ": " + std::strerror(o.error));
    }
  }
  // Logged outside the lock: the log's observers may write files of their own.
  for (const std::string& line : lines) OXLOG(ERROR) << line;
  return lost;
}

void GuardStandardStreams() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    const int filler = open("/dev/null", O_RDONLY);
    if (filler >= 0 && filler != fd) close(filler);
  }
}

}  // namespace oxcl_benchmark
