// Records frames in real time through the FFmpeg recording output until it
// is killed: the other half of the kill tests.
//
//   vantor_media_take_writer <movie> <width> <height> <fps> <seconds> [<still>]
//
// Frame n shows quadrantImage(n) at n / fps seconds after the first. After
// handing each frame over it writes "n\n" to standard output. After
// <seconds> it stops the stream, unless <still> is given: then it hands
// nothing more over, as a stream does while the screen does not change,
// writes "still\n" after <still> seconds and waits to be killed.

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "../media_test_support.h"
#include "platform/ffmpeg/ffmpeg_media.h"

namespace {

bool say(const std::string& line) { return write(STDOUT_FILENO, line.data(), line.size()) >= 0; }

}  // namespace

int main(int argc, char** argv) {
  using namespace vantor::mediatest;
  if (argc != 6 && argc != 7) {
    std::fprintf(stderr, "usage: %s movie width height fps seconds [still]\n", argv[0]);
    return 2;
  }
  std::filesystem::path path = argv[1];
  int width = std::atoi(argv[2]), height = std::atoi(argv[3]), fps = std::atoi(argv[4]);
  double limit = std::atof(argv[5]);

  auto services = vantor::platform::makeFfmpegMediaServices();
  auto output = services->createRecordingOutput({path, width, height}, {});
  auto t0 = Clock::now();
  for (int n = 0; n / double(fps) < limit; ++n) {
    auto at = t0 + seconds(n / double(fps));
    std::this_thread::sleep_until(at);
    output->streamDidOutputFrame(frameAt(at, quadrantImage(width, height, n), uint64_t(n)));
    if (!say(std::to_string(n) + "\n")) return 1;
  }
  if (argc == 7) {
    std::this_thread::sleep_for(seconds(std::atof(argv[6])));
    if (!say("still\n")) return 1;
    for (;;) pause();
  }
  output->streamDidStop(Clock::now());
  return 0;
}
