#include "platform/ffmpeg/mp4_file.h"

#include <system_error>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
}

#include "platform/ffmpeg/h264_encoder.h"
#include "platform/ffmpeg/media_error.h"

namespace vantor::platform::ffmpeg {

Mp4File::Mp4File(const std::filesystem::path& path, const AVCodecContext* encoder) : path_(path) {
  const std::string name = path.string();
  auto fail = [&](MediaErrorCode code, const std::string& what, int r) {
    bool created = format_ && format_->pb;
    if (format_) avio_closep(&format_->pb);
    avformat_free_context(format_);
    format_ = nullptr;
    av_packet_free(&held_);
    if (created) {
      std::error_code ignored;
      std::filesystem::remove(path_, ignored);
    }
    throw mediaError(code, what + " " + name + ": " + avErrorText(r));
  };

  int r = avformat_alloc_output_context2(&format_, nullptr, "mp4", nullptr);
  if (r < 0) fail(kCannotCreate, "cannot create", r);
  held_ = av_packet_alloc();
  stream_ = avformat_new_stream(format_, nullptr);
  if (!held_ || !stream_) fail(kCannotCreate, "cannot create", AVERROR(ENOMEM));
  r = avcodec_parameters_from_context(stream_->codecpar, encoder);
  if (r < 0) fail(kCannotCreate, "cannot create", r);
  stream_->time_base = encoder->time_base;
  codecTimeBaseNum_ = encoder->time_base.num;
  codecTimeBaseDen_ = encoder->time_base.den;

  r = avio_open(&format_->pb, name.c_str(), AVIO_FLAG_WRITE);
  if (r < 0) fail(kCannotCreate, "cannot create", r);

  AVDictionary* options = nullptr;
  av_dict_set(&options, "movflags", "+frag_keyframe+empty_moov+default_base_moof+write_colr", 0);
  av_dict_set(&options, "frag_duration", "1000000", 0);  // µs
  av_dict_set(&options, "flush_packets", "1", 0);
  r = avformat_write_header(format_, &options);
  av_dict_free(&options);
  if (r < 0) fail(kCannotCreate, "cannot create", r);
  open_ = true;
}

Mp4File::~Mp4File() {
  if (open_) {
    try {
      finish(std::nullopt);
    } catch (const Error&) {
      close();
    }
  }
  av_packet_free(&held_);
}

void Mp4File::write(AVPacket* packet) {
  if (holding_) {
    int64_t interval = packet->dts - held_->dts;
    held_->duration = interval;
    if (interval > 0) lastInterval_ = interval;
    mux(held_);
  }
  bool first = !holding_ && written_ == 0;
  int r = av_packet_ref(held_, packet);
  if (r < 0) throw mediaError(kCannotWrite, "cannot write " + path_.string() + ": " + avErrorText(r));
  if (first) held_->pts = held_->dts = 0;
  holding_ = true;
}

void Mp4File::finish(std::optional<int64_t> endPts) {
  if (!open_) return;
  try {
    if (holding_) {
      if (endPts && *endPts > held_->pts) held_->duration = *endPts - held_->pts;
      else held_->duration = lastInterval_ > 0 ? lastInterval_ : kTicksPerSecond / 60;
      mux(held_);
    }
    int r = av_write_trailer(format_);
    if (r < 0) throw mediaError(kCannotWrite, "cannot write " + path_.string() + ": " + avErrorText(r));
    r = avio_closep(&format_->pb);
    if (r < 0) throw mediaError(kCannotWrite, "cannot write " + path_.string() + ": " + avErrorText(r));
  } catch (const Error&) {
    close();
    throw;
  }
  close();
}

void Mp4File::discard() {
  if (!open_) return;
  close();
  std::error_code ignored;
  std::filesystem::remove(path_, ignored);
}

void Mp4File::mux(AVPacket* packet) {
  holding_ = false;
  packet->stream_index = stream_->index;
  av_packet_rescale_ts(packet, AVRational{codecTimeBaseNum_, codecTimeBaseDen_}, stream_->time_base);
  int r = av_write_frame(format_, packet);
  av_packet_unref(packet);
  if (r < 0) throw mediaError(kCannotWrite, "cannot write " + path_.string() + ": " + avErrorText(r));
  // flush_packets flushes what the muxer hands over; a write error shows here.
  if (format_->pb->error < 0)
    throw mediaError(kCannotWrite, "cannot write " + path_.string() + ": " + avErrorText(format_->pb->error));
  ++written_;
}

void Mp4File::close() {
  open_ = false;
  holding_ = false;
  av_packet_unref(held_);
  if (format_) avio_closep(&format_->pb);
  avformat_free_context(format_);
  format_ = nullptr;
  stream_ = nullptr;
}

}  // namespace vantor::platform::ffmpeg
