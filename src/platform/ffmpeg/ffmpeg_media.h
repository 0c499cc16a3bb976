#pragma once
// The machine's media services over FFmpeg: H.264 (libx264) in fragmented
// MPEG-4 files, for video writers and recording outputs; CAF linear PCM for
// audio writers; reading files, and exporting compositions as MPEG-4 with
// the video copied and the audio in AAC. Errors are
// vantor::Error in the domain "Vantor.Media" (codes in media_error.h).
//
// Audio writers encode their sound as AAC as they write it and leave it in a
// registry the services share with them; an export of a file that is still
// as its writer left it copies those packets instead of encoding
// (encoded_sound.h).
//
// FFmpeg's own messages of error severity go to the log; chattier ones
// (libx264's start-up banner and the like) are dropped.

#include <memory>

#include "platform/media.h"

namespace vantor::platform {

namespace ffmpeg {
class EncodedSoundRegistry;
}

// A registry of their own unless given one (tests look into theirs).
std::unique_ptr<MediaServices> makeFfmpegMediaServices(std::shared_ptr<ffmpeg::EncodedSoundRegistry> sounds = nullptr);

}  // namespace vantor::platform
