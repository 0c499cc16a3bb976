#include "platform/ffmpeg/copied_track.h"

extern "C" {
#include <libavutil/mathematics.h>
}

#include "platform/ffmpeg/input_file.h"
#include "platform/ffmpeg/media_error.h"

namespace vantor::platform::ffmpeg {

CopiedTrack::CopiedTrack(const std::filesystem::path& source, MediaType type, MediaTime duration)
    : source_(source), input_(openInputFile(source)), held_(av_packet_alloc()) {
  if (!held_) throw mediaError(kCannotRead, "cannot read " + source.string() + ": " + avErrorText(AVERROR(ENOMEM)));
  bool video = type == MediaType::Video;
  streamIndex_ = firstStream(input_.get(), video ? AVMEDIA_TYPE_VIDEO : AVMEDIA_TYPE_AUDIO);
  if (streamIndex_ < 0) throw mediaError(kMissingTrack, source.string() + (video ? " has no video track" : " has no audio track"));
  // The other streams' samples are skipped unread.
  for (unsigned i = 0; i < input_->nb_streams; ++i)
    if (int(i) != streamIndex_) input_->streams[i]->discard = AVDISCARD_ALL;
  AVRational tb = input_->streams[streamIndex_]->time_base;
  end_ = av_rescale_q_rnd(duration.value, AVRational{1, duration.timescale}, tb, AV_ROUND_NEAR_INF);
}

bool CopiedTrack::next(AVPacket* packet) {
  if (!started_) {
    started_ = true;
    holding_ = readKept(held_.get());
  }
  if (!holding_) return false;
  av_packet_move_ref(packet, held_.get());
  holding_ = readKept(held_.get());
  if (!holding_ && packet->pts < end_) packet->duration = end_ - packet->pts;
  return true;
}

// The next packet of the stream presented before the end, its times from 0.
bool CopiedTrack::readKept(AVPacket* packet) {
  for (;;) {
    int r = av_read_frame(input_.get(), packet);
    if (r == AVERROR_EOF) return false;
    if (r < 0) throw mediaError(kCannotRead, "cannot read " + source_.string() + ": " + avErrorText(r));
    if (packet->stream_index != streamIndex_) {
      av_packet_unref(packet);
      continue;
    }
    if (offset_ == AV_NOPTS_VALUE) offset_ = packet->dts != AV_NOPTS_VALUE ? packet->dts : packet->pts;
    if (offset_ != AV_NOPTS_VALUE) {
      if (packet->pts != AV_NOPTS_VALUE) packet->pts -= offset_;
      if (packet->dts != AV_NOPTS_VALUE) packet->dts -= offset_;
    }
    // Decode times only grow: once past the end, nothing later is shown before it.
    bool pastEnd = packet->dts != AV_NOPTS_VALUE && packet->dts >= end_;
    bool shown = packet->pts == AV_NOPTS_VALUE || packet->pts < end_;
    if (!pastEnd && shown) return true;
    av_packet_unref(packet);
    if (pastEnd) return false;
  }
}

}  // namespace vantor::platform::ffmpeg
