#pragma once
// Errors of the FFmpeg media services: domain "Vantor.Media", one code per
// kind of failure, descriptions people can read.

#include <string>

#include "util/error.h"

namespace vantor::platform::ffmpeg {

inline constexpr const char* kMediaDomain = "Vantor.Media";

enum MediaErrorCode : int {
  kInvalidSize = 1,         // frame size out of range
  kEncoderUnavailable = 2,  // libavcodec has no libx264
  kCannotEncode = 3,        // the encoder refused to open or to take a frame
  kCannotCreate = 4,        // the file could not be created or its header written
  kCannotWrite = 5,         // writing to the file failed mid-take
  kNoFrames = 6,            // a recording stopped before any frame was written
  kCannotRead = 7,          // a file could not be opened or read
  kMissingTrack = 8,        // a file lacks the track asked for
  kInvalidComposition = 9,  // nothing to export, or a duration that is not a time
};

inline Error mediaError(MediaErrorCode code, std::string description) {
  return Error(kMediaDomain, code, std::move(description));
}

// FFmpeg's text for an AVERROR code, e.g. "Permission denied".
std::string avErrorText(int averror);

}  // namespace vantor::platform::ffmpeg
