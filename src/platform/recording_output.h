#pragma once
// A recording output: attached to a stream before it starts, it writes the
// stream's frames into an H.264 MPEG-4 movie on a thread of its own, and
// after the stream stops it finishes the file and reports, exactly once and
// from that thread, either finish or failure to its delegate.
//
// Writing can fail during the take (a full disk, a write or encoder error).
// The output then writes nothing more, leaves the file holding what plays
// to its end (or no file when nothing does) and says so at once; the one
// report after the stream stops still follows.

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string_view>

#include "platform/video_frame.h"
#include "util/error.h"

namespace vantor::platform {

// How much picture the encoder keeps for its bits. `standard` is the
// setting every take had before there was a choice.
enum class VideoQuality { low, standard, high };
std::optional<VideoQuality> videoQualityFromName(std::string_view name);

struct RecordingOutputConfiguration {
  std::filesystem::path outputURL;  // the movie to write (MPEG-4)
  int width = 1920;                 // frame size of the stream it is attached to
  int height = 1080;
  VideoQuality quality = VideoQuality::standard;
};

// Receives the output's reports. Called on the output's own thread.
class RecordingOutputDelegate {
 public:
  virtual ~RecordingOutputDelegate() = default;
  // After the stream stopped: the movie is there and plays to its end (after
  // a failure during the take, it holds what was written before it).
  virtual void recordingOutputDidFinishRecording() = 0;
  // After the stream stopped: no playable movie is left.
  virtual void recordingOutputDidFail(const Error& error) = 0;
  // During the take, at most once: writing failed and has ended.
  virtual void recordingOutputDidStopWriting(const Error& error) = 0;
};

class RecordingOutput {
 public:
  using Clock = std::chrono::steady_clock;

  virtual ~RecordingOutput() = default;

  // While paused no new frames are written: the paused span stays in the
  // movie's timeline and shows the last frame written before the pause.
  // Called on the main loop.
  virtual void setPaused(bool paused) = 0;

  // Stream side. Frames arrive in order from the stream's own thread and must
  // not block it; once streamDidStop is called no frame follows. The movie's
  // last frame lasts until `stopTime`, so the movie covers the whole take.
  virtual void streamDidOutputFrame(FrameRef frame) = 0;
  virtual void streamDidStop(Clock::time_point stopTime) = 0;

  // The take is thrown away (a restart, a discard): frames not yet written
  // are dropped, nothing more is written to the file (the caller deletes
  // it) and no report follows; a stop after it changes nothing. Destroying
  // the output then waits for nothing. Called on the main loop.
  virtual void abandon() = 0;
};

}  // namespace vantor::platform
