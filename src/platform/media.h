#pragma once
// What the system needs from the machine's media services: an H.264 MPEG-4
// writer with an asset writer's contract, recording outputs, a linear-PCM
// audio file writer, and reading, composing and exporting movies.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "exec/completion.h"
#include "platform/recording_output.h"
#include "platform/video_frame.h"
#include "util/error.h"

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

// A linear PCM file writer (CAF: 16-bit signed little-endian, one channel)
// with an asset writer's contract. start/finish are called on one thread;
// append on another (the audio writer's queue), never concurrently with them.
// Appended samples go into the file back to back; the file stays readable up
// to the last append if the process is killed.
class AudioFileWriter {
 public:
  virtual ~AudioFileWriter() = default;
  virtual bool canAddInput() const = 0;
  virtual void addInput() = 0;
  virtual bool startWriting() = 0;
  virtual void startSession(int64_t sourceSample) = 0;
  virtual bool isReadyForMoreMediaData() const = 0;
  // Accepted (true) or refused (false): refused without an input, before the
  // session, after markAsFinished, or when the write fails.
  virtual bool append(std::span<const int16_t> samples, int64_t presentationSample) = 0;
  virtual void markAsFinished() = 0;
  // Completes the file and reports from a thread of the writer's own; fails
  // with the write error when one ended writing.
  virtual void finishWriting(exec::Resolver<void> done) = 0;
  virtual std::filesystem::path outputURL() const = 0;
  // The write error that ended writing (a full disk, say), once one has;
  // called where append is.
  virtual std::optional<Error> writeFailure() const = 0;
};

// A time as value / timescale; timescale 0 is the invalid time.
struct MediaTime {
  int64_t value = 0;
  int32_t timescale = 0;

  bool isValid() const { return timescale > 0; }
  double seconds() const;
  // Ordering of two valid times.
  bool operator<(const MediaTime& other) const;
};

enum class MediaType { Video, Audio };

// A movie or audio file opened for reading. Loads run on the caller's
// thread and may take as long as reading the file's index.
class MediaAsset {
 public:
  virtual ~MediaAsset() = default;
  // The number of tracks of `type`. Throws Error when the file cannot be read.
  virtual int loadTracks(MediaType type) = 0;
  // The file's duration. Throws Error when it cannot be determined.
  virtual MediaTime loadDuration() = 0;
};

// Tracks placed at time zero of a new movie: the first track of `type` in
// each source file, over [0, duration).
struct CompositionTrack {
  std::filesystem::path source;
  MediaType type = MediaType::Video;
  MediaTime duration;
};

struct Composition {
  std::optional<CompositionTrack> video;
  std::optional<CompositionTrack> audio;
};

struct ExportOutcome {
  static constexpr int kCompleted = 3, kFailed = 4, kCancelled = 5;
  int status = kFailed;
  std::optional<Error> error;
};

class MediaServices {
 public:
  virtual ~MediaServices() = default;

  // What writes movies, for log lines people read: "FFmpeg".
  virtual std::string name() const = 0;

  // A writer for an MPEG-4 file at `path` with frames of width × height.
  // Throws Error when the writer cannot be made.
  virtual std::unique_ptr<VideoWriter> createVideoWriter(const std::filesystem::path& path, int width, int height,
                                                         VideoQuality quality) = 0;

  // A recording output for `config`; its report goes to `delegate`, which it
  // holds weakly. Throws Error when it cannot be made.
  virtual std::shared_ptr<RecordingOutput> createRecordingOutput(const RecordingOutputConfiguration& config,
                                                                 std::weak_ptr<RecordingOutputDelegate> delegate) = 0;

  // A writer for a CAF file at `path` at `sampleRate`. Throws Error when the
  // file cannot be created.
  virtual std::unique_ptr<AudioFileWriter> createAudioFileWriter(const std::filesystem::path& path,
                                                                 double sampleRate) = 0;

  // Never fails here; reading failures surface from the loads.
  virtual std::unique_ptr<MediaAsset> openAsset(const std::filesystem::path& path) = 0;

  // Writes `composition` as an MPEG-4 movie at `out`: the video as encoded
  // (no re-encode), the audio encoded as AAC. Blocks until done.
  virtual ExportOutcome exportComposition(const Composition& composition, const std::filesystem::path& out) = 0;
};

}  // namespace vantor::platform
