#include "platform/sim/sim_media.h"

#include <algorithm>
#include <thread>

namespace vantor::platform::sim {

std::vector<std::shared_ptr<SimWriterLog>> SimMediaServices::writers() const {
  std::lock_guard lock(mutex_);
  return writers_;
}

std::vector<std::shared_ptr<SimRecordingOutput>> SimMediaServices::outputs() const {
  std::lock_guard lock(mutex_);
  return outputs_;
}

std::unique_ptr<VideoWriter> SimMediaServices::createVideoWriter(const std::filesystem::path& path, int width,
                                                                 int height) {
  if (writerCreationFailure) throw *writerCreationFailure;
  auto log = std::make_shared<SimWriterLog>();
  log->path = path;
  log->width = width;
  log->height = height;
  std::lock_guard lock(mutex_);
  writers_.push_back(log);
  return std::make_unique<SimVideoWriter>(*this, log);
}

std::shared_ptr<RecordingOutput> SimMediaServices::createRecordingOutput(
    const RecordingOutputConfiguration& config, std::weak_ptr<RecordingOutputDelegate> delegate) {
  if (outputCreationFailure) throw *outputCreationFailure;
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

void SimRecordingOutput::streamDidOutputFrame(FrameRef) {
  if (paused) ++framesSkipped;
  else ++framesWritten;
}

void SimRecordingOutput::streamDidStop(Clock::time_point) {
  stopped = true;
  SimMediaServices::Report report = owner_.outputReport;
  if (report == SimMediaServices::Report::never) return;
  owner_.reports_.post([delegate = delegate_, report, failure = owner_.outputFailure,
                        delay = owner_.outputReportDelay] {
    std::this_thread::sleep_for(delay);
    auto d = delegate.lock();
    if (!d) return;
    if (report == SimMediaServices::Report::finish) d->recordingOutputDidFinishRecording();
    else d->recordingOutputDidFail(failure);
  });
}

}  // namespace vantor::platform::sim
