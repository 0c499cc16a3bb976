#include "control/capture_state.h"

#include <filesystem>

#include "app/event_writer.h"
#include "targets/capture_catalog.h"

namespace vantor {

CaptureState::CaptureState(exec::MainLoop& main, platform::ScreenCaptureService& screenCapture)
    : main_(main), screenCapture_(screenCapture) {}

asio::awaitable<void> CaptureState::start(StartCommand command) {
  VANTOR_ASSERT_ON(main_);
  if (isRecording_) {
    emitError("already recording");
    co_return;
  }
  emitStatus("starting");

  std::optional<CaptureTargetMeta> target;
  try {
    target = co_await resolveTarget(screenCapture_, command.target, command.mode);
  } catch (const std::exception& e) {
    emitError(std::string("Failed to resolve capture target: ") + e.what());
    co_return;
  }
  if (!target) {
    emitError("No displays found");
    co_return;
  }

  // A relative path is taken relative to the working directory, as open(2) does.
  std::filesystem::path video(command.outputPath);
  lastStartCommand_ = command;
  lastTargetMeta_ = *target;
  std::error_code ignored;
  std::filesystem::create_directories(video.parent_path(), ignored);

  // The screen recorder is not built yet: say so in the protocol's own terms.
  emitError("recorder.start failed: video recording is not available in this build yet");
}

asio::awaitable<std::optional<std::string>> CaptureState::stop() {
  VANTOR_ASSERT_ON(main_);
  if (!isRecording_) {
    emitError("not recording");
    co_return std::nullopt;
  }
  co_return std::nullopt;  // unreachable until a take can start
}

void CaptureState::pause() {
  VANTOR_ASSERT_ON(main_);
  if (!isRecording_) {
    emitError("not recording");
    return;
  }
}

void CaptureState::resume() {
  VANTOR_ASSERT_ON(main_);
  if (!isRecording_) {
    emitError("not recording");
    return;
  }
}

asio::awaitable<void> CaptureState::restart() {
  VANTOR_ASSERT_ON(main_);
  if (!isRecording_) {
    emitError("not recording");
    co_return;
  }
}

asio::awaitable<void> CaptureState::discard() {
  VANTOR_ASSERT_ON(main_);
  if (!isRecording_) {
    emitError("not recording");
    co_return;
  }
}

asio::awaitable<void> CaptureState::screenshot() {
  VANTOR_ASSERT_ON(main_);
  if (!lastTargetMeta_) {
    emitError("screenshot: no active capture target");
    co_return;
  }
}

}  // namespace vantor
