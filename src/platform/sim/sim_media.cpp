#include "platform/sim/sim_media.h"

#include <algorithm>
#include <thread>

namespace vantor::platform::sim {

std::vector<SimVideoWriter*> SimMediaServices::writers() const {
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
  auto writer = std::make_unique<SimVideoWriter>(*this, path, width, height);
  std::lock_guard lock(mutex_);
  writers_.push_back(writer.get());
  return writer;
}

std::shared_ptr<RecordingOutput> SimMediaServices::createRecordingOutput(
    const RecordingOutputConfiguration& config, std::weak_ptr<RecordingOutputDelegate> delegate) {
  if (outputCreationFailure) throw *outputCreationFailure;
  auto output = std::make_shared<SimRecordingOutput>(*this, config, std::move(delegate));
  std::lock_guard lock(mutex_);
  outputs_.push_back(output);
  return output;
}

SimVideoWriter::SimVideoWriter(SimMediaServices& owner, std::filesystem::path path, int width, int height)
    : path(std::move(path)), width(width), height(height), owner_(owner) {}

SimVideoWriter::~SimVideoWriter() {
  std::lock_guard lock(owner_.mutex_);
  std::erase(owner_.writers_, this);
}

bool SimVideoWriter::startWriting() {
  ++startWritingCalls;
  return owner_.writersStartWriting;
}

bool SimVideoWriter::append(const FrameRef& frame) {
  if (!sessionStart || markedFinished || !readyForMore) return false;
  appendedIndices.push_back(frame->index);
  return true;
}

void SimVideoWriter::finishWriting(exec::Resolver<void> done) {
  finished = true;
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
