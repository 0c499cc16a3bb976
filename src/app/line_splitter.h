#pragma once
// Turns the raw bytes of standard input into command lines.
//
// A line ends at LF. Its bytes must be valid UTF-8; it is then trimmed of
// Unicode white space (CR included) and dropped when nothing is left. Bytes
// after the last LF wait for more input; at end of input they are discarded,
// so a command must end with a newline to be seen.
//
// Not thread-safe: owned by the line reader thread.

#include <functional>
#include <string>
#include <string_view>

namespace vantor::app {

class LineSplitter {
 public:
  using LineSink = std::function<void(std::string line)>;

  explicit LineSplitter(LineSink sink) : sink_(std::move(sink)) {}

  // Appends bytes as they were read and hands every completed line, in order,
  // to the sink.
  void append(std::string_view bytes);

  // Bytes held back waiting for their newline.
  size_t pendingBytes() const { return buffer_.size() - consumed_; }

 private:
  void emit(std::string_view raw);

  LineSink sink_;
  std::string buffer_;
  size_t consumed_ = 0;  // bytes at the front already handed out
  size_t scanned_ = 0;   // bytes known to hold no LF, so long lines are scanned once
};

}  // namespace vantor::app
