#pragma once
// Shared pieces of the media tests: synthetic frames and sound, scratch
// directories, movies and tone files, finishing writers on a main loop,
// holding an encoding thread.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <array>
#include <asio/co_spawn.hpp>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <future>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "exec/completion.h"
#include "exec/main_loop.h"
#include "platform/ffmpeg/caf_file.h"
#include "platform/ffmpeg/encoding_thread.h"
#include "platform/media.h"
#include "platform/video_frame.h"

namespace vantor::mediatest {

using namespace std::chrono_literals;
using platform::FrameRef;
using platform::PixelBuffer;
using Clock = std::chrono::steady_clock;

// Colours far apart from each other, saturated ones included: a swapped
// channel, a wrong matrix or a wrong range shows as a large error.
inline constexpr std::array<uint32_t, 12> kPalette = {0xff0000, 0x00ff00, 0x0000ff, 0xffff00, 0x00ffff, 0xff00ff,
                                                      0xffffff, 0x202020, 0x808080, 0xc04000, 0x4080c0, 0x80c040};

// Frame `n` is split in quadrants (top-left, top-right, bottom-left,
// bottom-right), each a solid colour; every quadrant changes from one frame
// to the next and the four differ within a frame.
inline uint32_t quadrantColour(int n, int quadrant) { return kPalette[size_t(n + 3 * quadrant) % kPalette.size()]; }

// The centre of a quadrant, away from the edges 4:2:0 blurs.
inline std::pair<int, int> quadrantCentre(int width, int height, int quadrant) {
  return {(quadrant % 2) * width / 2 + width / 4, (quadrant / 2) * height / 2 + height / 4};
}

inline void fill(PixelBuffer& image, int x0, int y0, int x1, int y1, uint32_t rgb) {
  for (int y = y0; y < y1; ++y) {
    uint8_t* p = image.row(y) + size_t(x0) * 4;
    for (int x = x0; x < x1; ++x, p += 4) {
      p[0] = rgb & 0xff;
      p[1] = (rgb >> 8) & 0xff;
      p[2] = (rgb >> 16) & 0xff;
      p[3] = 0x5a;  // the padding byte is garbage on real servers
    }
  }
}

inline platform::ImageRef quadrantImage(int width, int height, int n) {
  auto image = platform::makeImage(width, height);
  for (int q = 0; q < 4; ++q) {
    int x0 = (q % 2) * (width / 2), y0 = (q / 2) * (height / 2);
    int x1 = q % 2 ? width : width / 2, y1 = q / 2 ? height : height / 2;
    fill(*image, x0, y0, x1, y1, quadrantColour(n, q));
  }
  return image;
}

// Sample k of the test sound: an odd step through every 16-bit value, so a
// sample lost, repeated or out of place shows.
inline int16_t patternSample(int64_t k) { return int16_t(uint16_t(uint64_t(k) * 7919u)); }

inline std::vector<int16_t> patternSamples(int64_t first, size_t count) {
  std::vector<int16_t> samples(count);
  for (size_t i = 0; i < count; ++i) samples[i] = patternSample(first + int64_t(i));
  return samples;
}

inline FrameRef frameAt(Clock::time_point at, platform::ImageRef image, uint64_t index = 0) {
  auto f = std::make_shared<platform::VideoFrame>();
  f->presentationTime = at;
  f->image = std::move(image);
  f->index = index;
  return f;
}

inline Clock::duration seconds(double s) {
  return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
}

// A fresh directory per test, removed afterwards.
class ScratchDir {
 public:
  ScratchDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "vantor-media-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// finishWriting of a video or audio writer, awaited on `main`; rethrows its
// failure. `main` must outlive the writer: the writer's thread may still be
// leaving the loop's wake-up call when the report has already been handled.
template <class Writer>
void finishWriting(exec::MainLoop& main, Writer& writer) {
  std::exception_ptr failure;
  bool finished = false;
  asio::co_spawn(main.context(),
                 exec::awaitCompletion<void>([&](exec::Resolver<void> done) { writer.finishWriting(done); }),
                 [&](std::exception_ptr e) {
                   failure = e;
                   finished = true;
                 });
  main.run();  // the spawned coroutine keeps it running until the report
  ASSERT_TRUE(finished);
  if (failure) std::rethrow_exception(failure);
}

// A movie of `frames` quadrant frames `fps` a second, through the FFmpeg
// video writer: what a take on the writer path leaves.
inline void writeMovie(exec::MainLoop& main, platform::MediaServices& services, const std::filesystem::path& path,
                       int frames, int fps, int width = 320, int height = 240) {
  auto writer = services.createVideoWriter(path, width, height);
  ASSERT_TRUE(writer->startWriting());
  auto t0 = Clock::now();
  writer->startSession(t0);
  for (int n = 0; n < frames; ++n) {
    while (!writer->isReadyForMoreMediaData()) std::this_thread::yield();
    ASSERT_TRUE(writer->append(frameAt(t0 + seconds(n / double(fps)), quadrantImage(width, height, n), uint64_t(n))));
  }
  finishWriting(main, *writer);
}

// The level of the test tones: RMS at full scale ±1.
inline constexpr double kToneRms = 12000 / 32768.0 / M_SQRT2;

inline std::vector<int16_t> toneSamples(int64_t samples, double hz) {
  std::vector<int16_t> tone(static_cast<size_t>(samples));
  for (size_t i = 0; i < tone.size(); ++i) tone[i] = int16_t(std::lround(12000 * std::sin(2 * M_PI * hz * double(i) / 16000)));
  return tone;
}

// A CAF file of a sine tone at 16 kHz, as the audio writer leaves it.
inline void writeTone(const std::filesystem::path& path, int64_t samples, double hz) {
  platform::ffmpeg::CafFile file(path, 16000);
  file.write(toneSamples(samples, hz));
  file.finish();
}

// The same through `services`' audio writer, in the recorder's 20 ms batches.
inline void writeTone(exec::MainLoop& main, platform::MediaServices& services, const std::filesystem::path& path,
                      int64_t samples, double hz) {
  auto writer = services.createAudioFileWriter(path, 16000);
  writer->addInput();
  ASSERT_TRUE(writer->startWriting());
  writer->startSession(0);
  auto tone = toneSamples(samples, hz);
  for (size_t at = 0; at < tone.size(); at += 320) {
    auto batch = std::span(tone).subspan(at, std::min<size_t>(320, tone.size() - at));
    ASSERT_TRUE(writer->append(batch, int64_t(at)));
  }
  writer->markAsFinished();
  finishWriting(main, *writer);
}

// Keeps an encoding thread busy until release(), so tests can fill its queue
// without racing the encoder.
class ThreadHold {
 public:
  explicit ThreadHold(platform::ffmpeg::EncodingThread& thread) {
    auto released = released_.get_future().share();
    thread.post([released] { released.wait(); });
  }
  ~ThreadHold() { release(); }
  void release() {
    if (!done_) released_.set_value();
    done_ = true;
  }

 private:
  std::promise<void> released_;
  bool done_ = false;
};

}  // namespace vantor::mediatest
