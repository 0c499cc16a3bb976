#include "control/capture_state.h"

#include "app/event_writer.h"

namespace vantor {

CaptureState::CaptureState(exec::MainLoop& main) : main_(main) {}

asio::awaitable<void> CaptureState::start(StartCommand command) {
  VANTOR_ASSERT_ON(main_);
  if (isRecording_) {
    emitError("already recording");
    co_return;
  }
  emitStatus("starting");
  // No capture platform is wired in yet, so no take can begin; say so in the
  // protocol's own terms rather than pretend.
  (void)command;
  emitError("recorder.start failed: screen capture is not available in this build");
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
