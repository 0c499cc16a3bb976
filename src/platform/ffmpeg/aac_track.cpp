#include "platform/ffmpeg/aac_track.h"

#include <algorithm>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/mathematics.h>
}

#include "platform/ffmpeg/aac_encoder.h"
#include "platform/ffmpeg/input_file.h"
#include "platform/ffmpeg/media_error.h"

namespace vantor::platform::ffmpeg {

AacTrack::AacTrack(const std::filesystem::path& source, MediaTime duration)
    : source_(source),
      input_(openInputFile(source)),
      readPacket_(av_packet_alloc()),
      decoded_(av_frame_alloc()),
      frame_(av_frame_alloc()) {
  const std::string name = source.string();
  auto cannotRead = [&](const std::string& why) { return mediaError(kCannotRead, "cannot read " + name + ": " + why); };
  auto cannotEncode = [&](int r) {
    return mediaError(kCannotEncode, "cannot encode the sound of " + name + " as AAC: " + avErrorText(r));
  };
  if (!readPacket_ || !decoded_ || !frame_) throw cannotRead(avErrorText(AVERROR(ENOMEM)));

  streamIndex_ = firstStream(input_.get(), AVMEDIA_TYPE_AUDIO);
  if (streamIndex_ < 0) throw mediaError(kMissingTrack, name + " has no audio track");
  for (unsigned i = 0; i < input_->nb_streams; ++i)
    if (int(i) != streamIndex_) input_->streams[i]->discard = AVDISCARD_ALL;
  const AVStream* st = input_->streams[streamIndex_];

  const AVCodec* decoder = avcodec_find_decoder(st->codecpar->codec_id);
  if (!decoder) throw cannotRead(std::string("no decoder for ") + avcodec_get_name(st->codecpar->codec_id));
  decoder_.reset(avcodec_alloc_context3(decoder));
  if (!decoder_) throw cannotRead(avErrorText(AVERROR(ENOMEM)));
  int r = avcodec_parameters_to_context(decoder_.get(), st->codecpar);
  if (r >= 0) {
    decoder_->pkt_timebase = st->time_base;
    r = avcodec_open2(decoder_.get(), decoder, nullptr);
  }
  if (r < 0) throw cannotRead(avErrorText(r));
  int inRate = decoder_->sample_rate;
  int inChannels = decoder_->ch_layout.nb_channels;
  if (inRate <= 0 || inChannels <= 0) throw cannotRead("no sample rate or channel count");

  AacEncoder aac = openAacEncoder(inRate, inChannels, name);
  encoder_ = std::move(aac.context);
  parameters_ = std::move(aac.parameters);
  timeBase_ = encoder_->time_base;
  const int outRate = encoder_->sample_rate;
  const int outChannels = encoder_->ch_layout.nb_channels;

  // Files that name no speaker positions get the usual ones for their count.
  AVChannelLayout inLayout{};
  if (decoder_->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC) av_channel_layout_default(&inLayout, inChannels);
  else av_channel_layout_copy(&inLayout, &decoder_->ch_layout);
  SwrContext* swr = nullptr;
  r = swr_alloc_set_opts2(&swr, &encoder_->ch_layout, AV_SAMPLE_FMT_FLTP, outRate, &inLayout,
                          decoder_->sample_fmt, inRate, 0, nullptr);
  av_channel_layout_uninit(&inLayout);
  resampler_.reset(swr);
  if (r >= 0) r = swr_init(swr);
  if (r < 0) throw cannotEncode(r);
  fifo_.reset(av_audio_fifo_alloc(AV_SAMPLE_FMT_FLTP, outChannels, 2 * encoder_->frame_size));
  if (!fifo_) throw cannotEncode(AVERROR(ENOMEM));

  inputLimit_ = std::max<int64_t>(0, av_rescale_rnd(duration.value, inRate, duration.timescale, AV_ROUND_NEAR_INF));
}

bool AacTrack::next(AVPacket* packet) {
  for (;;) {
    int r = avcodec_receive_packet(encoder_.get(), packet);
    if (r == 0) return true;
    if (r == AVERROR_EOF) return false;
    if (r != AVERROR(EAGAIN))
      throw mediaError(kCannotEncode, "cannot encode the sound of " + source_.string() + ": " + avErrorText(r));
    if (!sendFrames()) decodeMore();
  }
}

// Feeds the encoder what the FIFO holds in whole frames, then at the end the
// short last frame and the flush. False when it needs more input first.
bool AacTrack::sendFrames() {
  int queued = av_audio_fifo_size(fifo_.get());
  if (queued >= encoder_->frame_size) {
    sendFifo(encoder_->frame_size);
    return true;
  }
  if (!inputDone_) return false;
  if (queued > 0) {
    sendFifo(queued);
  } else if (!encoderFlushed_) {
    encoderFlushed_ = true;
    int r = avcodec_send_frame(encoder_.get(), nullptr);
    if (r < 0)
      throw mediaError(kCannotEncode, "cannot encode the sound of " + source_.string() + ": " + avErrorText(r));
  }
  return true;
}

void AacTrack::decodeMore() {
  auto cannotRead = [&](int r) {
    return mediaError(kCannotRead, "cannot read " + source_.string() + ": " + avErrorText(r));
  };
  int r = avcodec_receive_frame(decoder_.get(), decoded_.get());
  if (r == 0) {
    resample(decoded_.get());
    av_frame_unref(decoded_.get());
    return;
  }
  if (r == AVERROR_EOF) {
    resample(nullptr);  // what the resampler still holds
    inputDone_ = true;
    return;
  }
  if (r != AVERROR(EAGAIN)) throw cannotRead(r);

  // The decoder wants a packet: the next one of the stream, or the end.
  if (inputTaken_ < inputLimit_) {
    r = av_read_frame(input_.get(), readPacket_.get());
    if (r < 0 && r != AVERROR_EOF) throw cannotRead(r);
    if (r >= 0) {
      r = avcodec_send_packet(decoder_.get(), readPacket_.get());
      av_packet_unref(readPacket_.get());
      // A damaged packet costs its samples, not the export.
      if (r < 0 && r != AVERROR_INVALIDDATA) throw cannotRead(r);
      return;
    }
  }
  r = avcodec_send_packet(decoder_.get(), nullptr);
  if (r < 0 && r != AVERROR_EOF) throw cannotRead(r);
}

void AacTrack::resample(const AVFrame* decoded) {
  const uint8_t** in = nullptr;
  int inSamples = 0;
  if (decoded) {
    inSamples = int(std::min<int64_t>(decoded->nb_samples, inputLimit_ - inputTaken_));
    if (inSamples <= 0) return;
    in = const_cast<const uint8_t**>(decoded->extended_data);
    inputTaken_ += inSamples;
  }
  int room = swr_get_out_samples(resampler_.get(), inSamples);
  if (room <= 0) return;
  FifoHandle::pointer fifo = fifo_.get();
  int r = av_audio_fifo_realloc(fifo, av_audio_fifo_size(fifo) + room);
  if (r < 0) throw mediaError(kCannotEncode, "cannot convert the sound of " + source_.string() + ": " + avErrorText(r));
  // Converted into a scratch frame, then queued.
  av_frame_unref(frame_.get());
  frame_->format = AV_SAMPLE_FMT_FLTP;
  frame_->nb_samples = room;
  r = av_channel_layout_copy(&frame_->ch_layout, &encoder_->ch_layout);
  if (r >= 0) r = av_frame_get_buffer(frame_.get(), 0);
  if (r >= 0) r = swr_convert(resampler_.get(), frame_->extended_data, room, in, inSamples);
  if (r > 0) r = av_audio_fifo_write(fifo, reinterpret_cast<void**>(frame_->extended_data), r);
  av_frame_unref(frame_.get());
  if (r < 0) throw mediaError(kCannotEncode, "cannot convert the sound of " + source_.string() + ": " + avErrorText(r));
}

void AacTrack::sendFifo(int samples) {
  int r = sendAacFrame(encoder_.get(), fifo_.get(), frame_.get(), samples, outputSamples_);
  if (r < 0)
    throw mediaError(kCannotEncode, "cannot encode the sound of " + source_.string() + ": " + avErrorText(r));
  outputSamples_ += samples;
}

}  // namespace vantor::platform::ffmpeg
