#include "platform/sim/sim_media.h"

#include <algorithm>
#include <fstream>
#include <thread>

namespace vantor::platform::sim {

namespace {

// Creates (or empties) the file at `path`, as the real writers do when made.
void createFile(const std::filesystem::path& path) {
  if (!std::ofstream(path, std::ios::trunc)) throw Error("Vantor.Media", 4, "cannot create " + path.string());
}

SimAssetFile assetFile(int videoTracks, int audioTracks, MediaTime duration) {
  SimAssetFile file;
  file.videoTracks = videoTracks;
  file.audioTracks = audioTracks;
  file.duration = duration;
  return file;
}

MediaTime timeBetween(std::chrono::steady_clock::time_point from, std::chrono::steady_clock::time_point to) {
  return {std::chrono::duration_cast<std::chrono::microseconds>(to - from).count(), 1'000'000};
}

}  // namespace

void SimMediaServices::wrote(const std::filesystem::path& path, SimAssetFile file) {
  std::lock_guard lock(mutex_);
  written_[path] = std::move(file);
}

std::vector<std::shared_ptr<SimWriterLog>> SimMediaServices::writers() const {
  std::lock_guard lock(mutex_);
  return writers_;
}

std::vector<std::shared_ptr<SimRecordingOutput>> SimMediaServices::outputs() const {
  std::lock_guard lock(mutex_);
  return outputs_;
}

std::unique_ptr<VideoWriter> SimMediaServices::createVideoWriter(const std::filesystem::path& path, int width,
                                                                 int height, VideoQuality quality) {
  if (writerCreationFailure) throw *writerCreationFailure;
  auto log = std::make_shared<SimWriterLog>();
  log->path = path;
  log->width = width;
  log->height = height;
  log->quality = quality;
  std::lock_guard lock(mutex_);
  writers_.push_back(log);
  return std::make_unique<SimVideoWriter>(*this, log);
}

std::shared_ptr<RecordingOutput> SimMediaServices::createRecordingOutput(
    const RecordingOutputConfiguration& config, std::weak_ptr<RecordingOutputDelegate> delegate) {
  if (outputCreationFailure) throw *outputCreationFailure;
  createFile(config.outputURL);
  auto output = std::make_shared<SimRecordingOutput>(*this, config, std::move(delegate));
  std::lock_guard lock(mutex_);
  outputs_.push_back(output);
  return output;
}

SimVideoWriter::SimVideoWriter(SimMediaServices& owner, std::shared_ptr<SimWriterLog> log)
    : owner_(owner), log_(std::move(log)) {}

bool SimVideoWriter::startWriting() {
  ++log_->startWritingCalls;
  return owner_.writersStartWriting;
}

bool SimVideoWriter::append(const FrameRef& frame) {
  if (!log_->sessionStart || log_->markedFinished || !log_->readyForMore) return false;
  log_->appendedIndices.push_back(frame->index);
  log_->appendedTimes.push_back(frame->presentationTime);
  return true;
}

void SimVideoWriter::finishWriting(exec::Resolver<void> done) {
  log_->finished = true;
  owner_.reports_.post([done = std::move(done)] { done.succeed(); });
}

SimRecordingOutput::SimRecordingOutput(SimMediaServices& owner, RecordingOutputConfiguration config,
                                       std::weak_ptr<RecordingOutputDelegate> delegate)
    : config(std::move(config)), owner_(owner), delegate_(std::move(delegate)) {}

std::vector<SimRecordingOutput::WrittenFrame> SimRecordingOutput::written() const {
  std::lock_guard lock(mutex_);
  return written_;
}

std::optional<RecordingOutput::Clock::time_point> SimRecordingOutput::stopTime() const {
  std::lock_guard lock(mutex_);
  return stopTime_;
}

void SimRecordingOutput::failWhileRecording(const Error& error, bool moviePlays) {
  if (writingFailed_.exchange(true)) return;
  owner_.reports_.post([this, error, moviePlays] {
    midTakeFailure_ = error;
    moviePlays_ = moviePlays;
    if (!moviePlays) {
      std::error_code ignored;
      std::filesystem::remove(config.outputURL, ignored);
    }
    if (auto d = delegate_.lock()) d->recordingOutputDidStopWriting(error);
  });
}

void SimRecordingOutput::streamDidOutputFrame(FrameRef frame) {
  if (stopped || writingFailed_) return;
  if (paused) {
    ++framesSkipped;
    return;
  }
  ++framesWritten;
  std::lock_guard lock(mutex_);
  if (frame) written_.push_back({frame->index, frame->presentationTime});
}

void SimRecordingOutput::abandon() {
  abandoned = true;
  stopped = true;
}

void SimRecordingOutput::streamDidStop(Clock::time_point stopTime) {
  if (stopped.exchange(true)) return;
  {
    std::lock_guard lock(mutex_);
    stopTime_ = stopTime;
  }
  SimMediaServices::Report report = owner_.outputReport;
  if (report == SimMediaServices::Report::never) return;
  // Queued behind any failure during the take, on the same thread.
  owner_.reports_.post([this, delegate = delegate_, report, failure = owner_.outputFailure,
                        delay = owner_.outputReportDelay, stopTime] {
    std::this_thread::sleep_for(delay);
    std::vector<WrittenFrame> frames = written();
    if (!frames.empty() && (midTakeFailure_ ? moviePlays_ : report == SimMediaServices::Report::finish))
      owner_.wrote(config.outputURL, assetFile(1, 0, timeBetween(frames.front().presentationTime, stopTime)));
    auto d = delegate.lock();
    if (!d) return;
    if (midTakeFailure_) {
      if (moviePlays_) d->recordingOutputDidFinishRecording();
      else d->recordingOutputDidFail(*midTakeFailure_);
    } else if (report == SimMediaServices::Report::finish) {
      d->recordingOutputDidFinishRecording();
    } else {
      std::error_code ignored;
      std::filesystem::remove(config.outputURL, ignored);
      d->recordingOutputDidFail(failure);
    }
  });
}

namespace {

std::optional<Error> writeFailureNow(SimAudioFileLog& log) {
  std::lock_guard lock(log.mutex);
  return log.writeFailure;
}

}  // namespace

class SimAudioFileWriter final : public AudioFileWriter {
 public:
  SimAudioFileWriter(SimMediaServices& owner, std::shared_ptr<SimAudioFileLog> log)
      : owner_(owner), log_(std::move(log)) {}

