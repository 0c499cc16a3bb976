#pragma once
// The backends the media contract runs against, each with what the seam does
// not tell: the pictures and samples its files hold, holding an output's
// writing back, and a disk that fills up. A backend joins the contract with
// a class here and a line in kMediaBackends.

#include <signal.h>
#include <sys/resource.h>

#include <memory>
#include <stdexcept>

#include "media/media_test_support.h"
#include "platform/ffmpeg/ffmpeg_media.h"
#include "platform/ffmpeg/ffmpeg_recording_output.h"
#include "platform/sim/sim_media.h"
#include "support/movie_probe.h"

namespace vantor::mediatest {

// A picture as a movie shows it: from `pts` for `duration` seconds.
struct ShownFrame {
  double pts = 0, duration = 0;
  std::array<uint32_t, 4> quadrants{};  // the colour at each quadrant's centre
  bool shows(int n) const {             // picture n, within kColourTolerance
    for (int q = 0; q < 4; ++q)
      for (int shift : {0, 8, 16})
        if (std::abs(int(quadrants[size_t(q)] >> shift & 0xff) - int(quadrantColour(n, q) >> shift & 0xff)) >
            kColourTolerance)
          return false;
    return true;
  }
};

struct OutputCounts {
  uint64_t written = 0, droppedPaused = 0, droppedBusy = 0;
};

class MediaBackend {
 public:
  virtual ~MediaBackend() = default;
  virtual platform::MediaServices& services() = 0;
  // The pictures of a movie its recording output wrote of quadrantFrame
  // pictures. Throws when there is no movie.
  virtual std::vector<ShownFrame> shownFrames(const std::filesystem::path& movie) = 0;
  virtual std::vector<int16_t> samplesIn(const std::filesystem::path& sound) = 0;
  virtual OutputCounts counts(platform::RecordingOutput& output) = 0;
  // Waits until `output` has written (or dropped) every frame handed over.
  virtual void drain(platform::RecordingOutput&) {}
  // Keeps `output` from writing while the result lives; null when its frames never wait.
  virtual std::shared_ptr<void> holdWriting(platform::RecordingOutput& output) = 0;
  // From now on writes that make `file` grow fail as on a full disk (until the result goes).
  virtual std::shared_ptr<void> fillDisk(const std::filesystem::path& file) = 0;
  // Whether its movies hold real pictures and sound to decode.
  virtual bool decodes() const = 0;
};

class SimBackend final : public MediaBackend {
 public:
  platform::MediaServices& services() override { return sim_; }
  std::vector<ShownFrame> shownFrames(const std::filesystem::path& movie) override {
    for (const auto& o : sim_.outputs()) {
      auto frames = o->written();
      if (o->config.outputURL != movie || !std::filesystem::exists(movie) || !o->stopTime() || frames.empty()) continue;
      auto at = [&](Clock::time_point t) { return std::chrono::duration<double>(t - frames[0].presentationTime).count(); };
      std::vector<ShownFrame> shown;
      for (size_t i = 0; i < frames.size(); ++i) {
        double from = at(frames[i].presentationTime);
        shown.push_back({from, at(i + 1 < frames.size() ? frames[i + 1].presentationTime : *o->stopTime()) - from});
        for (int q = 0; q < 4; ++q) shown.back().quadrants[size_t(q)] = quadrantColour(int(frames[i].index), q);
      }
      return shown;
    }
    throw std::runtime_error("no movie at " + movie.string());
  }
  std::vector<int16_t> samplesIn(const std::filesystem::path& sound) override {
    for (auto& log : sim_.audioWriters())
      if (log->path == sound && std::filesystem::exists(sound)) {
        std::lock_guard lock(log->mutex);
        return log->samples;
      }
    throw std::runtime_error("no sound at " + sound.string());
  }
  OutputCounts counts(platform::RecordingOutput& output) override {
    auto& o = dynamic_cast<platform::sim::SimRecordingOutput&>(output);
    return {uint64_t(o.framesWritten.load()), uint64_t(o.framesSkipped.load()), 0};
  }
  std::shared_ptr<void> holdWriting(platform::RecordingOutput&) override { return nullptr; }
  std::shared_ptr<void> fillDisk(const std::filesystem::path& file) override {
    Error full("Vantor.Media", 5, "cannot write " + file.string() + ": No space left on device");
    for (const auto& o : sim_.outputs())
      if (o->config.outputURL == file) o->failWhileRecording(full, true);
    for (const auto& log : sim_.audioWriters())
      if (log->path == file) {
        std::lock_guard lock(log->mutex);
        log->writeFailure = full;
      }
    return nullptr;
  }
  bool decodes() const override { return false; }

