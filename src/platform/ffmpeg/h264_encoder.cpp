#include "platform/ffmpeg/h264_encoder.h"

#include <libyuv/convert.h>

#include <algorithm>
#include <string>
#include <thread>

extern "C" {
#include <libavutil/imgutils.h>
#include <libavcodec/avcodec.h>
#include <libavutil/dict.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
}

#include "platform/ffmpeg/media_error.h"

namespace vantor::platform::ffmpeg {

namespace {

struct DictionaryGuard {
  AVDictionary* dict = nullptr;
  ~DictionaryGuard() { av_dict_free(&dict); }
};

}  // namespace

void H264Encoder::checkAvailable(int width, int height) {
  // libx264's own limit is 16384 per side; below 2 there is no 4:2:0 picture.
  if (width < 2 || height < 2 || width > 16384 || height > 16384)
    throw mediaError(kInvalidSize, "cannot encode frames of " + std::to_string(width) + "x" +
                                       std::to_string(height) + " pixels");
  if (!avcodec_find_encoder_by_name("libx264"))
    throw mediaError(kEncoderUnavailable, "the H.264 encoder libx264 is not available in libavcodec");
}

namespace {
const char* crfFor(VideoQuality quality) {
  switch (quality) {
    case VideoQuality::low: return "30";
    case VideoQuality::high: return "18";
    case VideoQuality::standard: break;
  }
  return "23";
}
}  // namespace

H264Encoder::H264Encoder(int width, int height, VideoQuality quality) : width_(width & ~1), height_(height & ~1) {
  checkAvailable(width, height);
  const AVCodec* codec = avcodec_find_encoder_by_name("libx264");

  ctx_ = avcodec_alloc_context3(codec);
  picture_ = av_frame_alloc();
  packet_ = av_packet_alloc();
  if (!ctx_ || !picture_ || !packet_) {
    release();
    throw mediaError(kCannotEncode, "cannot set up the H.264 encoder: out of memory");
  }
  ctx_->width = width_;
  ctx_->height = height_;
  ctx_->pix_fmt = AV_PIX_FMT_YUV420P;
  ctx_->time_base = AVRational{1, kTicksPerSecond};
  ctx_->framerate = AVRational{60, 1};  // nominal; actual spacing comes from the timestamps
  ctx_->sample_aspect_ratio = AVRational{1, 1};
  ctx_->gop_size = 120;
  ctx_->max_b_frames = 0;
  ctx_->thread_count = static_cast<int>(std::clamp(std::thread::hardware_concurrency(), 1u, 2u));
  ctx_->color_range = AVCOL_RANGE_MPEG;
  ctx_->colorspace = AVCOL_SPC_SMPTE170M;
  ctx_->color_primaries = AVCOL_PRI_SMPTE170M;
  ctx_->color_trc = AVCOL_TRC_SMPTE170M;
  // SPS/PPS in extradata: the muxer writes the movie header before any frame.
  ctx_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;

  DictionaryGuard options;
  av_dict_set(&options.dict, "preset", "ultrafast", 0);
  av_dict_set(&options.dict, "tune", "zerolatency", 0);
  av_dict_set(&options.dict, "crf", crfFor(quality), 0);
  av_dict_set(&options.dict, "forced-idr", "1", 0);  // a forced keyframe is an IDR, a clean entry point
  int r = avcodec_open2(ctx_, codec, &options.dict);
  if (r < 0) {
    release();
    throw mediaError(kCannotEncode, "cannot open the H.264 encoder: " + avErrorText(r));
  }

  picture_->format = AV_PIX_FMT_YUV420P;
  picture_->width = width_;
  picture_->height = height_;
  picture_->color_range = ctx_->color_range;
  picture_->colorspace = ctx_->colorspace;
  picture_->color_primaries = ctx_->color_primaries;
  picture_->color_trc = ctx_->color_trc;
  r = av_frame_get_buffer(picture_, 64);
  if (r < 0) {
    release();
    throw mediaError(kCannotEncode, "cannot allocate a picture: " + avErrorText(r));
  }
}

H264Encoder::~H264Encoder() { release(); }

void H264Encoder::release() {
  av_packet_free(&packet_);
  av_frame_free(&picture_);
  avcodec_free_context(&ctx_);
}

PictureConverter::PictureConverter(int width, int height)
    : width_(width & ~1),
      height_(height & ~1),
      pool_(av_buffer_pool_init(size_t(av_image_get_buffer_size(AV_PIX_FMT_YUV420P, width_, height_, 64)) + 64,
                                nullptr)) {}

PictureConverter::~PictureConverter() {
  // Buffers still held by pictures keep the pool's memory until they go.
  av_buffer_pool_uninit(&pool_);
}

bool PictureConverter::fits(const PixelBuffer& image) const {
  return image.data && image.width >= width_ && image.height >= height_ && image.stride >= 4 * image.width;
}

PictureConverter::Picture PictureConverter::convert(const PixelBuffer& image) const {
  if (!pool_ || !fits(image)) return nullptr;
  Picture picture(av_frame_alloc(), [](AVFrame* f) { av_frame_free(&f); });
  if (!picture) return nullptr;
  picture->buf[0] = av_buffer_pool_get(pool_);
  if (!picture->buf[0]) return nullptr;
  picture->format = AV_PIX_FMT_YUV420P;
  picture->width = width_;
  picture->height = height_;
  uint8_t* base = reinterpret_cast<uint8_t*>((uintptr_t(picture->buf[0]->data) + 63) & ~uintptr_t(63));
  if (av_image_fill_arrays(picture->data, picture->linesize, base, AV_PIX_FMT_YUV420P, width_, height_, 64) < 0)
    return nullptr;
  libyuv::ARGBToI420(image.data, image.stride, picture->data[0], picture->linesize[0], picture->data[1],
                     picture->linesize[1], picture->data[2], picture->linesize[2], width_, height_);
  return picture;
}

void H264Encoder::encode(const PictureConverter::Picture& picture, int64_t pts, const PacketSink& sink) {
  // The new picture replaces the old one, which goes back to its pool once
  // the encoder lets it go; repeats encode it again.
  av_frame_unref(picture_);
  int r = av_frame_ref(picture_, picture.get());
  if (r < 0) throw mediaError(kCannotEncode, "cannot reference a picture: " + avErrorText(r));
  picture_->color_range = ctx_->color_range;
  picture_->colorspace = ctx_->colorspace;
  picture_->color_primaries = ctx_->color_primaries;
  picture_->color_trc = ctx_->color_trc;
  encodeConverted(pts, sink);
}

bool H264Encoder::fits(const PixelBuffer& image) const {
  return image.data && image.width >= width_ && image.height >= height_ && image.stride >= 4 * image.width;
}

void H264Encoder::convert(const PixelBuffer& image) {
  // The encoder may still reference the previous picture.
  int r = av_frame_make_writable(picture_);
  if (r < 0) throw mediaError(kCannotEncode, "cannot allocate a picture: " + avErrorText(r));
  // Memory order B,G,R,X is libyuv's "ARGB"; its matrix is BT.601 limited range.
  libyuv::ARGBToI420(image.data, image.stride, picture_->data[0], picture_->linesize[0], picture_->data[1],
                     picture_->linesize[1], picture_->data[2], picture_->linesize[2], width_, height_);
}

void H264Encoder::encodeConverted(int64_t pts, const PacketSink& sink) {
  picture_->pts = pts;
  bool key = lastKeyframePts_ == INT64_MIN || pts - lastKeyframePts_ >= kMaxKeyframeInterval;
  picture_->pict_type = key ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
  if (key) lastKeyframePts_ = pts;
  int r = avcodec_send_frame(ctx_, picture_);
  if (r < 0) throw mediaError(kCannotEncode, "the H.264 encoder refused a frame: " + avErrorText(r));
  drain(sink);
}

void H264Encoder::flush(const PacketSink& sink) {
  int r = avcodec_send_frame(ctx_, nullptr);
  if (r < 0 && r != AVERROR_EOF) throw mediaError(kCannotEncode, "cannot flush the H.264 encoder: " + avErrorText(r));
  drain(sink);
}

void H264Encoder::drain(const PacketSink& sink) {
  for (;;) {
    int r = avcodec_receive_packet(ctx_, packet_);
    if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) return;
    if (r < 0) throw mediaError(kCannotEncode, "the H.264 encoder failed: " + avErrorText(r));
    // The encoder also makes keyframes of its own (every gop_size frames).
    if (packet_->flags & AV_PKT_FLAG_KEY) lastKeyframePts_ = std::max(lastKeyframePts_, packet_->pts);
    sink(packet_);
    av_packet_unref(packet_);
  }
}

}  // namespace vantor::platform::ffmpeg
