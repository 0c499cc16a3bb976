#pragma once
// VideoWriter over FFmpeg: frames are handed to the writer's own thread
// ("videowriter") through a queue of kQueueCapacity frames, converted,
// encoded and muxed there (h264_encoder.h and mp4_file.h say how).
//
// The queue bound: 8 frames is 133 ms at 60 fps, enough to ride out
// libx264's occasional slow frame (18–137 ms measured) without refusing
// frames, while the memory it pins stays small (8 shared images, 66 MB at
// 1080p, usually pool buffers the capture side owns anyway). A longer queue
// would only hide an encoder that cannot keep up, at the price of latency
// and memory; the caller sees isReadyForMoreMediaData() go false instead.
//
// startWriting opens the encoder and creates the file on the caller's thread
// (5–10 ms at 1080p here), so that its answer is final.
//
// Frames are placed at presentation time − session source time, in 1/90000 s;
// a frame before the session, or not at least one tick after the previous
// one, is refused. The first frame is shown from the session's start even
// when it came later (mp4_file.h says why). Frames must be at least width × height; their top-left
// width × height pixels (both rounded down to even) are encoded.

#include <atomic>
#include <filesystem>
#include <memory>
#include <optional>

#include "platform/ffmpeg/encoding_thread.h"
#include "platform/media.h"

namespace vantor::platform::ffmpeg {

class FfmpegVideoWriter final : public VideoWriter {
 public:
  static constexpr size_t kQueueCapacity = 8;

  // Throws Error for a size that cannot be encoded or without libx264.
  FfmpegVideoWriter(std::filesystem::path path, int width, int height,
                    VideoQuality quality = VideoQuality::standard);
  // Without finishWriting, the frames still queued are dropped and the file
  // is completed as it stands.
  ~FfmpegVideoWriter() override;

  bool startWriting() override;
  void startSession(Clock::time_point sourceTime) override;
  bool isReadyForMoreMediaData() const override;
  bool append(const FrameRef& frame) override;
  void markAsFinished() override;
  void finishWriting(exec::Resolver<void> done) override;

  struct Counts {
    uint64_t accepted = 0;  // append() said yes
    uint64_t refused = 0;   // append() said no
    uint64_t written = 0;   // encoded into the file
  };
  Counts counts() const;
  // Why startWriting() returned false, if it did.
  const std::optional<Error>& startError() const { return startError_; }
  // The writer's thread, for tests that need to hold it while they fill the queue.
  EncodingThread& thread() { return thread_; }

  struct Core;

 private:
  std::shared_ptr<Core> core_;
  int width_, height_;
  VideoQuality quality_;
  bool started_ = false;
  bool finishing_ = false;
  bool markedFinished_ = false;
  std::optional<Clock::time_point> sessionStart_;
  std::optional<int64_t> lastPts_;
  uint64_t accepted_ = 0;
  std::atomic<uint64_t> refused_{0};
  std::optional<Error> startError_;
  EncodingThread thread_;  // last: joined before the rest goes
};

}  // namespace vantor::platform::ffmpeg
