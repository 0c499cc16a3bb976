#pragma once
// A sine tone played into a sound server's sink by an ffmpeg child process,
// for as long as the player lives. The child reaches the server libpulse's
// default way (PULSE_SERVER and friends, inherited) and dies with the test
// process even when that crashes.

#include <cstdint>
#include <memory>
#include <sstream>
#include <string>

#include "support/child_process.h"

namespace vantor::test {

struct ToneOptions {
  std::string sink = "@DEFAULT_SINK@";
  double frequency = 440;
  double amplitude = 0.5;  // peak, full scale 1.0
  uint32_t channels = 1;   // 1 or 2, the same tone on each, at 48 kHz
};

class TonePlayer {
 public:
  // Null, with `why` set, when ffmpeg cannot be started.
  static std::unique_ptr<TonePlayer> start(const ToneOptions& o, std::string* why) {
    std::ostringstream sine;
    sine << o.amplitude << "*sin(2*PI*" << o.frequency << "*t)";
    std::string expr = sine.str() + (o.channels == 2 ? "|" + sine.str() : "");
    std::string source = "aevalsrc=exprs=" + expr + ":s=48000:c=" + (o.channels == 2 ? "stereo" : "mono");
    // -re paces the tone in real time, one 1024-sample frame at a time. The
    // server starts playing once 200 ms are buffered, so that a late frame on
    // a busy machine does not leave a gap of silence.
    try {
      return std::unique_ptr<TonePlayer>(new TonePlayer({"ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error",
                                                         "-re", "-f", "lavfi", "-i", source, "-f", "pulse",
                                                         "-buffer_duration", "200", "-device", o.sink,
                                                         "vantor test tone"}));
    } catch (const std::exception& e) {
      *why = std::string("cannot start ffmpeg: ") + e.what();
      return nullptr;
    }
  }

 private:
  explicit TonePlayer(std::vector<std::string> argv) : ffmpeg_(std::move(argv), {.pipes = false}) {}
  ChildProcess ffmpeg_;  // killed with the player
};

}  // namespace vantor::test
