#pragma once
// Records the video of one take into an MPEG-4 file. Owned by the controller
// for the life of the process and started afresh for every take.
//
// Two paths, chosen by the platform's recordingOutput capability:
// - recording output: the stream feeds an output that writes the file on its
//   own thread; stop waits for its report, at most 8 s, and fails when the
//   output left no playable movie;
// - writer: every frame comes to the main loop and is appended to a video
//   writer that the recorder owns and finishes at stop.
// On both paths the latest valid frame is kept for screenshots, and a paused
// take writes no new frames: the paused span shows the last frame before it.
//
// Everything runs on the main loop (checked). Platform reports from other
// threads are handed over to it.

#include <asio/awaitable.hpp>
#include <asio/steady_timer.hpp>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "exec/completion.h"
#include "exec/main_loop.h"
#include "platform/platform.h"
#include "targets/capture_target.h"

namespace vantor {

// How a take's video is made; the defaults are every protocol-1 take's.
struct VideoSettings {
  double frameRate = 60;    // frames a second at most
  bool nativeSize = false;  // the target's own size (rounded up to even) instead of 1920×1080
  bool showsCursor = true;
  platform::VideoQuality quality = platform::VideoQuality::standard;
};

class ScreenRecorder {
 public:
  static constexpr const char* kErrorDomain = "Vantor.ScreenRecorder";
  // How long stop waits for the recording output's report.
  static constexpr std::chrono::seconds kFinishTimeout{8};

  // `finishTimeout` is shortened only by tests.
  ScreenRecorder(exec::MainLoop& main, platform::Platform platform,
                 std::chrono::milliseconds finishTimeout = kFinishTimeout);
  ~ScreenRecorder();
  ScreenRecorder(const ScreenRecorder&) = delete;
  ScreenRecorder& operator=(const ScreenRecorder&) = delete;

  // Returns once capture runs; throws Error (code 1: "Capture target not
  // found"; code 4: a native size that cannot be learnt) or the platform's error.
  asio::awaitable<void> start(CaptureTargetMeta target, bool includeMic, std::filesystem::path outputURL,
                              VideoSettings settings = {});
  // The video file of the take; throws code 2 when no take is set up, the
  // recording output's failure when it left no playable movie, code 3 when
  // it never reported and no file is there, or the stream's stop error on
  // the writer path.
  asio::awaitable<std::filesystem::path> stop();
  // Stops capture and deletes the take's file; never fails.
  asio::awaitable<void> discard();
  // Stops capture and lets the take go, its file left as it stands (after a
  // failed stop); never fails.
  asio::awaitable<void> abandon();

  bool isPaused() const { return isPaused_; }
  void setPaused(bool paused);
  // Called on the main loop when the take's recording output stops writing
  // during the take; stop then answers with what the output kept.
  void setOnWritingFailed(std::function<void(const Error&)> handler) { onWritingFailed_ = std::move(handler); }
  // The most recent valid frame of any take so far; never cleared.
  const platform::FrameRef& currentSampleBuffer() const { return currentSampleBuffer_; }

 private:
  class OutputDelegate;

  void didOutputFrame(const platform::FrameRef& frame);
  // The frame size for `settings`: the standard frame, or the filter's own size.
  asio::awaitable<std::pair<int, int>> frameSize(const platform::ContentFilter& filter, const VideoSettings& settings);
  void appendToWriter(const platform::FrameRef& frame);
  void holdLastFrameUntilNow();
  void resumeFinishOnce(const std::string& source, std::optional<Error> failure = std::nullopt);
  void renewDelegate();
  void writingFailed(const Error& error);
  asio::awaitable<void> stopStream(std::shared_ptr<platform::Stream> stream);

  exec::MainLoop& main_;
  platform::Platform platform_;
  std::chrono::milliseconds finishTimeout_;
  std::shared_ptr<OutputDelegate> delegate_;

  std::shared_ptr<platform::Stream> stream_;
  std::optional<std::filesystem::path> outputURL_;
  bool isPaused_ = false;
  std::unique_ptr<platform::VideoWriter> writer_;  // writer and its one video input
  bool sessionStarted_ = false;
  platform::FrameRef lastAppended_;  // writer path: what the movie shows now
  std::shared_ptr<platform::RecordingOutput> recordingOutput_;
  std::optional<exec::Resolver<void>> finishContinuation_;
  bool finishResumed_ = false;
  std::optional<Error> finishFailure_;  // the output's failure report, when it left no movie
  std::function<void(const Error&)> onWritingFailed_;
  uint64_t stopCount_ = 0;  // ties each timeout to the stop that armed it
  platform::FrameRef currentSampleBuffer_;
};

}  // namespace vantor
