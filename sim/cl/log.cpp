#include "log.h"

#include <cstdarg>
#include <cstdio>
#include <unistd.h>

namespace oxcl_sim {

void Report(const char* format, ...) {
  char line[512];
  int used = snprintf(line, sizeof line, "oxcl: ");
  va_list args;
  va_start(args, format);
  int body = vsnprintf(line + used, sizeof line - used - 1, format, args);
  va_end(args);
  size_t len = used + (body < 0 ? 0 : body);
  if (len > sizeof line - 2) len = sizeof line - 2;  // truncated: keep room for the newline
  line[len++] = '\n';
  // One write call keeps the line whole when several ranks report at once.
  ssize_t ignored = write(STDERR_FILENO, line, len);
  (void)ignored;
}

}  // namespace oxcl_sim
