// The other half of the kill tests: writes through the FFmpeg media services
// in real time until killed, writing a line on standard output after each step.
//   vantor_media_kill_helper take <movie>
//     picture n (320×240) to a recording output at n / 30 s for 2 s, "n"
//     after each; then nothing more (a still screen), "still" 3 s later.
//   vantor_media_kill_helper sound <caf>
//     batch n of the test sound, 320 samples every 20 ms, as the recorder does; "n" after each.

#include <unistd.h>

#include <string>

#include "../media_test_support.h"
#include "platform/ffmpeg/ffmpeg_media.h"

namespace {

bool say(const std::string& line) { return write(STDOUT_FILENO, (line + "\n").data(), line.size() + 1) >= 0; }

}  // namespace

int main(int argc, char** argv) {
  using namespace vantor::mediatest;
  std::string mode = argc == 3 ? argv[1] : "";
  auto services = vantor::platform::makeFfmpegMediaServices();
  auto t0 = Clock::now();
  if (mode == "sound") {
    auto writer = services->createAudioFileWriter(argv[2], 16000);
    writer->addInput();
    if (!writer->startWriting()) return 1;
    writer->startSession(0);
    for (int64_t n = 0;; ++n) {
      std::this_thread::sleep_until(t0 + n * 20ms);
      if (!writer->append(patternSamples(n * 320, 320), n * 320) || !say(std::to_string(n))) return 1;
    }
  }
  if (mode != "take") return 2;
  auto output = services->createRecordingOutput({argv[2], 320, 240}, {});
  for (int n = 0; n < 60; ++n) {
    auto at = t0 + seconds(n / 30.0);
    std::this_thread::sleep_until(at);
    output->streamDidOutputFrame(quadrantFrame(at, n));
    if (!say(std::to_string(n))) return 1;
  }
  std::this_thread::sleep_for(3s);
  if (!say("still")) return 1;
  for (;;) pause();
}