  bool canAddInput() const override { return log_->canAddInput; }
  void addInput() override { log_->inputAdded = true; }
  bool startWriting() override {
    log_->startedWriting = true;
    return true;
  }
  void startSession(int64_t sourceSample) override { log_->sessionStart = sourceSample; }
  bool isReadyForMoreMediaData() const override { return log_->inputAdded && log_->readyForMore; }
  bool append(std::span<const int16_t> samples, int64_t presentationSample) override {
    std::lock_guard lock(log_->mutex);
    if (!log_->inputAdded || !log_->sessionStart || log_->markedFinished || log_->refuseAppends ||
        log_->writeFailure)
      return false;
    log_->samples.insert(log_->samples.end(), samples.begin(), samples.end());
    log_->presentationSamples.push_back(presentationSample);
    return true;
  }
  void markAsFinished() override {
    std::lock_guard lock(log_->mutex);
    log_->markedFinished = true;
  }
  void finishWriting(exec::Resolver<void> done) override {
    owner_.reports_.post([&owner = owner_, log = log_, done = std::move(done)] {
      log->finished = true;
      int64_t samples = 0;
      {
        std::lock_guard lock(log->mutex);
        samples = int64_t(log->samples.size());
      }
      owner.wrote(log->path, assetFile(0, 1, {samples, int32_t(log->sampleRate)}));
      if (std::optional<Error> failure = writeFailureNow(*log)) done.fail(*failure);
      else done.succeed();
    });
  }
  std::filesystem::path outputURL() const override { return log_->path; }
  std::optional<Error> writeFailure() const override { return writeFailureNow(*log_); }

 private:
  SimMediaServices& owner_;
  std::shared_ptr<SimAudioFileLog> log_;
};

namespace {

class SimAsset final : public MediaAsset {
 public:
  explicit SimAsset(std::optional<SimAssetFile> file) : file_(std::move(file)) {}
  int loadTracks(MediaType type) override {
    if (!file_) throw Error("Vantor.Media", 2, "cannot open the file");
    if (file_->loadFailure) throw *file_->loadFailure;
    return type == MediaType::Video ? file_->videoTracks : file_->audioTracks;
  }
  MediaTime loadDuration() override {
    if (!file_) throw Error("Vantor.Media", 2, "cannot open the file");
    if (file_->loadFailure) throw *file_->loadFailure;
    if (file_->durationFailure) throw *file_->durationFailure;
    return file_->duration;
  }

 private:
  std::optional<SimAssetFile> file_;
};

}  // namespace

std::vector<std::shared_ptr<SimAudioFileLog>> SimMediaServices::audioWriters() const {
  std::lock_guard lock(mutex_);
  return audioWriters_;
}

std::vector<Composition> SimMediaServices::exports() const {
  std::lock_guard lock(mutex_);
  return exports_;
}

std::unique_ptr<AudioFileWriter> SimMediaServices::createAudioFileWriter(const std::filesystem::path& path,
                                                                       double sampleRate) {
  if (audioWriterCreationFailure) throw *audioWriterCreationFailure;
  createFile(path);
  auto log = std::make_shared<SimAudioFileLog>();
  log->path = path;
  log->sampleRate = sampleRate;
  std::lock_guard lock(mutex_);
  audioWriters_.push_back(log);
  return std::make_unique<SimAudioFileWriter>(*this, log);
}

std::unique_ptr<MediaAsset> SimMediaServices::openAsset(const std::filesystem::path& path) {
  std::lock_guard lock(mutex_);
  if (auto it = assetFiles.find(path); it != assetFiles.end()) return std::make_unique<SimAsset>(it->second);
  auto it = written_.find(path);
  bool there = it != written_.end() && std::filesystem::exists(path);
  return std::make_unique<SimAsset>(there ? std::optional(it->second) : std::nullopt);
}

ExportOutcome SimMediaServices::exportComposition(const Composition& composition, const std::filesystem::path& out) {
  ExportOutcome outcome;
  {
    std::lock_guard lock(mutex_);
    exports_.push_back(composition);
    outcome = exportOutcome;
  }
  if (outcome.status != ExportOutcome::kCompleted) return outcome;
  std::ofstream(out, std::ios::trunc) << "sim movie";
  const auto& longer = !composition.audio || (composition.video && composition.audio->duration < composition.video->duration)
                           ? composition.video : composition.audio;
  if (longer) wrote(out, assetFile(composition.video ? 1 : 0, composition.audio ? 1 : 0, longer->duration));
  return outcome;
}

}  // namespace vantor::platform::sim
