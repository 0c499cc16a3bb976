#include "platform/ffmpeg/caf_file.h"

#include <bit>
#include <cstring>
#include <system_error>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
}

#include "platform/ffmpeg/media_error.h"

namespace vantor::platform::ffmpeg {

CafFile::CafFile(const std::filesystem::path& path, int sampleRate) : path_(path), sampleRate_(sampleRate) {
  const std::string name = path.string();
  auto fail = [&](int r) {
    bool created = format_ && format_->pb;
    if (format_) avio_closep(&format_->pb);
    avformat_free_context(format_);
    format_ = nullptr;
    av_packet_free(&packet_);
    if (created) {
      std::error_code ignored;
      std::filesystem::remove(path_, ignored);
    }
    throw mediaError(kCannotCreate, "cannot create " + name + ": " + avErrorText(r));
  };
  if (sampleRate <= 0) fail(AVERROR(EINVAL));

  int r = avformat_alloc_output_context2(&format_, nullptr, "caf", nullptr);
  if (r < 0) fail(r);
  packet_ = av_packet_alloc();
  AVStream* stream = avformat_new_stream(format_, nullptr);
  if (!packet_ || !stream) fail(AVERROR(ENOMEM));
  AVCodecParameters* par = stream->codecpar;
  par->codec_type = AVMEDIA_TYPE_AUDIO;
  par->codec_id = AV_CODEC_ID_PCM_S16LE;
  par->sample_rate = sampleRate;
  par->ch_layout = AV_CHANNEL_LAYOUT_MONO;
  par->bits_per_coded_sample = 16;
  par->block_align = 2;
  stream->time_base = AVRational{1, sampleRate};

  // A file already there is replaced, not overwritten in place: a reader
  // that still has it open keeps what it had.
  std::error_code removeError;
  std::filesystem::remove(path, removeError);
  r = avio_open(&format_->pb, name.c_str(), AVIO_FLAG_WRITE);
  if (r < 0) fail(r);
  r = avformat_write_header(format_, nullptr);
  if (r >= 0) {
    avio_flush(format_->pb);
    r = format_->pb->error;
  }
  if (r < 0) fail(r);
  open_ = true;
}

CafFile::~CafFile() {
  try {
    finish();
  } catch (const Error&) {
    close();
  }
  av_packet_free(&packet_);
}

void CafFile::write(std::span<const int16_t> samples) {
  auto fail = [&](int r) { throw mediaError(kCannotWrite, "cannot write " + path_.string() + ": " + avErrorText(r)); };
  if (!open_) fail(AVERROR(EINVAL));
  if (samples.empty()) return;
  int bytes = int(samples.size_bytes());
  int r = av_new_packet(packet_, bytes);
  if (r < 0) fail(r);
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(packet_->data, samples.data(), size_t(bytes));
  } else {
    for (size_t i = 0; i < samples.size(); ++i) {
      auto v = uint16_t(samples[i]);
      packet_->data[2 * i] = uint8_t(v & 0xff);
      packet_->data[2 * i + 1] = uint8_t(v >> 8);
    }
  }
  packet_->stream_index = 0;
  packet_->pts = packet_->dts = samples_;
  packet_->duration = int64_t(samples.size());
  r = av_write_frame(format_, packet_);
  av_packet_unref(packet_);
  if (r < 0) fail(r);
  avio_flush(format_->pb);
  if (format_->pb->error < 0) fail(format_->pb->error);
  samples_ += int64_t(samples.size());
}

void CafFile::finish() {
  if (!open_) return;
  int r = av_write_trailer(format_);
  if (r >= 0) r = avio_closep(&format_->pb);
  close();
  if (r < 0) throw mediaError(kCannotWrite, "cannot write " + path_.string() + ": " + avErrorText(r));
}

void CafFile::close() {
  open_ = false;
  if (format_) avio_closep(&format_->pb);
  avformat_free_context(format_);
  format_ = nullptr;
}

}  // namespace vantor::platform::ffmpeg
