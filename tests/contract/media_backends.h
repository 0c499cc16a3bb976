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

namespace vantor::mediatest {

// A picture as a movie shows it: from `pts` for `duration` seconds, picture
// n of quadrantFrame modulo the palette (-1: none of them).
struct ShownFrame {
  double pts = 0, duration = 0;
  int picture = -1;
  bool shows(int n) const { return picture == n % int(kPalette.size()); }
};

class MediaBackend {
 public:
  virtual ~MediaBackend() = default;
  virtual platform::MediaServices& services() = 0;
  // The pictures of a movie its recording output wrote. Throws when there is no movie.
  virtual std::vector<ShownFrame> shownFrames(const std::filesystem::path& movie) = 0;
  virtual std::vector<int16_t> samplesIn(const std::filesystem::path& sound) = 0;
  // Waits until `output` has written (or dropped) every frame handed over.
  virtual void drain(platform::RecordingOutput&) {}
  // Keeps `output` from writing while the result lives; null when its frames never wait.
  virtual std::shared_ptr<void> holdWriting(platform::RecordingOutput&) { return nullptr; }
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
        auto next = i + 1 < frames.size() ? frames[i + 1].presentationTime : *o->stopTime();
        double from = at(frames[i].presentationTime), to = at(next);
        shown.push_back({from, to - from, int(frames[i].index % kPalette.size())});
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
      shown.push_back({f.pts, f.duration, pictureOf(f)});
      return true;
    });
    return shown;
  }
  std::vector<int16_t> samplesIn(const std::filesystem::path& sound) override {
    EXPECT_EQ(test::decodeAudio(sound).codec, "pcm_s16le");
    return pcmIn(sound);
  }
  void drain(platform::RecordingOutput& output) override {
    std::promise<void> drained;
    thread(output).post([&] { drained.set_value(); });
    drained.get_future().wait();
  }
  std::shared_ptr<void> holdWriting(platform::RecordingOutput& output) override {
    auto release = std::make_shared<std::promise<void>>();
    thread(output).post([held = release->get_future().share()] { held.wait(); });
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
    return {this, [old, oldHandler](void*) { setrlimit(RLIMIT_FSIZE, &old), signal(SIGXFSZ, oldHandler); }};
  }
  bool decodes() const override { return true; }

 private:
  static platform::ffmpeg::EncodingThread& thread(platform::RecordingOutput& output) {
    return dynamic_cast<platform::ffmpeg::FfmpegRecordingOutput&>(output).thread();
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
