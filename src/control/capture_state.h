#pragma once
// The capture controller: the one object that owns the state of the current
// take and answers every command. Created once by the command loop and never
// replaced; every operation runs on the main loop (checked), except the
// mic-level work on micSampleQueue.
//
// Built so far: the guards, and start up to the recorder: the target is
// resolved and remembered and the output directory made, but no recorder
// exists yet, so every start ends in "recorder.start failed".

#include <asio/awaitable.hpp>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "app/commands.h"
#include "exec/main_loop.h"
#include "exec/serial_queue.h"
#include "platform/screen_capture.h"
#include "targets/capture_target.h"

namespace vantor {

class CaptureState {
 public:
  using WallClock = std::chrono::system_clock;

  CaptureState(exec::MainLoop& main, platform::ScreenCaptureService& screenCapture);

  asio::awaitable<void> start(StartCommand command);
  // The path of the finished movie, or nothing when there was no take or it failed.
  asio::awaitable<std::optional<std::string>> stop();
  void pause();
  void resume();
  asio::awaitable<void> restart();
  asio::awaitable<void> discard();
  asio::awaitable<void> screenshot();

  bool isRecording() const { return isRecording_; }
  bool isPaused() const { return isPaused_; }
  const std::optional<StartCommand>& lastStartCommand() const { return lastStartCommand_; }
  const std::optional<CaptureTargetMeta>& lastTargetMeta() const { return lastTargetMeta_; }

 private:
  exec::MainLoop& main_;
  platform::ScreenCaptureService& screenCapture_;

  std::optional<std::string> audioFileURL_;
  std::optional<StartCommand> lastStartCommand_;
  std::optional<CaptureTargetMeta> lastTargetMeta_;
  std::optional<WallClock::time_point> startDate_;
  double pausedAccumulated_ = 0;
  std::optional<WallClock::time_point> pauseStartedAt_;
  std::vector<int16_t> recentMicSamples_;  // only on micSampleQueue_
  exec::SerialQueue micSampleQueue_{".helper.miclevel"};
  bool isRecording_ = false;
  bool isPaused_ = false;
};

}  // namespace vantor
