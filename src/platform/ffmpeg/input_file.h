#pragma once
// Reading movies and audio files: opening them, finding their streams, and
// where a stream ends.
//
// Where a stream ends is the latest pts + duration of its packets, in the
// stream's time base, found as cheaply as the file allows:
// - CAF linear PCM: the sample count, from the data chunk's size, or for a
//   file whose writer was killed (size left unknown) from the file's size.
// - Files with an index, MPEG-4 among them: the index. The takes are
//   fragmented MPEG-4 whose moov holds no duration; libavformat reads every
//   moof when it opens them (an hour's take at 60 fps: 3600 of them, tens of
//   ms) and indexes every sample. The last sample wholly inside the file ends
//   where the next indexed one starts, or where the track does if it is the
//   last: a killed take's index can name samples its file no longer holds.
//   Index times are decode times, which are presentation times for streams
//   without reordered frames, as the takes' H.264 is.
// - Anything else: reading every packet.

#include <cstdint>
#include <filesystem>
#include <vector>

#include "platform/ffmpeg/av_handles.h"

namespace vantor::platform::ffmpeg {

// Opens `path` and reads its header. Throws Error (kCannotRead).
InputHandle openInputFile(const std::filesystem::path& path);

// How many streams of `type` the file holds, and the first one's index (-1
// when none).
int countStreams(const AVFormatContext* input, AVMediaType type);
int firstStream(const AVFormatContext* input, AVMediaType type);

// For each stream, the latest pts + duration of its packets, in its time
// base (0 for a stream without packets). Expects a freshly opened input; may
// read it and leave its position anywhere. Throws Error (kCannotRead).
std::vector<int64_t> streamEnds(AVFormatContext* input, const std::filesystem::path& path);

}  // namespace vantor::platform::ffmpeg
