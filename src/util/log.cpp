#include "util/log.h"

#include <unistd.h>

#include <cerrno>
#include <string>

namespace vantor {

void FdSink::writeLine(std::string_view line) {
  const char* p = line.data();
  size_t left = line.size();
  while (left > 0) {
    ssize_t n = ::write(fd_, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
}

namespace {
FdSink stderrSink(STDERR_FILENO);
LineSink* logSink = &stderrSink;
}  // namespace

void setLogSink(LineSink* sink) { logSink = sink ? sink : &stderrSink; }

void log(LogLevel level, std::string_view message) {
  std::string line;
  line.reserve(message.size() + 10);
  line += level == LogLevel::info ? "[INFO] " : "[ERROR] ";
  line += message;
  line += '\n';
  logSink->writeLine(line);
}

}  // namespace vantor
