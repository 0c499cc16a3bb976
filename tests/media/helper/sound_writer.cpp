// Writes the test sound into a CAF file through the FFmpeg audio writer, as
// the recorder does (320 samples every 20 ms at 16 kHz), until it is killed:
// the other half of the audio kill test.
//
//   vantor_media_sound_writer <caf>
//
// After each accepted append of batch n it writes "n\n" to standard output.

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "../media_test_support.h"
#include "platform/ffmpeg/ffmpeg_media.h"

int main(int argc, char** argv) {
  using namespace vantor::mediatest;
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s caf\n", argv[0]);
    return 2;
  }
  constexpr size_t kBatch = 320;
  auto services = vantor::platform::makeFfmpegMediaServices();
  auto writer = services->createAudioFileWriter(argv[1], 16000);
  writer->addInput();
  if (!writer->startWriting()) return 1;
  writer->startSession(0);
  auto t0 = Clock::now();
  for (int64_t n = 0;; ++n) {
    std::this_thread::sleep_until(t0 + n * 20ms);
    if (!writer->append(patternSamples(n * int64_t(kBatch), kBatch), n * int64_t(kBatch))) return 1;
    std::string line = std::to_string(n) + "\n";
    if (write(STDOUT_FILENO, line.data(), line.size()) < 0) return 1;
  }
}
