#include "platform/ffmpeg/aac_encoder.h"

#include <algorithm>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/dict.h>
}

#include "platform/ffmpeg/media_error.h"

namespace vantor::platform::ffmpeg {

namespace {

constexpr int kFallbackRate = 48000;
constexpr int kBitsPerChannel = 64000;

bool aacHasRate(const AVCodec* codec, int rate) {
  for (const int* r = codec->supported_samplerates; r && *r; ++r)
    if (*r == rate) return true;
  return false;
}

}  // namespace

AacEncoder openAacEncoder(int inputRate, int inputChannels, const std::string& what) {
  auto cannotEncode = [&](int r) {
    return mediaError(kCannotEncode, "cannot encode the sound of " + what + " as AAC: " + avErrorText(r));
  };
  const AVCodec* aac = avcodec_find_encoder_by_name("aac");
  if (!aac) throw mediaError(kEncoderUnavailable, "libavcodec's AAC encoder is not available");
  CodecHandle encoder(avcodec_alloc_context3(aac));
  if (!encoder) throw cannotEncode(AVERROR(ENOMEM));
  int rate = aacHasRate(aac, inputRate) ? inputRate : kFallbackRate;
  int channels = std::clamp(inputChannels, 1, 2);
  encoder->sample_fmt = AV_SAMPLE_FMT_FLTP;
  encoder->sample_rate = rate;
  av_channel_layout_default(&encoder->ch_layout, channels);
  encoder->bit_rate = int64_t(kBitsPerChannel) * channels;
  encoder->time_base = AVRational{1, rate};
  // The AudioSpecificConfig in extradata: the muxer writes the header first.
  encoder->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  AVDictionary* options = nullptr;
  av_dict_set(&options, "aac_coder", "fast", 0);
  int r = avcodec_open2(encoder.get(), aac, &options);
  av_dict_free(&options);
  if (r < 0) throw cannotEncode(r);
  ParametersHandle parameters(avcodec_parameters_alloc());
  if (!parameters) throw cannotEncode(AVERROR(ENOMEM));
  r = avcodec_parameters_from_context(parameters.get(), encoder.get());
  if (r < 0) throw cannotEncode(r);
  return {std::move(encoder), std::move(parameters)};
}

int sendAacFrame(AVCodecContext* encoder, AVAudioFifo* fifo, AVFrame* frame, int samples, int64_t pts) {
  av_frame_unref(frame);
  frame->format = AV_SAMPLE_FMT_FLTP;
  frame->nb_samples = samples;
  frame->sample_rate = encoder->sample_rate;
  int r = av_channel_layout_copy(&frame->ch_layout, &encoder->ch_layout);
  if (r >= 0) r = av_frame_get_buffer(frame, 0);
  if (r >= 0) r = av_audio_fifo_read(fifo, reinterpret_cast<void**>(frame->extended_data), samples);
  if (r >= 0) {
    frame->pts = pts;
    r = avcodec_send_frame(encoder, frame);
  }
  av_frame_unref(frame);
  return r < 0 ? r : 0;
}

}  // namespace vantor::platform::ffmpeg
