#include "platform/ffmpeg/ffmpeg_audio_writer.h"

#include <fmt/format.h>

#include <cmath>
#include <mutex>
#include <optional>

#include "util/log.h"
#include "platform/ffmpeg/caf_file.h"
#include "platform/ffmpeg/encoded_sound.h"
#include "platform/ffmpeg/media_error.h"

namespace vantor::platform::ffmpeg {

// What appends and the finishing job share. The job holds it, so it lives
// until the file is complete even when the writer goes first.
struct FfmpegAudioWriter::Core {
  std::filesystem::path path;
  std::mutex mutex;
  std::unique_ptr<CafFile> file;
  std::optional<Error> failure;  // the first write that failed
  std::atomic<bool> failed{false};
  std::atomic<int64_t> samples{0};
  // The sound encoded as it comes, for the export; gone once it failed.
  std::shared_ptr<EncodedSoundRegistry> sounds;
  std::unique_ptr<EncodedSound> encoding;

  // The file is what counts: a failure here (out of memory included) costs
  // the export its head start, never an append.
  void stopEncoding(const std::exception& e) {
    encoding.reset();
    logError(fmt::format("audio writer: {}; the export will encode the sound", e.what()));
  }

  void encodeAlong(std::span<const int16_t> written) {
    if (!encoding) return;
    try {
      encoding->append(written);
    } catch (const std::exception& e) {
      stopEncoding(e);
    }
  }

  // After the file is complete: the encoding goes to the registry with what
  // identifies the file as it now is.
  void keepEncoding() {
    if (!encoding || !sounds) return;
    try {
      encoding->finish();
      SoundFileStamp stamp = SoundFileStamp::of(path);
      if (stamp.samples != encoding->samples())
        throw mediaError(kCannotEncode, fmt::format("{} reads as {} samples, {} were encoded", path.string(),
                                                    stamp.samples, encoding->samples()));
      sounds->keep(path, stamp, std::move(encoding));
    } catch (const std::exception& e) {
      stopEncoding(e);
    }
  }
};

namespace {

int wholeRate(double sampleRate, const std::filesystem::path& path) {
  // CAF stores any rate, but libavformat's streams take whole ones.
  if (!(sampleRate >= 1 && sampleRate <= 1'000'000) || sampleRate != std::floor(sampleRate))
    throw mediaError(kCannotCreate, fmt::format("cannot create {}: a sample rate of {} Hz is not supported",
                                                path.string(), sampleRate));
  return int(sampleRate);
}

}  // namespace

FfmpegAudioWriter::FfmpegAudioWriter(std::filesystem::path path, double sampleRate,
                                     std::shared_ptr<EncodedSoundRegistry> sounds)
    : path_(std::move(path)), core_(std::make_shared<Core>()), thread_("cafwriter", 1) {
  int rate = wholeRate(sampleRate, path_);
  core_->path = path_;
  // Whatever was encoded for an earlier file at this path is not this one's.
  if (sounds) sounds->forget(path_);
  core_->file = std::make_unique<CafFile>(path_, rate);
  if (!sounds) return;
  core_->sounds = std::move(sounds);
  try {
    core_->encoding = std::make_unique<EncodedSound>(path_, rate);
  } catch (const std::exception& e) {
    core_->stopEncoding(e);
  }
}

FfmpegAudioWriter::~FfmpegAudioWriter() = default;

bool FfmpegAudioWriter::canAddInput() const { return !hasInput_.load() && !started_.load(); }

void FfmpegAudioWriter::addInput() {
  if (canAddInput()) hasInput_.store(true);
}

bool FfmpegAudioWriter::startWriting() {
  if (started_.load() || finishing_.load()) return false;
  started_.store(true);
  return true;
}

void FfmpegAudioWriter::startSession(int64_t sourceSample) {
  if (!started_.load() || inSession_.load()) return;
  sessionStart_.store(sourceSample);
  inSession_.store(true);
}

bool FfmpegAudioWriter::accepting() const {
  return hasInput_.load() && started_.load() && inSession_.load() && !markedFinished_.load() &&
         !finishing_.load() && !core_->failed.load();
}

bool FfmpegAudioWriter::isReadyForMoreMediaData() const { return accepting(); }

bool FfmpegAudioWriter::append(std::span<const int16_t> samples, int64_t presentationSample) {
  if (!accepting() || presentationSample < sessionStart_.load()) return false;
  std::lock_guard lock(core_->mutex);
  if (!core_->file || core_->failure) return false;
  try {
    core_->file->write(samples);
    core_->samples.store(core_->file->samplesWritten());
    core_->encodeAlong(samples);
    return true;
  } catch (const Error& e) {
    core_->failure = e;
    core_->failed.store(true);
    logError(fmt::format("audio writer: {}", e.description()));
    return false;
  }
}

void FfmpegAudioWriter::markAsFinished() { markedFinished_.store(true); }

void FfmpegAudioWriter::finishWriting(exec::Resolver<void> done) {
  finishing_.store(true);
  markedFinished_.store(true);
  thread_.post([core = core_, done = std::move(done)] {
    std::unique_lock lock(core->mutex);
    if (core->file && !core->failure) {
      try {
        core->file->finish();
        core->keepEncoding();
      } catch (const Error& e) {
        core->failure = e;
        core->failed.store(true);
        logError(fmt::format("audio writer: {}", e.description()));
      }
    }
    core->file.reset();  // after a failure: completes the file as it stands
    std::optional<Error> failure = core->failure;
    lock.unlock();
    if (failure) done.fail(*failure);
    else done.succeed();
  });
}

std::optional<Error> FfmpegAudioWriter::writeFailure() const {
  std::lock_guard lock(core_->mutex);
  return core_->failure;
}

int64_t FfmpegAudioWriter::samplesWritten() const { return core_->samples.load(); }

}  // namespace vantor::platform::ffmpeg
