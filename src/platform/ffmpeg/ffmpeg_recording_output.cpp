#include "platform/ffmpeg/ffmpeg_recording_output.h"

#include <fmt/format.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>

extern "C" {
#include <libavutil/mathematics.h>
}

#include "util/log.h"
#include "platform/ffmpeg/fragment_salvage.h"
#include "platform/ffmpeg/h264_encoder.h"
#include "platform/ffmpeg/media_error.h"
#include "platform/ffmpeg/mp4_file.h"

namespace vantor::platform::ffmpeg {

namespace {

int64_t ticksBetween(RecordingOutput::Clock::time_point from, RecordingOutput::Clock::time_point to) {
  auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(to - from).count();
  return av_rescale(ns, kTicksPerSecond, 1'000'000'000);
}

}  // namespace

// What the output's thread works on; jobs hold it.
struct FfmpegRecordingOutput::Core {
  RecordingOutputConfiguration config;
  std::weak_ptr<RecordingOutputDelegate> delegate;

  // Touched only on the output's thread.
  std::unique_ptr<H264Encoder> encoder;
  std::unique_ptr<Mp4File> file;
  std::optional<Error> failure;
  bool kept = false;  // after a failure: the file still holds a playable movie
  std::optional<Clock::time_point> sessionStart;
  int64_t lastPts = -1;
  bool lastWasRepeat = false;
  bool finished = false;
  int64_t repeatTicks = 0;

  std::atomic<bool> abandoned{false};  // released before the stream stopped, or the take thrown away
  std::atomic<bool> failed{false};     // lets the stream side drop frames before converting them
  std::atomic<uint64_t> received{0}, written{0}, repeated{0}, droppedBusy{0}, droppedPaused{0}, droppedUnusable{0};

  void open() {
    if (abandoned.load()) return;
    try {
      encoder = std::make_unique<H264Encoder>(config.width, config.height, config.quality);
      file = std::make_unique<Mp4File>(config.outputURL, encoder->context());
    } catch (const Error& e) {
      fail(e);
    }
  }

  // Writing ends at the first failure: the file keeps what plays to its end
  // and, during the take, the delegate hears of it at once.
  void fail(const Error& e) {
    // An abandoned take's file is no longer ours: its path may already be the next take's.
    if (failure || abandoned.load()) return;
    record(e);
    file.reset();  // completes what it can; on a full disk that part is torn
    encoder.reset();
    SalvageResult salvaged = cutToLastCompleteFragment(config.outputURL);
    kept = salvaged.keptBytes > 0;
    if (kept)
      logInfo(fmt::format("recording {}: kept {} bytes ({} fragments) that play to the end, cut {} bytes after them",
                          config.outputURL.string(), salvaged.keptBytes, salvaged.fragments, salvaged.cutBytes));
    else if (salvaged.cutBytes > 0)
      logInfo(fmt::format("recording {}: no fragment was complete; the file ({} bytes) is removed",
                          config.outputURL.string(), salvaged.cutBytes));
    if (finished) return;
    if (auto d = delegate.lock()) d->recordingOutputDidStopWriting(e);
  }

  void record(const Error& e) {
    failure = e;
    failed.store(true);
    logError(fmt::format("recording {}: {}", config.outputURL.string(), e.description()));
  }

  void encode(const PictureConverter::Picture& picture, Clock::time_point presentationTime) {
    if (abandoned.load()) return;
    if (finished || failure) {
      droppedUnusable.fetch_add(1, std::memory_order_relaxed);
      return;
    }
    if (!sessionStart) sessionStart = presentationTime;
    int64_t pts = ticksBetween(*sessionStart, presentationTime);
    if (pts <= lastPts) {
      if (!lastWasRepeat) {
        droppedUnusable.fetch_add(1, std::memory_order_relaxed);
        return;
      }
      pts = lastPts + 1;  // grabbed before a repeat, handed over after it
    }
    try {
      encoder->encode(picture, pts, [&](AVPacket* p) { file->write(p); });
      lastPts = pts;
      lastWasRepeat = false;
      written.fetch_add(1, std::memory_order_relaxed);
    } catch (const Error& e) {
      fail(e);
    }
  }

  // Runs when the thread has been idle for the repeat interval.
  void repeatLastPicture() {
    if (abandoned.load() || finished || failure || lastPts < 0) return;
    auto now = Clock::now();
    if (ticksBetween(*sessionStart, now) - lastPts < repeatTicks) return;
    int64_t pts = std::max(lastPts + 1, ticksBetween(*sessionStart, now - std::chrono::milliseconds(250)));
    try {
      encoder->encodeConverted(pts, [&](AVPacket* p) { file->write(p); });
      lastPts = pts;
      lastWasRepeat = true;
      repeated.fetch_add(1, std::memory_order_relaxed);
    } catch (const Error& e) {
      fail(e);
    }
  }

