// The other half of the kill tests: writes through the FFmpeg media services
// in real time until killed, writing "n" on standard output after each step.
//   vantor_media_kill_helper take <movie> <fps> <seconds> [<still>]
//     picture n (320×240) to a recording output at n / fps s; after <seconds>
//     the stream stops, or with <still> nothing more comes (a still screen),
//     "still" is written after <still> s and the helper waits to be killed.
//   vantor_media_kill_helper sound <caf>
//     batch n of the test sound, 320 samples every 20 ms, as the recorder does.

#include <unistd.h>

#include <cstdlib>
#include <string>

#include "../media_test_support.h"
#include "platform/ffmpeg/ffmpeg_media.h"

namespace {

bool say(const std::string& line) { return write(STDOUT_FILENO, (line + "\n").data(), line.size() + 1) >= 0; }

}  // namespace

int main(int argc, char** argv) {
  using namespace vantor::mediatest;
  std::string mode = argc > 2 ? argv[1] : "";
  auto services = vantor::platform::makeFfmpegMediaServices();
  auto t0 = Clock::now();
  if (mode == "sound" && argc == 3) {
    auto writer = services->createAudioFileWriter(argv[2], 16000);
    writer->addInput();
    if (!writer->startWriting()) return 1;
    writer->startSession(0);
    for (int64_t n = 0;; ++n) {
      std::this_thread::sleep_until(t0 + n * 20ms);
      if (!writer->append(patternSamples(n * 320, 320), n * 320) || !say(std::to_string(n))) return 1;
    }
  }
  if (mode != "take" || argc < 5 || argc > 6) return 2;
  int fps = std::atoi(argv[3]);
  auto output = services->createRecordingOutput({argv[2], 320, 240}, {});
  for (int n = 0; n / double(fps) < std::atof(argv[4]); ++n) {
    auto at = t0 + seconds(n / double(fps));
    std::this_thread::sleep_until(at);
    output->streamDidOutputFrame(quadrantFrame(at, n));
    if (!say(std::to_string(n))) return 1;
  }
  if (argc == 6) {
    std::this_thread::sleep_for(seconds(std::atof(argv[5])));
    if (!say("still")) return 1;
    for (;;) pause();
  }
  output->streamDidStop(Clock::now());
  return 0;
}
