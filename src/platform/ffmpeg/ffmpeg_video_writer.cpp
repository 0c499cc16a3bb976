#include "platform/ffmpeg/ffmpeg_video_writer.h"

#include <fmt/format.h>

extern "C" {
#include <libavutil/mathematics.h>
}

#include "util/log.h"
#include "platform/ffmpeg/h264_encoder.h"
#include "platform/ffmpeg/media_error.h"
#include "platform/ffmpeg/mp4_file.h"

namespace vantor::platform::ffmpeg {

// What the writer's thread works on. Jobs hold it, so it lives until the last
// one has run.
struct FfmpegVideoWriter::Core {
  std::filesystem::path path;
  // Set by startWriting before the first job is posted; touched only by jobs after.
  std::unique_ptr<H264Encoder> encoder;
  std::unique_ptr<Mp4File> file;
  std::optional<Error> failure;  // the first failure on the thread
  bool completed = false;        // finished (or failed) for good
  std::atomic<bool> failed{false};
  std::atomic<bool> abandoned{false};  // the writer went away without finishing
  std::atomic<uint64_t> written{0};

  void encode(const FrameRef& frame, int64_t pts) {
    if (failure || completed || abandoned.load()) return;
    try {
      encoder->encode(*frame->image, pts, [&](AVPacket* p) { file->write(p); });
      written.fetch_add(1, std::memory_order_relaxed);
    } catch (const Error& e) {
      fail(e);
    }
  }

  void fail(const Error& e) {
    failure = e;
    failed.store(true);
    logError(fmt::format("video writer {}: {}", path.string(), e.description()));
  }

  void finish(const exec::Resolver<void>& done) {
    if (!completed) {
      completed = true;
      if (!failure) {
        try {
          encoder->flush([&](AVPacket* p) { file->write(p); });
          file->finish(std::nullopt);
        } catch (const Error& e) {
          fail(e);
        }
      }
      file.reset();  // after a failure: completes the file as it stands
      encoder.reset();
    }
    if (failure) done.fail(*failure);
    else done.succeed();
  }
};

FfmpegVideoWriter::FfmpegVideoWriter(std::filesystem::path path, int width, int height, VideoQuality quality)
    : core_(std::make_shared<Core>()), width_(width), height_(height), quality_(quality),
      thread_("videowriter", kQueueCapacity, true) {
  H264Encoder::checkAvailable(width, height);
  core_->path = std::move(path);
}

FfmpegVideoWriter::~FfmpegVideoWriter() {
  if (!finishing_) core_->abandoned.store(true);
}

bool FfmpegVideoWriter::startWriting() {
  if (started_ || finishing_) return false;
  try {
    auto encoder = std::make_unique<H264Encoder>(width_, height_, quality_);
    core_->file = std::make_unique<Mp4File>(core_->path, encoder->context());
    core_->encoder = std::move(encoder);
    started_ = true;
    return true;
  } catch (const Error& e) {
    startError_ = e;
    logError(fmt::format("video writer: {}", e.description()));
    return false;
  }
}

void FfmpegVideoWriter::startSession(Clock::time_point sourceTime) {
  if (!started_ || sessionStart_) return;
  sessionStart_ = sourceTime;
}

bool FfmpegVideoWriter::isReadyForMoreMediaData() const {
  return started_ && sessionStart_ && !markedFinished_ && !finishing_ && !core_->failed.load() &&
         thread_.hasRoomForFrame();
}

bool FfmpegVideoWriter::append(const FrameRef& frame) {
  auto refuse = [&] {
    refused_.fetch_add(1, std::memory_order_relaxed);
    return false;
  };
  if (!started_ || !sessionStart_ || markedFinished_ || finishing_ || core_->failed.load()) return refuse();
  if (!frame || !frame->isValid || !frame->image || frame->image->width < width_ ||
      frame->image->height < height_ || !frame->image->data)
    return refuse();
  auto offset = std::chrono::duration_cast<std::chrono::nanoseconds>(frame->presentationTime - *sessionStart_);
  int64_t pts = av_rescale(offset.count(), kTicksPerSecond, 1'000'000'000);
  if (offset.count() < 0 || (lastPts_ && pts <= *lastPts_)) return refuse();
  bool queued = false;
  try {
    queued = thread_.tryPostFrame([core = core_, frame, pts] { core->encode(frame, pts); });
  } catch (...) {  // out of memory making the job: refused like a full queue
  }
  if (!queued) return refuse();
  lastPts_ = pts;
  ++accepted_;
  return true;
}

void FfmpegVideoWriter::markAsFinished() { markedFinished_ = true; }

void FfmpegVideoWriter::finishWriting(exec::Resolver<void> done) {
  if (!started_) {
    done.succeed();
    return;
  }
  finishing_ = true;
  markedFinished_ = true;
  thread_.post([core = core_, done = std::move(done)] { core->finish(done); });
}

FfmpegVideoWriter::Counts FfmpegVideoWriter::counts() const {
  return {accepted_, refused_.load(), core_->written.load()};
}

}  // namespace vantor::platform::ffmpeg
