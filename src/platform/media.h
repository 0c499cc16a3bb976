#pragma once
// What the system needs from the machine's media services for video: an
// H.264 MPEG-4 writer with an asset writer's contract, and recording outputs.

#include <chrono>
#include <filesystem>
#include <memory>

#include "exec/completion.h"
#include "platform/recording_output.h"
#include "platform/video_frame.h"

namespace vantor::platform {

// An H.264 MPEG-4 writer with one video input. Methods are called on one
// thread (the main loop); encoding runs on the writer's own thread.
//
// The movie's timeline begins at the session's source time; each accepted
// frame is placed at its presentation time. While the bounded encoder queue
// is full, isReadyForMoreMediaData() is false and append() refuses frames.
// The file is written so that a process killed mid-take leaves a movie that
// misses at most about the last second.
class VideoWriter {
 public:
  using Clock = std::chrono::steady_clock;

  virtual ~VideoWriter() = default;

  // Opens the file and the encoder. False (and nothing written) on failure.
  virtual bool startWriting() = 0;
  virtual void startSession(Clock::time_point sourceTime) = 0;
  virtual bool isReadyForMoreMediaData() const = 0;
  // Accepted (true) or refused (false): refused when not started, before the
  // session, after markAsFinished, when the queue is full, or out of order.
  virtual bool append(const FrameRef& frame) = 0;
  virtual void markAsFinished() = 0;
  // Drains the queue and completes the file; reports from the writer's thread.
  // A writer that never started writing reports at once.
  virtual void finishWriting(exec::Resolver<void> done) = 0;
};

class MediaServices {
 public:
  virtual ~MediaServices() = default;

  // A writer for an MPEG-4 file at `path` with frames of width × height.
  // Throws Error when the writer cannot be made.
  virtual std::unique_ptr<VideoWriter> createVideoWriter(const std::filesystem::path& path, int width,
                                                         int height) = 0;

  // A recording output for `config`; its report goes to `delegate`, which it
  // holds weakly. Throws Error when it cannot be made.
  virtual std::shared_ptr<RecordingOutput> createRecordingOutput(const RecordingOutputConfiguration& config,
                                                                 std::weak_ptr<RecordingOutputDelegate> delegate) = 0;
};

}  // namespace vantor::platform
