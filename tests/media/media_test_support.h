#pragma once
// Shared pieces of the media tests: pictures and sound whose every frame and
// sample can be told apart, scratch directories, and finishing writers.

#include <gtest/gtest.h>
#include <stdlib.h>

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

namespace vantor::mediatest {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Colours far apart, saturated ones included: a swapped channel, a wrong
// matrix or range shows as a large error.
inline constexpr std::array<uint32_t, 12> kPalette = {0xff0000, 0x00ff00, 0x0000ff, 0xffff00, 0x00ffff, 0xff00ff,
                                                      0xffffff, 0x202020, 0x808080, 0xc04000, 0x4080c0, 0x80c040};
// BT.601 limited range and back, plus CRF 23 on flat colour.
inline constexpr int kColourTolerance = 10;

// Picture n: four solid quadrants (top-left, top-right, bottom-left,
// bottom-right), each changing from one picture to the next.
inline uint32_t quadrantColour(int n, int quadrant) { return kPalette[size_t(n + 3 * quadrant) % kPalette.size()]; }
// The centre of a quadrant, away from the edges 4:2:0 blurs.
inline std::pair<int, int> quadrantCentre(int width, int height, int q) {
  return {(q % 2) * width / 2 + width / 4, (q / 2) * height / 2 + height / 4};
}

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

inline Clock::duration seconds(double s) {
  return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
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

// A fresh directory per test, removed afterwards.
struct ScratchDir {
  std::filesystem::path path = [] {
    std::string pattern = std::filesystem::temp_directory_path() / "vantor-media-XXXXXX";
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    return std::filesystem::path(pattern);
  }();
  ~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
  std::filesystem::path operator/(const std::string& name) const { return path / name; }
};

// A writer's finishWriting, waited for: the thread it reported from, and its failure.
struct FinishReport {
  std::thread::id thread;
  std::exception_ptr failure;
};

template <class Writer>
FinishReport finish(Writer& writer) {
  struct Target final : exec::detail::CompletionTarget<std::monostate> {
    std::promise<FinishReport> reported;
    void complete(std::exception_ptr failure, std::monostate) override {
      reported.set_value({std::this_thread::get_id(), failure});
    }
  };
  auto target = std::make_unique<Target>();
  auto report = target->reported.get_future();
  writer.finishWriting(
      exec::Resolver<void>(std::make_shared<exec::detail::CompletionState<std::monostate>>(std::move(target))));
  return report.get();
}

// `samples` through an audio writer of `media` at 16 kHz, in the recorder's 20 ms batches.
inline FinishReport writeSound(platform::MediaServices& media, const std::filesystem::path& path,
                               const std::vector<int16_t>& samples) {
  auto w = media.createAudioFileWriter(path, 16000);
  w->addInput();
  EXPECT_TRUE(w->startWriting());
  w->startSession(0);
  for (size_t at = 0; at < samples.size(); at += 320)
    EXPECT_TRUE(w->append(std::span(samples).subspan(at, std::min<size_t>(320, samples.size() - at)), int64_t(at)));
  return finish(*w);
}

// A recording output's reports in order ("finish", "fail", "stoppedWriting"),
// the last error and the thread of the last report.
class ReportLog final : public platform::RecordingOutputDelegate {
 public:
  void recordingOutputDidFinishRecording() override { add("finish", std::nullopt); }
  void recordingOutputDidFail(const Error& error) override { add("fail", error); }
  void recordingOutputDidStopWriting(const Error& error) override { add("stoppedWriting", error); }
  std::function<void()> onEnd;  // runs on the reporting thread before the report after the stop counts

  // The reports once the one after the stop is in (or a generous while passed).
  std::vector<std::string> waitForEnd() {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, 60s, [&] { return !reports_.empty() && reports_.back() != "stoppedWriting"; });
    return reports_;
  }
  std::vector<std::string> reports() const { return locked(reports_); }
  std::optional<Error> error() const { return locked(error_); }
  std::thread::id thread() const { return locked(thread_); }

 private:
  template <class T>
  T locked(const T& value) const {
    std::lock_guard lock(mutex_);
    return value;
  }
  void add(const std::string& report, std::optional<Error> error) {
    if (report != "stoppedWriting" && onEnd) onEnd();
    std::lock_guard lock(mutex_);
    reports_.push_back(report);
    if (error) error_ = std::move(error);
    thread_ = std::this_thread::get_id();
    changed_.notify_all();
  }

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> reports_;
  std::optional<Error> error_;
  std::thread::id thread_;
};

}  // namespace vantor::mediatest