 private:
  platform::sim::SimMediaServices sim_;
};

class FfmpegBackend final : public MediaBackend {
 public:
  platform::MediaServices& services() override { return *services_; }
  std::vector<ShownFrame> shownFrames(const std::filesystem::path& movie) override {
    std::vector<ShownFrame> shown;
    test::forEachVideoFrame(movie, [&](const test::DecodedFrame& f) {
      shown.push_back({f.pts, f.duration});
      for (int q = 0; q < 4; ++q) {
        auto [x, y] = quadrantCentre(f.width, f.height, q);
        shown.back().quadrants[size_t(q)] = f.rgbAt(x, y);
      }
      return true;
    });
    return shown;
  }
  std::vector<int16_t> samplesIn(const std::filesystem::path& sound) override {
    auto decoded = test::decodeAudio(sound);
    EXPECT_EQ(decoded.codec, "pcm_s16le");
    std::vector<int16_t> samples;
    for (float s : decoded.samples) samples.push_back(int16_t(std::lround(s * 32768)));
    return samples;
  }
  OutputCounts counts(platform::RecordingOutput& output) override {
    auto c = real(output).counts();
    return {c.written, c.droppedPaused, c.droppedBusy};
  }
  void drain(platform::RecordingOutput& output) override {
    std::promise<void> drained;
    real(output).thread().post([&] { drained.set_value(); });
    drained.get_future().wait();
  }
  std::shared_ptr<void> holdWriting(platform::RecordingOutput& output) override {
    auto release = std::make_shared<std::promise<void>>();
    real(output).thread().post([held = release->get_future().share()] { held.wait(); });
    return {release.get(), [release](void*) { release->set_value(); }};
  }
  std::shared_ptr<void> fillDisk(const std::filesystem::path& file) override {
    // The file-size limit fails writes past it as a full disk does (EFBIG for
    // ENOSPC), for this process alone; 100 bytes of room tear the write that fails.
    auto oldHandler = signal(SIGXFSZ, SIG_IGN);
    rlimit old{};
    getrlimit(RLIMIT_FSIZE, &old);
    rlimit limited{std::filesystem::file_size(file) + 100, old.rlim_max};
    setrlimit(RLIMIT_FSIZE, &limited);
    return {this, [old, oldHandler](void*) {
              setrlimit(RLIMIT_FSIZE, &old);
              signal(SIGXFSZ, oldHandler);
            }};
  }
  bool decodes() const override { return true; }

 private:
  static platform::ffmpeg::FfmpegRecordingOutput& real(platform::RecordingOutput& output) {
    return dynamic_cast<platform::ffmpeg::FfmpegRecordingOutput&>(output);
  }
  std::unique_ptr<platform::MediaServices> services_ = platform::makeFfmpegMediaServices();
};

struct MediaBackendKind {
  const char* name;
  std::unique_ptr<MediaBackend> (*make)();
};
inline void PrintTo(const MediaBackendKind& kind, std::ostream* out) { *out << kind.name; }

inline const MediaBackendKind kMediaBackends[] = {
    {"Sim", [] { return std::unique_ptr<MediaBackend>(new SimBackend); }},
    {"Ffmpeg", [] { return std::unique_ptr<MediaBackend>(new FfmpegBackend); }},
};

}  // namespace vantor::mediatest
