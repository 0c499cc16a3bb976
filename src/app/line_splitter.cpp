#include "app/line_splitter.h"

#include <cstring>

#include "util/utf8.h"

namespace vantor::app {

void LineSplitter::append(std::string_view bytes) {
  buffer_.append(bytes);
  for (;;) {
    const char* base = buffer_.data();
    const void* lf = std::memchr(base + scanned_, '\n', buffer_.size() - scanned_);
    if (lf == nullptr) {
      scanned_ = buffer_.size();
      break;
    }
    size_t at = static_cast<const char*>(lf) - base;
    emit(std::string_view(base + consumed_, at - consumed_));
    consumed_ = scanned_ = at + 1;
  }
  // Compact only once the consumed prefix dominates, keeping appends amortised O(1).
  if (consumed_ > 0 && consumed_ * 2 >= buffer_.size()) {
    buffer_.erase(0, consumed_);
    scanned_ -= consumed_;
    consumed_ = 0;
  }
}

void LineSplitter::emit(std::string_view raw) {
  if (!utf8::isValid(raw)) return;
  std::string_view line = utf8::trim(raw);
  if (line.empty()) return;
  sink_(std::string(line));
}

}  // namespace vantor::app
