#pragma once
// A sine tone played into a sound server's sink by an ffmpeg child process,
// for as long as the player lives. The child reaches the server libpulse's
// default way (PULSE_SERVER and friends, inherited) and dies with the test
// process even when that crashes.

#include <cstdint>
#include <memory>
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
  static std::unique_ptr<TonePlayer> start(const ToneOptions& options, std::string* why);

 private:
  explicit TonePlayer(std::vector<std::string> argv) : ffmpeg_(std::move(argv), {.pipes = false}) {}
  ChildProcess ffmpeg_;  // killed with the player
};

}  // namespace vantor::test
