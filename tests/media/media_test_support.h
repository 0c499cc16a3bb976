#pragma once
// Shared pieces of the media tests (the contract, the FFmpeg tests and the
// kill helper): pictures and sound whose every frame and sample can be told
// apart, and writers' reports; scratch folders are the shared ones of
// support/child_process.h.

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "exec/completion.h"
#include "platform/media.h"
#include "platform/video_frame.h"
#include "support/child_process.h"
#include "support/movie_probe.h"

namespace vantor::mediatest {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

inline Clock::duration seconds(double s) {
  return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
}

// Picture n: four solid quadrants, each in the next colour of a palette of
// colours far apart (saturated ones included: a swapped channel, a wrong
// matrix or range shows as a large error) from one picture to the next.
inline constexpr std::array<uint32_t, 12> kPalette = {0xff0000, 0x00ff00, 0x0000ff, 0xffff00, 0x00ffff, 0xff00ff,
                                                      0xffffff, 0x202020, 0x808080, 0xc04000, 0x4080c0, 0x80c040};
inline uint32_t quadrantColour(int n, int quadrant) { return kPalette[size_t(n + 3 * quadrant) % kPalette.size()]; }

inline platform::FrameRef quadrantFrame(Clock::time_point at, int n, int width = 320, int height = 240) {
  auto image = platform::makeImage(width, height);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      uint32_t rgb = quadrantColour(n, (y >= height / 2) * 2 + (x >= width / 2));
      uint8_t* p = image->row(y) + size_t(x) * 4;
      p[0] = rgb & 0xff, p[1] = (rgb >> 8) & 0xff, p[2] = (rgb >> 16) & 0xff;
      p[3] = 0x5a;  // the padding byte is garbage on real servers
    }
  auto frame = std::make_shared<platform::VideoFrame>();
  frame->presentationTime = at;
  frame->image = std::move(image);
  frame->index = uint64_t(n);
  return frame;
}

// Which quadrantFrame picture a decoded one shows, as n modulo the palette,
// or -1: each quadrant's centre (away from the edges 4:2:0 blurs) within
// BT.601 limited range and back, plus CRF 23 on flat colour.
inline int pictureOf(const test::DecodedFrame& f) {
  for (int n = 0; n < int(kPalette.size()); ++n) {
    int worst = 0;
    for (int q = 0; q < 4; ++q)
      worst = std::max(worst, f.distanceAt((q % 2) * f.width / 2 + f.width / 4, (q / 2) * f.height / 2 + f.height / 4,
                                           quadrantColour(n, q)));
    if (worst <= 10) return n;
  }
  return -1;
}

// Sample k of the test sound: an odd step through every 16-bit value, so a
// sample lost, repeated or out of place shows.
inline std::vector<int16_t> patternSamples(int64_t first, size_t count) {
  std::vector<int16_t> samples(count);
  for (size_t i = 0; i < count; ++i) samples[i] = int16_t(uint16_t(uint64_t(first + int64_t(i)) * 7919u));
  return samples;
}
inline std::vector<int16_t> toneSamples(int64_t samples, double hz) {  // at 16 kHz
  std::vector<int16_t> tone(static_cast<size_t>(samples));
  for (size_t i = 0; i < tone.size(); ++i) tone[i] = int16_t(std::lround(12000 * std::sin(2 * M_PI * hz * double(i) / 16000)));
  return tone;
}
// A sound file decoded back to 16-bit samples.
inline std::vector<int16_t> pcmIn(const std::filesystem::path& sound) {
  std::vector<int16_t> pcm;
  for (float s : test::decodeAudio(sound).samples) pcm.push_back(int16_t(std::lround(s * 32768)));
  return pcm;
}

using test::ScratchDir;

// A writer's finishWriting, waited for: the thread it reported from, and its failure.
struct FinishReport {
  std::thread::id thread;
  std::exception_ptr failure;
};
inline FinishReport finish(platform::AudioFileWriter& writer) {
  struct Target final : exec::detail::CompletionTarget<std::monostate> {
    std::promise<FinishReport> reported;
    void complete(std::exception_ptr failure, std::monostate) override {
      reported.set_value({std::this_thread::get_id(), failure});
    }
  };
  auto target = std::make_unique<Target>();
  auto report = target->reported.get_future();
  using State = exec::detail::CompletionState<std::monostate>;
  writer.finishWriting(exec::Resolver<void>(std::make_shared<State>(std::move(target))));
  return report.get();
}

// `samples` through an audio writer of `media` at 16 kHz, in the recorder's 20 ms batches; none after
// markAsFinished.
inline FinishReport writeSound(platform::MediaServices& media, const std::filesystem::path& path,
                               const std::vector<int16_t>& samples) {
  auto w = media.createAudioFileWriter(path, 16000);
  w->addInput();
  EXPECT_TRUE(w->startWriting());
  w->startSession(0);
  for (size_t at = 0; at < samples.size(); at += 320)
    EXPECT_TRUE(w->append(std::span(samples).subspan(at, std::min<size_t>(320, samples.size() - at)), int64_t(at)));
  w->markAsFinished();
  EXPECT_FALSE(w->append(std::span(samples).first(std::min<size_t>(320, samples.size())), int64_t(samples.size())))
      << "after markAsFinished";
  return finish(*w);
}

// A recording output's reports in order ("finish", "fail", "stoppedWriting"),
// the last error and the thread of the last report; read them under `mutex`
// until waitForEnd returned.
struct ReportLog final : platform::RecordingOutputDelegate {
  void recordingOutputDidFinishRecording() override { add("finish", std::nullopt); }
  void recordingOutputDidFail(const Error& e) override { add("fail", e); }
  void recordingOutputDidStopWriting(const Error& e) override { add("stoppedWriting", e); }
  std::function<void()> onEnd;  // runs on the reporting thread before the report after the stop counts

  // The reports once the one after the stop is in (or a generous while passed).
  std::vector<std::string> waitForEnd() {
    std::unique_lock lock(mutex);
    changed.wait_for(lock, 60s, [&] { return !reports.empty() && reports.back() != "stoppedWriting"; });
    return reports;
  }
  std::vector<std::string> sofar() {
    std::lock_guard lock(mutex);
    return reports;
  }

  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::string> reports;
  std::optional<Error> error;
  std::thread::id thread;

 private:
  void add(const std::string& report, std::optional<Error> e) {
    if (report != "stoppedWriting" && onEnd) onEnd();
    std::lock_guard lock(mutex);
    reports.push_back(report), thread = std::this_thread::get_id();
    if (e) error = std::move(e);
    changed.notify_all();
  }
};

}  // namespace vantor::mediatest
