#pragma once
// The machine's media services over FFmpeg: H.264 (libx264) in fragmented
// MPEG-4 files, for video writers and recording outputs; CAF linear PCM for
// audio writers; reading files, and exporting compositions as MPEG-4 with
// the video copied and the audio in AAC. Errors are
// vantor::Error in the domain "Vantor.Media" (codes in media_error.h).
//
// FFmpeg's own messages of error severity go to the log; chattier ones
// (libx264's start-up banner and the like) are dropped.

#include <memory>

#include "platform/media.h"

namespace vantor::platform {

std::unique_ptr<MediaServices> makeFfmpegMediaServices();

}  // namespace vantor::platform