  void finish(Clock::time_point stopTime) {
    finished = true;
    if (!failure && lastPts < 0) {
      file->discard();
      record(mediaError(kNoFrames, "no frames were recorded"));
    }
    if (!failure) {
      try {
        encoder->flush([&](AVPacket* p) { file->write(p); });
        file->finish(ticksBetween(*sessionStart, stopTime));
      } catch (const Error& e) {
        fail(e);
      }
    }
    file.reset();
    encoder.reset();
    logInfo(fmt::format(
        "recording {}: {} frames written, {} repeats; dropped {} (encoder busy), {} (paused), {} (unusable)",
        config.outputURL.string(), written.load(), repeated.load(), droppedBusy.load(), droppedPaused.load(),
        droppedUnusable.load()));
    // The last thing the job does: the delegate may release the output.
    if (auto d = delegate.lock()) {
      if (failure && !kept) d->recordingOutputDidFail(*failure);
      else d->recordingOutputDidFinishRecording();
    }
  }
};

FfmpegRecordingOutput::FfmpegRecordingOutput(const RecordingOutputConfiguration& config,
                                             std::weak_ptr<RecordingOutputDelegate> delegate,
                                             std::chrono::milliseconds repeatAfter)
    : core_(std::make_shared<Core>()), pictures_(config.width, config.height), thread_("recording", kQueueCapacity, true) {
  H264Encoder::checkAvailable(config.width, config.height);
  // Created here, on the caller's thread, so that a path that cannot be
  // written fails the start instead of a take that records nothing.
  if (config.outputURL.empty()) throw mediaError(kCannotCreate, "cannot create the movie: the output path is empty");
  int fd = ::open(config.outputURL.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0)
    throw mediaError(kCannotCreate, fmt::format("cannot create {}: {}", config.outputURL.string(), std::strerror(errno)));
  ::close(fd);
  core_->config = config;
  core_->delegate = std::move(delegate);
  if (repeatAfter.count() > 0) {
    core_->repeatTicks = ticksBetween(Clock::time_point{}, Clock::time_point{} + repeatAfter);
    thread_.whenQuiet(repeatAfter, [core = core_] { core->repeatLastPicture(); });
  }
  // Opened before the stream starts, so the first frame does not wait for the encoder.
  thread_.post([core = core_] { core->open(); });
}

FfmpegRecordingOutput::~FfmpegRecordingOutput() {
  if (!stopped_.load()) core_->abandoned.store(true);
}

void FfmpegRecordingOutput::setPaused(bool paused) { paused_.store(paused); }

void FfmpegRecordingOutput::streamDidOutputFrame(FrameRef frame) {
  auto& c = *core_;
  c.received.fetch_add(1, std::memory_order_relaxed);
  if (stopped_.load() || c.failed.load(std::memory_order_relaxed) || !frame || !frame->isValid || !frame->image ||
      !frame->image->data) {
    c.droppedUnusable.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  if (paused_.load()) {
    c.droppedPaused.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  if (!thread_.hasRoomForFrame()) {  // not worth converting
    c.droppedBusy.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  PictureConverter::Picture picture = pictures_.convert(*frame->image);
  if (!picture) {  // too small for the movie, or out of memory
    c.droppedUnusable.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  bool queued = false;
  try {
    queued = thread_.tryPostFrame([core = core_, picture = std::move(picture), time = frame->presentationTime] {
      core->encode(picture, time);
    });
  } catch (...) {  // out of memory making the job: dropped like any other
  }
  if (!queued) c.droppedBusy.fetch_add(1, std::memory_order_relaxed);
}

// Flushing the encoder and writing the last fragment of a file about to be
// deleted would hold up the restart: the queued frames are skipped, the file
// is closed as it stands, and nobody waits for the thread, which ends on its
// own once a frame it may be encoding is done.
void FfmpegRecordingOutput::abandon() {
  core_->abandoned.store(true);
  if (stopped_.exchange(true)) return;
  thread_.post([core = core_] {
    core->finished = true;
    if (core->file) core->file->abandon();
    core->file.reset();
    core->encoder.reset();
  });
  thread_.letGo();
}

void FfmpegRecordingOutput::streamDidStop(Clock::time_point stopTime) {
  if (stopped_.exchange(true)) return;
  thread_.post([core = core_, stopTime] { core->finish(stopTime); });
}

FfmpegRecordingOutput::Counts FfmpegRecordingOutput::counts() const {
  const auto& c = *core_;
  return {c.received.load(), c.written.load(), c.repeated.load(), c.droppedBusy.load(), c.droppedPaused.load(),
          c.droppedUnusable.load()};
}

}  // namespace vantor::platform::ffmpeg
