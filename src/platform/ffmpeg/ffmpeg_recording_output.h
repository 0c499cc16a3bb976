#pragma once
// RecordingOutput over FFmpeg, with the writer's machinery (h264_encoder.h,
// mp4_file.h): the stream's thread converts each frame to the encoder's
// picture format and lets the captured image go at once; pictures go
// through a queue of kQueueCapacity to the output's own thread
// ("recording"), which encodes and muxes them.
//
// - The stream's thread never waits: a frame that finds the queue full, or
//   that arrives while paused, is dropped (before any conversion) and counted.
// - The movie's timeline starts at the first frame written; each frame sits
//   at its presentation time, so a paused span stays in the timeline and
//   shows the last frame written before it.
// - When no frame has come for a second (a still screen, a pause), the
//   last picture is encoded again, and again every second after. Fragments
//   are cut only as packets arrive: without these repeats a process killed
//   during a long still stretch would lose the whole stretch and the last
//   second of frames before it. A repeat costs about 5 ms of CPU at 1080p,
//   plus a keyframe every other one (the 2 s rule holds for them too). It
//   is placed a quarter second in the past, so a frame grabbed just before
//   it but handed over after is still in order; if one is not, it goes one
//   tick after the repeat rather than being dropped.
// - After streamDidStop(stopTime) the last frame lasts until stopTime, the
//   file is completed and the delegate hears exactly one report, from the
//   output's thread.
// - The file is created when the output is made, so a path that cannot be
//   written throws there; its header is written on the output's thread.
// - The first failure (a full disk, a write or encoder error) ends writing:
//   the file is completed as far as it goes and cut back to its last
//   complete fragment (fragment_salvage.h), or removed when none is
//   complete; the delegate hears of it at once, and after the stream stops
//   gets a finish report when a playable part is left, else the failure.
// - A stream that stops before any frame was written is a failure ("no
//   frames were recorded") and leaves no file: a movie without frames is of
//   no use to anyone, and a report says why.
// - Released before its stream stopped, the output completes the file as it
//   stands and reports nothing. Released after, it first finishes the work
//   queued (the report included), so the thread releasing it may wait that
//   long (a few frames' encoding).

#include <atomic>
#include <chrono>
#include <memory>

#include "platform/ffmpeg/encoding_thread.h"
#include "platform/ffmpeg/h264_encoder.h"
#include "platform/recording_output.h"

namespace vantor::platform::ffmpeg {

class FfmpegRecordingOutput final : public RecordingOutput {
 public:
  // 3 pictures (with the encoder's last one and the one being converted, at
  // most 4 of 3 MB at 1080p, the most the picture pool grows to). 8 had the
  // pool grow to 28 MB in load spikes; with 3, a take under two busy loops
  // dropped about 0.1 % of its frames for a busy encoder, each one counted.
  static constexpr size_t kQueueCapacity = 3;

  static constexpr std::chrono::milliseconds kRepeatAfter{1000};

  // Throws Error for a size that cannot be encoded, without libx264, or when
  // the file cannot be created.
  // `repeatAfter` zero turns repeats off (tests that use made-up times).
  FfmpegRecordingOutput(const RecordingOutputConfiguration& config, std::weak_ptr<RecordingOutputDelegate> delegate,
                        std::chrono::milliseconds repeatAfter = kRepeatAfter);
  ~FfmpegRecordingOutput() override;

  void setPaused(bool paused) override;
  void streamDidOutputFrame(FrameRef frame) override;
  void streamDidStop(Clock::time_point stopTime) override;
  void abandon() override;

  struct Counts {
    uint64_t received = 0;       // frames the stream handed over
    uint64_t written = 0;        // frames encoded into the movie
    uint64_t repeated = 0;       // repeats of the last picture while no frame came
    uint64_t droppedBusy = 0;    // the queue was full
    uint64_t droppedPaused = 0;  // arrived while paused
    uint64_t droppedUnusable = 0;  // no image, too small, not after the previous one, or after a failure
  };
  Counts counts() const;
  size_t framesQueued() const { return thread_.framesQueued(); }
  // The output's thread, for tests that need to hold it.
  EncodingThread& thread() { return thread_; }

  struct Core;

 private:
  std::shared_ptr<Core> core_;
  PictureConverter pictures_;
  std::atomic<bool> paused_{false};
  std::atomic<bool> stopped_{false};
  EncodingThread thread_;  // last: joined before the rest goes
};

}  // namespace vantor::platform::ffmpeg
