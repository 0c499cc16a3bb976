#include "control/capture_state.h"

#include <cmath>
#include <filesystem>

#include <fmt/format.h>

#include "util/log.h"
#include "output/video_audio_muxer.h"
#include "screenshot/screenshot_grabber.h"
#include "targets/capture_catalog.h"
#include "util/base64.h"

namespace vantor {

CaptureState::CaptureState(exec::MainLoop& main, platform::Platform platform, TakeEvents& events)
    : main_(main),
      platform_(platform),
      events_(events),
      recorder_(main, platform),
      audioWriter_(platform.media),
      system_(platform.audio.systemAudio, platform.capabilities.systemAudio),
      mic_(platform.audio.input) {
  recorder_.setOnWritingFailed([this](const Error& e) { takeFailed("video", e.description()); });
  audioWriter_.setOnFailure([this](const Error& e) { main_.post([this, e] { takeFailed("sound", e.description()); }); });
}

void CaptureState::takeFailed(const char* part, const std::string& message) {
  VANTOR_ASSERT_ON(main_);
  // A report that arrives after the take ended is answered by the stop.
  if (!isRecording_) return;
  events_.takeFailed(part, message);
}

CaptureState::~CaptureState() = default;

asio::awaitable<bool> CaptureState::startRecorder(const StartCommand& command, const StartWording& wording,
                                                  const std::function<void(const std::string&)>& fail) {
  VANTOR_ASSERT_ON(main_);
  std::optional<CaptureTargetMeta> target;
  try {
    target = co_await resolveTarget(platform_.screenCapture, command.target, command.mode);
  } catch (const std::exception& e) {
    fail(std::string(wording.resolveFailed) + e.what());
    co_return false;
  }
  if (!target) {
    fail(wording.noDisplays);
    co_return false;
  }

  // A relative path is taken relative to the working directory, as open(2) does.
  std::filesystem::path video(command.outputPath);
  if (wording.storesCommand) lastStartCommand_ = command;
  lastTargetMeta_ = *target;
  std::error_code ignored;
  std::filesystem::create_directories(video.parent_path(), ignored);
  try {
    co_await recorder_.start(*target, command.includeMic, video,
                             {command.frameRate, command.nativeSize, command.showsCursor, command.quality});
  } catch (const std::exception& e) {
    fail(std::string(wording.recorderFailed) + e.what());
    co_return false;
  }
  co_return true;
}

asio::awaitable<void> CaptureState::start(StartCommand command) {
  VANTOR_ASSERT_ON(main_);
  if (isRecording_) {
    events_.error("already recording");
    co_return;
  }
  events_.status("starting");
  if (!co_await startRecorder(command, kStartWording, [this](const std::string& message) { events_.error(message); }))
    co_return;
  // A failed stop of an earlier take may have left its audio file's name.
  audioFileURL_.reset();
  if (command.recordsSound()) startAudioChain(command, kStartWording.audioWriterFailed);

  isRecording_ = true;
  isPaused_ = false;
  startDate_ = Clock::now();
  pausedAccumulated_ = {};
  pauseStartedAt_.reset();
  events_.status("recording");
  startTimers();
}

asio::awaitable<std::optional<std::string>> CaptureState::stop() {
  VANTOR_ASSERT_ON(main_);
  if (!isRecording_) {
    events_.error("not recording");
    co_return std::nullopt;
  }
  events_.status("stopping");
  stopTimers();
  isRecording_ = false;
  co_await tearDownAudioChain();

  std::filesystem::path video;
  std::exception_ptr failure;
  try {
    video = co_await recorder_.stop();
  } catch (...) {
    failure = std::current_exception();
  }
  if (failure) {
    // A stream that would not stop is let go all the same; the sound file,
    // if any, is kept: it may be all that is left of the take.
    co_await recorder_.abandon();
    events_.error("recorder.stop failed: " + describe(failure));
    co_return std::nullopt;
  }
  if (!audioFileURL_) co_return video.string();
  try {
    co_return co_await combine(video);
  } catch (const std::exception& e) {
    // combine words its own failures; this keeps an unforeseen one from
    // taking the answer away. The video plays on its own.
    logError(std::string("stop: combining failed unexpectedly (") + e.what() + "); using video-only file");
  }
  co_return video.string();
}

std::filesystem::path CaptureState::audioFileFor(const std::filesystem::path& video) {
  std::filesystem::path audio = video;
  return audio.replace_extension("caf");
}

std::filesystem::path CaptureState::freeAudioFileFor(const std::filesystem::path& video) {
  std::filesystem::path audio = audioFileFor(video);
  std::error_code ignored;
  // A name that cannot even be looked at counts as free: creating it then fails and says why.
  for (int n = 1; audio == video || std::filesystem::exists(audio, ignored); ++n) {
    audio = video.parent_path() / (video.stem().string() + "-" + std::to_string(n) + ".caf");
  }
  return audio;
}

std::filesystem::path CaptureState::muxedFileFor(const std::filesystem::path& video) {
  std::filesystem::path muxed = video;
  return muxed.replace_extension("muxed.mp4");
}

void CaptureState::startAudioChain(const StartCommand& command, std::string_view failurePrefix) {
  VANTOR_ASSERT_ON(main_);
  const std::filesystem::path video(command.outputPath);
  audioMuted_ = false;
  std::filesystem::path audio = freeAudioFileFor(video);
  try {
    audioWriter_.start(audio);
    audioFileURL_ = audio.string();
  } catch (const std::exception& e) {
    logError(std::string(failurePrefix) + e.what() + "; continuing without audio file");
    audioFileURL_.reset();
    return;
  }

  mixer_.setOnFrame([this](MonoBatch batch) { audioWriter_.appendFrame(std::move(batch)); });
  micWatch_.arm();
  systemWatch_.arm();
  mic_.setOnFrame([this](MonoBatch batch) {
    micWatch_.delivered();
    // The level hears the live microphone, paused or not; the file does not.
    appendMicSamples(batch);
    if (audioMuted_) std::fill(batch.begin(), batch.end(), int16_t(0));
    mixer_.feedMic(std::move(batch));
  });
  system_.setOnFrame([this](MonoBatch batch) {
    systemWatch_.delivered();
    if (audioMuted_) std::fill(batch.begin(), batch.end(), int16_t(0));
    mixer_.feedSystem(std::move(batch));
  });

  mixer_.start();
  // A source that cannot start contributes nothing; the take goes on.
  if (command.recordsMicrophone()) {
    try {
      mic_.start();
    } catch (const std::exception&) {
    }
  }
  if (platform_.capabilities.systemAudio && command.recordsSystemAudio()) {
    try {
      system_.start();
    } catch (const std::exception&) {
    }
  }
}

asio::awaitable<void> CaptureState::tearDownAudioChain() {
  VANTOR_ASSERT_ON(main_);
  mic_.stop();
  system_.stop();
  mixer_.stop();
  // A glitch in the sound each time: it takes a source that stalled longer
  // than the mixer holds for it, or one that lost or doubled samples.
  if (uint64_t dropped = mixer_.droppedSamples())
    logError(fmt::format("audio: {} samples ({:.2f} s) that came after their place in the stream was written were "
                         "dropped",
                         dropped, double(dropped) / PCMConverter::kCommonSampleRate));
  if (uint64_t silenced = mixer_.silencedSamples())
    logError(fmt::format("audio: a source lost {} samples ({:.2f} s); silence stands in for them", silenced,
                         double(silenced) / PCMConverter::kCommonSampleRate));
  std::exception_ptr failure;
  try {
    co_await audioWriter_.finish();
  } catch (...) {
    failure = std::current_exception();
  }
  // The file keeps what was written before the failure and is combined as usual.
  if (failure) logError("MixedAudioWriter.finish failed: " + describe(failure));
}

void CaptureState::watchSources() {
  VANTOR_ASSERT_ON(main_);
  auto now = SourceWatch::Clock::now();
  if (mic_.isRunning() && micWatch_.fellQuiet(now))
    logError("audio: the microphone stopped delivering sound (its sound server or device went away); "
             "the take goes on without it");
  if (system_.isRunning() && systemWatch_.fellQuiet(now))
    logError("audio: the system audio stopped delivering sound (its sound server or device went away); "
             "the take goes on without it");
}

asio::awaitable<std::string> CaptureState::combine(const std::filesystem::path& video) {
  VANTOR_ASSERT_ON(main_);
  std::filesystem::path audio = *audioFileURL_;
  std::filesystem::path muxed = muxedFileFor(video);
  std::error_code ignored;
  std::string failure;
  try {
    co_await VideoAudioMuxer::mux(platform_.media, muxQueue_, video, audio, muxed);
  } catch (const std::exception& e) {
    failure = e.what();
  }
  // The combined movie replaces the video in one rename, so a failure
  // part-way can never leave the user with neither file.
  std::error_code renamed;
  if (failure.empty()) std::filesystem::rename(muxed, video, renamed);
  if (renamed) failure = renamed.message();
  if (!failure.empty()) {
    // The sound is kept: on a full disk the combination fails, and the
    // sound file is then all there is of the take's sound.
    logError("stop: mux failed (" + failure + "); using video-only file");
    logInfo("stop: the sound stays in " + audio.filename().string());
    std::filesystem::remove(muxed, ignored);
    audioFileURL_.reset();
    co_return video.string();
  }
  std::filesystem::remove(audio, ignored);
  audioFileURL_.reset();
  logInfo("stop: mux succeeded → " + video.filename().string());
  co_return video.string();
}

asio::awaitable<std::optional<CaptureState::MovieFacts>> CaptureState::describeMovie(
    const std::filesystem::path& movie) {
  VANTOR_ASSERT_ON(main_);
  try {
    co_return co_await exec::awaitCompletion<std::optional<MovieFacts>>(
        [&](exec::Resolver<std::optional<MovieFacts>> done) {
          muxQueue_.post([this, movie, done] {
            VANTOR_ASSERT_ON(muxQueue_);  // reading the index may take a while for a long take
            try {
              std::unique_ptr<platform::MediaAsset> asset = platform_.media.openAsset(movie);
              MovieFacts facts{asset->loadDuration().seconds(), asset->loadTracks(platform::MediaType::Audio) > 0};
              done.succeed(facts);
            } catch (...) {
              done.fail(std::current_exception());
            }
          });
        });
  } catch (const std::exception& e) {
    logError("stop: cannot read the finished movie back (" + std::string(e.what()) + ")");
  }
  co_return std::nullopt;
}

void CaptureState::pause() {
  VANTOR_ASSERT_ON(main_);
  if (!isRecording_) {
    events_.error("not recording");
    return;
  }
  if (isPaused_) {
    events_.error("already paused");
    return;
  }
  isPaused_ = true;
  recorder_.setPaused(true);
  audioMuted_ = true;
  pauseStartedAt_ = Clock::now();
  logInfo("vantor: paused");
  events_.status("paused");
}

void CaptureState::resume() {
  VANTOR_ASSERT_ON(main_);
  if (!isRecording_) {
    events_.error("not recording");
    return;
  }
  if (!isPaused_) {
    events_.error("not paused");
    return;
  }
  isPaused_ = false;
  recorder_.setPaused(false);
  audioMuted_ = false;
  if (pauseStartedAt_) {
    pausedAccumulated_ += Clock::now() - *pauseStartedAt_;
    pauseStartedAt_.reset();
  }
  logInfo("vantor: resumed");
  events_.status("recording");
}

double CaptureState::elapsedSeconds() const {
  VANTOR_ASSERT_ON(main_);
  if (!startDate_) return 0;
  Clock::time_point now = Clock::now();
  Clock::duration current = pauseStartedAt_ ? now - *pauseStartedAt_ : Clock::duration{};
  return std::chrono::duration<double>((now - *startDate_) - pausedAccumulated_ - current).count();
}

void CaptureState::startTimers() {
  VANTOR_ASSERT_ON(main_);
  {
    std::lock_guard lock(levelGate_);
    levelsOn_ = true;
  }
  elapsedTimer_ = std::make_unique<exec::RepeatingTimer>(main_, kElapsedInterval, [this] {
    if (startDate_) events_.elapsed(elapsedSeconds());
  });
  elapsedTimer_->start();
  micLevelTimer_ = std::make_unique<exec::RepeatingTimer>(main_, kMicLevelInterval, [this] {
    watchSources();
    // The arithmetic runs on the queue that owns the samples, off the main loop.
    micSampleQueue_.post([this] { emitLevel(); });
  });
  micLevelTimer_->start();
}

void CaptureState::stopTimers() {
  VANTOR_ASSERT_ON(main_);
  {
    // A level already on its way is not written after the take's end.
    std::lock_guard lock(levelGate_);
    levelsOn_ = false;
  }
  if (elapsedTimer_) elapsedTimer_->cancel();
  elapsedTimer_.reset();
  if (micLevelTimer_) micLevelTimer_->cancel();
  micLevelTimer_.reset();
}

void CaptureState::appendMicSamples(std::vector<int16_t> samples) {
  micSampleQueue_.post([this, samples = std::move(samples)] {
    recentMicSamples_.insert(recentMicSamples_.end(), samples.begin(), samples.end());
  });
}

double CaptureState::micLevel(const std::vector<int16_t>& samples) {
  double sum = 0;
  for (int16_t s : samples) sum += double(s) * double(s);
  double rms = std::sqrt(sum / double(samples.size()));
  return std::min(rms / 32768.0, 1.0);
}

void CaptureState::emitLevel() {
  VANTOR_ASSERT_ON(micSampleQueue_);
  if (recentMicSamples_.empty()) return;  // the host's meter keeps its last value
  std::vector<int16_t> window;
  window.swap(recentMicSamples_);
  std::lock_guard lock(levelGate_);
  if (levelsOn_) events_.micLevel(micLevel(window));
}

asio::awaitable<void> CaptureState::restart() {
  VANTOR_ASSERT_ON(main_);
  if (!isRecording_) {
    events_.error("not recording");
    co_return;
  }
  if (!lastStartCommand_) {
    events_.error("no start command stored for restart");
    co_return;
  }
  const StartCommand command = *lastStartCommand_;
  logInfo("vantor: restarting take → " + command.outputPath);
  events_.status("restarting");
  co_await throwAwayTake();

  // The timers keep running across a restart; only a failed one stops them.
  auto failed = [this](const std::string& message) {
    events_.error(message);
    isRecording_ = false;
    isPaused_ = false;
    stopTimers();
  };
  if (!co_await startRecorder(command, kRestartWording, failed)) co_return;
  if (command.recordsSound()) startAudioChain(command, kRestartWording.audioWriterFailed);

  isPaused_ = false;
  startDate_ = Clock::now();
  pausedAccumulated_ = {};
  pauseStartedAt_.reset();
  logInfo("vantor: restart complete");
  events_.status("recording");
}

asio::awaitable<void> CaptureState::discard() {
  VANTOR_ASSERT_ON(main_);
  if (!isRecording_) {
    events_.error("not recording");
    co_return;
  }
  logInfo("vantor: discarding take");
  events_.status("discarding");
  stopTimers();
  isRecording_ = false;
  isPaused_ = false;
  pauseStartedAt_.reset();
  co_await throwAwayTake();
  lastStartCommand_.reset();
  startDate_.reset();
  pausedAccumulated_ = {};
  events_.status("discarded");
}

asio::awaitable<void> CaptureState::throwAwayTake() {
  VANTOR_ASSERT_ON(main_);
  co_await tearDownAudioChain();
  if (audioFileURL_) {
    std::error_code ignored;
    std::filesystem::remove(*audioFileURL_, ignored);
    audioFileURL_.reset();
  }
  co_await recorder_.discard();
}

asio::awaitable<void> CaptureState::screenshot() {
  VANTOR_ASSERT_ON(main_);
  if (!lastTargetMeta_) {
    events_.error("screenshot: no active capture target");
    co_return;
  }
  platform::FrameRef fallback = recorder_.currentSampleBuffer();
  std::optional<std::vector<uint8_t>> jpeg = co_await ScreenshotGrabber::grabJPEG(platform_, *lastTargetMeta_, fallback, jpegQueue_);
  if (!jpeg) {
    events_.error("screenshot: failed to capture JPEG");
    co_return;
  }
  events_.screenshot(elapsedSeconds(), base64Encode(*jpeg));
}

}  // namespace vantor
