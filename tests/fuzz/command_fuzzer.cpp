// Fuzzes the whole path from standard-input bytes to a dispatched command:
// framing, UTF-8 checks, trimming, JSON decoding and the handlers' replies.
// Output goes to a sink that only checks every line is one whole JSON object.

#include <unistd.h>

#include <asio/co_spawn.hpp>
#include <cstdint>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "app/command_loop.h"
#include "app/event_writer.h"
#include "app/line_splitter.h"
#include "util/log.h"
#include "platform/sim/sim_audio.h"
#include "platform/sim/sim_media.h"
#include "platform/sim/sim_screen_capture.h"

namespace {

class CheckingSink final : public vantor::LineSink {
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

// Starts whose output path could leave the scratch folder are decoded but not run.
bool staysInScratch(const std::string& line) {
  auto fields = vantor::app::parseCommandFields(line);
  if (!fields) return true;
  auto start = vantor::app::decodeStartCommand(*fields);
  if (!start) return true;
  return !start->outputPath.starts_with('/') && start->outputPath.find("..") == std::string::npos;
}

struct Harness {
  CheckingSink eventSink{true};
  CheckingSink logs{false};
  vantor::exec::MainLoop main;
  vantor::platform::sim::SimScreenCapture screenCapture;
  vantor::platform::sim::SimMediaServices media;
  vantor::platform::sim::SimAudioInput microphone;
  vantor::platform::sim::SimSystemAudio systemAudio;
  vantor::app::EventLines events;
  vantor::CaptureState state{main, {screenCapture, media, {microphone, systemAudio}, {}}, events};
  vantor::app::Protocol protocol{events, {.version = "fuzz", .platform = "x11"}};
  Harness() {
    vantor::app::setEventSink(&eventSink);
    vantor::setLogSink(&logs);
    screenCapture.displays = {{1, 1920, 1080}};
    // A start creates the output's directory: keep that inside a scratch folder.
    char scratch[] = "/tmp/vantor-fuzz-XXXXXX";
    if (!mkdtemp(scratch) || chdir(scratch) != 0) std::abort();
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
    if (!staysInScratch(line)) continue;
    bool done = false;
    asio::co_spawn(h.main.context(), vantor::app::dispatchLine(line, h.state, h.protocol), [&](std::exception_ptr e) {
      if (e) std::abort();
      done = true;
    });
    // Timers of a running take keep the loop busy: run until this command is answered.
    h.main.runUntil([&] { return done; });
  }
  return 0;
}
