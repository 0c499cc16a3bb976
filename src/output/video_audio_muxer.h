#pragma once
// Combines a take's video-only movie and its audio file into one MPEG-4
// movie: the video track over its whole duration, and the audio track (when
// the file has one) from time zero over the shorter of the two durations.
// The inputs are never changed; an earlier file at `out` is replaced.
//
// Runs on `worker`, a queue the caller owns (so the thread is joined before
// the caller's loop goes); the caller awaits it from the main loop.
// Throws the media services' error unchanged, or "Vantor.Mux":
//   1  the video file has no video track
//   3  the export ended unfinished without saying why

#include <asio/awaitable.hpp>
#include <filesystem>
#include <string>

#include "exec/loop.h"
#include "platform/media.h"

namespace vantor {

class VideoAudioMuxer {
 public:
  static asio::awaitable<void> mux(platform::MediaServices& media, exec::Loop& worker, std::filesystem::path video,
                                   std::filesystem::path audio, std::filesystem::path out);

  // The blocking body of mux(), for callers already off the main loop.
  static void muxNow(platform::MediaServices& media, const std::filesystem::path& video,
                     const std::filesystem::path& audio, const std::filesystem::path& out);

  // Seconds in the shortest form that reads back as the same double, with
  // at least one fractional digit: 0.0, 12.5, 3.3333333333333335, nan.
  static std::string formatSeconds(double seconds);
};

}  // namespace vantor
