// Fuzzes the whole path from standard-input bytes to a dispatched command:
// framing, UTF-8 checks, trimming, JSON decoding and the handlers' replies.
// Output goes to a sink that only checks every line is one whole JSON object.

#include <asio/co_spawn.hpp>
#include <cstdint>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "app/command_loop.h"
#include "app/event_writer.h"
#include "app/line_splitter.h"
#include "app/log.h"

namespace {

class CheckingSink final : public vantor::app::LineSink {
 public:
  explicit CheckingSink(bool events) : events_(events) {}
  void writeLine(std::string_view line) override {
    if (line.empty() || line.back() != '\n') std::abort();
    line.remove_suffix(1);
    if (events_ && (line.find('\n') != std::string_view::npos || !nlohmann::json::accept(line))) std::abort();
  }

 private:
  bool events_;
};

struct Harness {
  CheckingSink events{true};
  CheckingSink logs{false};
  vantor::exec::MainLoop main;
  vantor::CaptureState state{main};
  Harness() {
    vantor::app::setEventSink(&events);
    vantor::app::setLogSink(&logs);
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Harness h;
  std::vector<std::string> lines;
  vantor::app::LineSplitter splitter([&](std::string l) { lines.push_back(std::move(l)); });
  // Two reads split at a data-dependent point, so framing across reads is exercised.
  size_t cut = size ? data[0] % (size + 1) : 0;
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  splitter.append(bytes.substr(0, cut));
  splitter.append(bytes.substr(cut));
  for (const std::string& line : lines) {
    asio::co_spawn(h.main.context(), vantor::app::dispatchLine(line, h.state), [](std::exception_ptr e) {
      if (e) std::abort();
    });
    h.main.run();
  }
  return 0;
}
