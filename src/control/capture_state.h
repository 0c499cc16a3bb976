#pragma once
// The capture controller: the one object that owns the recording components
// and the state of the current take, and answers every command. Created once
// by the command loop and never replaced. Every operation runs on the main
// loop (checked); the mic-level work runs on micSampleQueue.
//
// A take with includeMic also records the microphone and the system audio,
// mixed into a CAF file beside the video and combined with it at stop.
// Restart and discard throw the take's files away; screenshots answer with
// a JPEG of the target (screenshot/screenshot_grabber.h).
//
// Whatever fails, stop answers and lets the take go: "finished" names a
// movie that plays to its end, else an error says why. A part of the take
// that stops writing mid-way (the video or the sound) is told to the host at
// once with a "takeFailed" event.

#include <asio/awaitable.hpp>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "audio/audio_mixer.h"
#include "audio/mic_capture.h"
#include "audio/source_watch.h"
#include "audio/system_audio_capture.h"
#include "control/start_command.h"
#include "control/take_events.h"
#include "output/mixed_audio_writer.h"
#include "exec/main_loop.h"
#include "exec/repeating_timer.h"
#include "exec/serial_queue.h"
#include "platform/platform.h"
#include "recorder/screen_recorder.h"
#include "targets/capture_target.h"

namespace vantor {

class CaptureState {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr auto kElapsedInterval = std::chrono::seconds(1);
  static constexpr auto kMicLevelInterval = std::chrono::milliseconds(100);

  // `events` outlives the controller.
  CaptureState(exec::MainLoop& main, platform::Platform platform, TakeEvents& events);
  ~CaptureState();

  asio::awaitable<void> start(StartCommand command);
  // The path of the finished movie, or nothing when there was no take or it failed.
  asio::awaitable<std::optional<std::string>> stop();
  void pause();
  void resume();
  asio::awaitable<void> restart();
  asio::awaitable<void> discard();
  asio::awaitable<void> screenshot();

  // What a finished movie holds, read back from the file as written.
  struct MovieFacts {
    double seconds = 0;
    bool hasSound = false;
  };
  // Reads `movie` off the main loop; nothing (and a log line) when it cannot be read.
  asio::awaitable<std::optional<MovieFacts>> describeMovie(const std::filesystem::path& movie);

  // Recorded time of the current (or last) take: since the start, less its pauses.
  double elapsedSeconds() const;

  // Appends microphone samples for the next level; runs the append on micSampleQueue.
  void appendMicSamples(std::vector<int16_t> samples);
  // The level of a window of samples: RMS / 32768, at most 1.
  static double micLevel(const std::vector<int16_t>& samples);

  bool isRecording() const { return isRecording_; }
  bool isPaused() const { return isPaused_; }
  const std::optional<StartCommand>& lastStartCommand() const { return lastStartCommand_; }
  const std::optional<CaptureTargetMeta>& lastTargetMeta() const { return lastTargetMeta_; }
  ScreenRecorder& recorder() { return recorder_; }
  const std::optional<std::string>& audioFileURL() const { return audioFileURL_; }

  // The take's audio file and the combined movie's temporary name, both
  // derived from the video path.
  static std::filesystem::path audioFileFor(const std::filesystem::path& video);
  // audioFileFor, unless that is the video itself or a file that is already
  // there (someone's song, an earlier crashed take's sound): then the first
  // free "{stem}-{n}.caf" beside it.
  static std::filesystem::path freeAudioFileFor(const std::filesystem::path& video);
  static std::filesystem::path muxedFileFor(const std::filesystem::path& video);

 private:
  // How start and restart word their failures; otherwise they start alike.
  struct StartWording {
    const char* resolveFailed;
    const char* noDisplays;
    const char* recorderFailed;
    const char* audioWriterFailed;
    bool storesCommand;  // restart keeps the command it started from
  };
  static constexpr StartWording kStartWording{"Failed to resolve capture target: ", "No displays found",
                                              "recorder.start failed: ", "audioWriter.start failed: ", true};
  static constexpr StartWording kRestartWording{"Failed to resolve capture target for restart: ",
                                                "No displays found for restart", "recorder.start (restart) failed: ",
                                                "audioWriter.start (restart) failed: ", false};

  // Resolves the command's target and starts the recorder on it; false
  // (after `fail` was called with the message) when either fails.
  asio::awaitable<bool> startRecorder(const StartCommand& command, const StartWording& wording,
                                      const std::function<void(const std::string&)>& fail);
  // The sources `command` asks for, mixed into a file beside its movie.
  // `failurePrefix` begins the log line when the audio file cannot be started.
  void startAudioChain(const StartCommand& command, std::string_view failurePrefix);
  asio::awaitable<void> tearDownAudioChain();
  // Restart and discard: stops the sound, deletes the audio file and the video.
  asio::awaitable<void> throwAwayTake();
  asio::awaitable<std::string> combine(const std::filesystem::path& video);
  // Tells the host that `part` ("video" or "sound") of the running take
  // stopped writing.
  void takeFailed(const char* part, const std::string& message);
  void watchSources();
  void startTimers();
  void stopTimers();
  void emitLevel();  // on micSampleQueue

  exec::MainLoop& main_;
  platform::Platform platform_;
  TakeEvents& events_;

  ScreenRecorder recorder_;
  std::optional<std::string> audioFileURL_;
  std::optional<StartCommand> lastStartCommand_;
  std::optional<CaptureTargetMeta> lastTargetMeta_;
  std::optional<Clock::time_point> startDate_;
  // Kept in clock ticks, not seconds: the arithmetic is then exact, so every
  // reading during one pause is the same number.
  Clock::duration pausedAccumulated_{};
  std::optional<Clock::time_point> pauseStartedAt_;
  std::unique_ptr<exec::RepeatingTimer> elapsedTimer_;
  std::unique_ptr<exec::RepeatingTimer> micLevelTimer_;
  std::vector<int16_t> recentMicSamples_;  // only on micSampleQueue_
  // Levels are written only while the timers run; the gate makes that exact
  // (the level queue and the main loop, never a sound thread).
  std::mutex levelGate_;
  bool levelsOn_ = false;
  exec::SerialQueue micSampleQueue_{".helper.miclevel"};
  // While set, the sources feed silence of the same length into the mix, so
  // the paused span keeps its place in the timeline but nothing said or
  // played in it is recorded. Read on the sources' threads.
  std::atomic<bool> audioMuted_{false};
  // Declared so that the sources go first and the writer last: nothing can
  // deliver into a component that is already gone.
  MixedAudioWriter audioWriter_;
  AudioMixer mixer_;
  SystemAudioCapture system_;
  MicCapture mic_;
  SourceWatch micWatch_;
  SourceWatch systemWatch_;
  // Combines the files at stop and reads finished movies back, off the main loop.
  exec::SerialQueue muxQueue_{".helper.mux"};
  // Screenshots' JPEG encoding, off the main loop; touches only the image it is handed.
  exec::SerialQueue jpegQueue_{".helper.jpeg"};
  bool isRecording_ = false;
  bool isPaused_ = false;
};

}  // namespace vantor
