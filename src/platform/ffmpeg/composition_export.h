#pragma once
// Exporting a composition as a regular (not fragmented) MPEG-4 movie: the
// video track copied as encoded (copied_track.h), the audio track encoded
// as AAC (aac_track.h), both from time 0, interleaved by time. Sound its
// writer already encoded, in a file unchanged since, is copied from that
// encoding instead (encoded_sound.h): a take's stop then costs no encoding.
//
// Packets are pulled from both tracks in time order and muxed as they
// come, so memory stays flat however long the take. The sound is encoded on
// a thread of its own (packet_pump.h), at the same time as the video is
// copied: encoding is the longer of the two. The moov goes at the
// end, as libavformat writes it: moving it to the front ("faststart") is a
// second pass over the whole file, which would cost more than the export
// itself, for a movie that is read from a local disk.
//
// The file at `out` is replaced, and removed again if the export fails.
// Tracks that come to no packet at all (a zero duration) are left out.

#include <filesystem>

#include "platform/media.h"

namespace vantor::platform::ffmpeg {

class EncodedSoundRegistry;

// Blocks until done. Never throws: failures are in the outcome. Takes what
// `sounds` holds for the audio source, if anything.
ExportOutcome exportComposition(const Composition& composition, const std::filesystem::path& out,
                                EncodedSoundRegistry* sounds = nullptr);

}  // namespace vantor::platform::ffmpeg
