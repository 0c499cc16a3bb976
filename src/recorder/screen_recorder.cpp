#include "recorder/screen_recorder.h"

#include <fmt/format.h>

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/use_awaitable.hpp>

#include "util/log.h"
#include "targets/capture_catalog.h"

namespace vantor {

namespace {
// The standard frame, for every target unless its own size is asked for:
// content is fitted into it by the platform.
constexpr int kFrameWidth = 1920;
constexpr int kFrameHeight = 1080;
constexpr int kQueueDepth = 6;
}  // namespace

// Hands the recording output's report, made on its own thread, to the main
// loop. Outlives the recorder safely: the recorder detaches itself on destruction.
class ScreenRecorder::OutputDelegate final : public platform::RecordingOutputDelegate {
 public:
  OutputDelegate(exec::MainLoop& main, ScreenRecorder* recorder) : main_(main), recorder_(recorder) {}
  void detach() { recorder_ = nullptr; }  // main loop

  void recordingOutputDidFinishRecording() override {
    main_.post([this, self = keepAlive()] {
      if (recorder_) recorder_->resumeFinishOnce("delegate.finish");
    });
  }
  void recordingOutputDidFail(const Error& error) override {
    logError(fmt::format("recorder: recording output failed: {}", error.description()));
    main_.post([this, self = keepAlive(), error] {
      if (recorder_) recorder_->resumeFinishOnce("delegate.fail", error);
    });
  }
  void recordingOutputDidStopWriting(const Error& error) override {
    logError(fmt::format("recorder: recording output failed: {}", error.description()));
    main_.post([this, self = keepAlive(), error] {
      if (recorder_) recorder_->writingFailed(error);
    });
  }
  std::weak_ptr<OutputDelegate> self;

