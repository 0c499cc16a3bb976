#pragma once
// A file's first stream of a type as it is encoded, packet by packet, for
// copying into another file: no decoding, so a take's H.264 goes into the
// export bit for bit.
//
// Times start at 0 (the first packet's decode time is taken off) and are in
// the source stream's time base. Packets presented at or after the end are
// left out; the last one kept lasts until the end, so the copy is exactly
// as long as asked (for streams without reordered frames, like the takes'
// H.264, where the last one kept is also the last one shown).

#include <filesystem>

#include "platform/ffmpeg/av_handles.h"
#include "platform/media.h"

namespace vantor::platform::ffmpeg {

class CopiedTrack {
 public:
  // Opens `source`'s first stream of `type`; keeps [0, duration) of it.
  // Throws Error.
  CopiedTrack(const std::filesystem::path& source, MediaType type, MediaTime duration);
  CopiedTrack(const CopiedTrack&) = delete;
  CopiedTrack& operator=(const CopiedTrack&) = delete;

  const AVStream* stream() const { return input_->streams[streamIndex_]; }

  // The next packet; false after the last. Throws Error.
  bool next(AVPacket* packet);

 private:
  bool readKept(AVPacket* packet);

  std::filesystem::path source_;
  InputHandle input_;
  int streamIndex_ = -1;
  int64_t end_ = 0;  // in the stream's time base, from 0
  int64_t offset_ = AV_NOPTS_VALUE;
  PacketHandle held_;  // read ahead: whether it is the last decides its duration
  bool holding_ = false;
  bool started_ = false;
};

}  // namespace vantor::platform::ffmpeg
