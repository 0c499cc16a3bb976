#pragma once
// Owning handles for FFmpeg's objects, each freed by its own function, so a
// throw anywhere in reading, encoding or muxing leaks nothing.

#include <memory>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/frame.h>
#include <libswresample/swresample.h>
}

namespace vantor::platform::ffmpeg {

namespace detail {
struct CloseInput {
  void operator()(AVFormatContext* f) const { avformat_close_input(&f); }
};
// An output context owns its AVIOContext only when it was opened here.
struct FreeOutput {
  void operator()(AVFormatContext* f) const {
    if (f && !(f->oformat->flags & AVFMT_NOFILE)) avio_closep(&f->pb);
    avformat_free_context(f);
  }
};
struct FreeCodec {
  void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FreePacket {
  void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct FreeFrame {
  void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct FreeResampler {
  void operator()(SwrContext* s) const { swr_free(&s); }
};
struct FreeParameters {
  void operator()(AVCodecParameters* p) const { avcodec_parameters_free(&p); }
};
struct FreeFifo {
  void operator()(AVAudioFifo* f) const { av_audio_fifo_free(f); }
};
}  // namespace detail

using InputHandle = std::unique_ptr<AVFormatContext, detail::CloseInput>;
using OutputHandle = std::unique_ptr<AVFormatContext, detail::FreeOutput>;
using CodecHandle = std::unique_ptr<AVCodecContext, detail::FreeCodec>;
using PacketHandle = std::unique_ptr<AVPacket, detail::FreePacket>;
using FrameHandle = std::unique_ptr<AVFrame, detail::FreeFrame>;
using ResamplerHandle = std::unique_ptr<SwrContext, detail::FreeResampler>;
using ParametersHandle = std::unique_ptr<AVCodecParameters, detail::FreeParameters>;
using FifoHandle = std::unique_ptr<AVAudioFifo, detail::FreeFifo>;

}  // namespace vantor::platform::ffmpeg