 private:
  std::shared_ptr<OutputDelegate> keepAlive() { return self.lock(); }
  exec::MainLoop& main_;
  ScreenRecorder* recorder_;  // read and written on the main loop only
};

ScreenRecorder::ScreenRecorder(exec::MainLoop& main, platform::Platform platform,
                               std::chrono::milliseconds finishTimeout)
    : main_(main), platform_(platform), finishTimeout_(finishTimeout) {
  renewDelegate();
}

// Each take's output reports to a delegate of its own, so nothing an earlier
// take's output says late can be taken for the current take's.
void ScreenRecorder::renewDelegate() {
  if (delegate_) delegate_->detach();
  delegate_ = std::make_shared<OutputDelegate>(main_, this);
  delegate_->self = delegate_;
}

void ScreenRecorder::writingFailed(const Error& error) {
  VANTOR_ASSERT_ON(main_);
  if (recordingOutput_ && onWritingFailed_) onWritingFailed_(error);
}

ScreenRecorder::~ScreenRecorder() { delegate_->detach(); }

void ScreenRecorder::setPaused(bool paused) {
  VANTOR_ASSERT_ON(main_);
  isPaused_ = paused;
  // The output writes no frames while paused, so what the user hid stays out of the movie.
  if (recordingOutput_) recordingOutput_->setPaused(paused);
}

asio::awaitable<std::pair<int, int>> ScreenRecorder::frameSize(const platform::ContentFilter& filter,
                                                                const VideoSettings& settings) {
  VANTOR_ASSERT_ON(main_);
  if (!settings.nativeSize) co_return std::pair{kFrameWidth, kFrameHeight};
  int width = filter.display.width, height = filter.display.height;
  if (filter.kind == platform::ContentFilter::Kind::window) {
    // Windows are listed without their size; a still has the size their frames' content has.
    if (!platform_.screenCapture.hasScreenshotService())
      throw Error(kErrorDomain, 4, "the window's own size cannot be learnt here (no stills)");
    platform::ImageRef still = co_await exec::awaitCompletion<platform::ImageRef>(
        [&](exec::Resolver<platform::ImageRef> done) { platform_.screenCapture.captureImage(filter, std::move(done)); });
    width = still ? still->width : 0, height = still ? still->height : 0;
  }
  if (width <= 0 || height <= 0) throw Error(kErrorDomain, 4, "the target's own size is not known");
  // 4:2:0 pictures need even sides: a row or column of black rather than a scaled picture.
  co_return std::pair{width + (width & 1), height + (height & 1)};
}

asio::awaitable<void> ScreenRecorder::start(CaptureTargetMeta target, bool includeMic,
                                            std::filesystem::path outputURL, VideoSettings settings) {
  VANTOR_ASSERT_ON(main_);
  logInfo(fmt::format("recorder.start: target={}/{} includeMic={}", rawValue(target.kind), target.identifier,
                      includeMic ? "true" : "false"));

  std::optional<platform::ContentFilter> filter = co_await CaptureCatalog::filter(platform_.screenCapture, target);
  if (!filter) {
    logError("recorder.start: capture target not found (filter nil) \u2014 aborting");
    throw Error(kErrorDomain, 1, "Capture target not found");
  }

  auto [width, height] = co_await frameSize(*filter, settings);
  outputURL_ = outputURL;
  // A take stopped, discarded or restarted while paused must not pass its pause on.
  isPaused_ = false;
  std::error_code ignored;
  std::filesystem::remove(outputURL, ignored);

  platform::StreamConfiguration config;
  config.width = width;
  config.height = height;
  config.minimumFrameInterval = std::chrono::duration_cast<std::chrono::nanoseconds>(
      std::chrono::duration<double>(1.0 / settings.frameRate));
  config.queueDepth = kQueueDepth;
  config.showsCursor = settings.showsCursor;
  renewDelegate();
  std::shared_ptr<platform::Stream> stream;
  std::exception_ptr failure;
  try {
    stream = platform_.screenCapture.createStream(*filter, config);
    stream->addStreamOutput([this](platform::FrameRef frame) { didOutputFrame(frame); }, main_);

    if (!platform_.capabilities.recordingOutput) {
      writer_ = platform_.media.createVideoWriter(outputURL, config.width, config.height, settings.quality);
      sessionStarted_ = false;
      lastAppended_.reset();
      logInfo(fmt::format("recorder.start: using the {} video writer ({})", platform_.media.name(),
                          platform_.screenCapture.name()));
    } else {
      recordingOutput_ = platform_.media.createRecordingOutput(
          {outputURL, config.width, config.height, settings.quality}, delegate_);
      stream->addRecordingOutput(recordingOutput_);
      logInfo(fmt::format("recorder.start: using the {} recording output ({}) \u2192 {}", platform_.media.name(),
                          platform_.screenCapture.name(), outputURL.filename().string()));
    }

    stream_ = stream;
    try {
      co_await exec::awaitCompletion<void>([&](exec::Resolver<void> done) { stream->startCapture(std::move(done)); });
    } catch (const std::exception& e) {
      logError(fmt::format("recorder.start: stream.startCapture() failed: {}", e.what()));
      throw;
    }
  } catch (...) {
    failure = std::current_exception();
  }
  if (failure) {
    // A take that did not start leaves nothing behind: the output goes first
    // (it may still be writing the file's header), then the file.
    stream.reset();
    stream_.reset();
    recordingOutput_.reset();
    writer_.reset();
    outputURL_.reset();
    std::filesystem::remove(outputURL, ignored);
    std::rethrow_exception(failure);
  }
  setPaused(false);
  logInfo("recorder.start: capture started OK");
}

void ScreenRecorder::didOutputFrame(const platform::FrameRef& frame) {
  VANTOR_ASSERT_ON(main_);
  if (!frame->isValid) return;
  currentSampleBuffer_ = frame;
  if (!isPaused_ && !platform_.capabilities.recordingOutput) appendToWriter(frame);
}

void ScreenRecorder::appendToWriter(const platform::FrameRef& frame) {
  if (!writer_) return;
  if (!sessionStarted_) {
    writer_->startWriting();
    writer_->startSession(frame->presentationTime);
    sessionStarted_ = true;
  }
  if (writer_->isReadyForMoreMediaData() && writer_->append(frame)) lastAppended_ = frame;
}

// An unchanged screen sends no frames, so the movie would end at the last
// change. Showing the last written image once more at the stop makes the
// movie as long as the take.
void ScreenRecorder::holdLastFrameUntilNow() {
  if (!writer_ || !sessionStarted_ || !lastAppended_) return;
  auto hold = std::make_shared<platform::VideoFrame>(*lastAppended_);
  hold->presentationTime = std::chrono::steady_clock::now();
  if (hold->presentationTime > lastAppended_->presentationTime && writer_->isReadyForMoreMediaData())
    writer_->append(hold);
}

asio::awaitable<void> ScreenRecorder::stopStream(std::shared_ptr<platform::Stream> stream) {
  co_await exec::awaitCompletion<void>([&](exec::Resolver<void> done) { stream->stopCapture(std::move(done)); });
}

asio::awaitable<std::filesystem::path> ScreenRecorder::stop() {
  VANTOR_ASSERT_ON(main_);
  if (!outputURL_)
    throw Error(kErrorDomain, 2, "The operation couldn\u2019t be completed. (Vantor.ScreenRecorder error 2.)");
  std::filesystem::path url = *outputURL_;
  std::error_code ignored;

  if (platform_.capabilities.recordingOutput && recordingOutput_) {
    finishResumed_ = false;
    finishFailure_.reset();
    uint64_t stopId = ++stopCount_;
    co_await exec::awaitCompletion<void>([&](exec::Resolver<void> done) {
      finishContinuation_ = std::move(done);
      if (stream_) {
        asio::co_spawn(main_.context(), stopStream(stream_), [](std::exception_ptr) {});  // errors ignored
      }
      auto timer = std::make_shared<asio::steady_timer>(main_.context(), finishTimeout_);
      timer->async_wait([this, timer, stopId](const asio::error_code&) {
        // A timeout left over from an earlier stop never ends a later stop's wait.
        if (stopId == stopCount_) resumeFinishOnce("timeout");
      });
    });
    stream_.reset();
    recordingOutput_.reset();
    outputURL_.reset();
    if (finishFailure_) throw *finishFailure_;
    // Without a report the output may still be at work; a file is all that can be checked.
    if (!std::filesystem::exists(url, ignored))
      throw Error(kErrorDomain, 3, "the recording output did not finish in time and left no movie");
    co_return url;
  }

  if (stream_) co_await stopStream(stream_);  // a failure leaves everything as it was
  stream_.reset();
  if (!platform_.capabilities.recordingOutput) {
    if (writer_) {
      holdLastFrameUntilNow();
      writer_->markAsFinished();
      co_await exec::awaitCompletion<void>([&](exec::Resolver<void> done) {
        writer_->finishWriting(std::move(done));
      });
    }
    writer_.reset();
    sessionStarted_ = false;
    lastAppended_.reset();
  }
  recordingOutput_.reset();
  outputURL_.reset();
  co_return url;
}

void ScreenRecorder::resumeFinishOnce(const std::string& source, std::optional<Error> failure) {
  VANTOR_ASSERT_ON(main_);
  if (finishResumed_) return;
  finishResumed_ = true;
  finishFailure_ = std::move(failure);
  logInfo(fmt::format("recorder.stop: recording output finalized (source={})", source));
  if (finishContinuation_) {
    finishContinuation_->succeed();
    finishContinuation_.reset();
  }
}

asio::awaitable<void> ScreenRecorder::discard() {
  VANTOR_ASSERT_ON(main_);
  std::optional<std::filesystem::path> url = outputURL_;
  // Told first, so that it neither encodes what is queued nor finishes the file.
  if (recordingOutput_) recordingOutput_->abandon();
  co_await abandon();
  if (url) {
    std::error_code ignored;
    std::filesystem::remove(*url, ignored);
  }
}

asio::awaitable<void> ScreenRecorder::abandon() {
  VANTOR_ASSERT_ON(main_);
  if (stream_) {
    try {
      co_await stopStream(stream_);
    } catch (const std::exception&) {
      // Letting go goes on whatever the stream says.
    }
  }
  stream_.reset();
  writer_.reset();
  sessionStarted_ = false;
  lastAppended_.reset();
  recordingOutput_.reset();
  outputURL_.reset();
}

}  // namespace vantor
