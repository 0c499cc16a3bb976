#pragma once
// Where event lines and log lines go. The agent writes to file descriptors
// 1 and 2; tests and the fuzzer install their own sinks before any thread
// starts.

#include <string_view>

namespace vantor {

class LineSink {
 public:
  virtual ~LineSink() = default;
  // `line` includes its terminating newline. Must be safe to call from any thread.
  virtual void writeLine(std::string_view line) = 0;
};

// Writes each line with write(2), continuing after partial writes and EINTR.
// A closed reader (EPIPE) or any other error drops the rest of the line: the
// agent keeps recording even when nobody listens. SIGPIPE must be ignored.
class FdSink final : public LineSink {
 public:
  explicit FdSink(int fd) : fd_(fd) {}
  void writeLine(std::string_view line) override;

 private:
  int fd_;
};

}  // namespace vantor
