#pragma once
// Reads movies back for tests over libavformat/libavcodec: the streams a file
// holds, what decoding them yields, and the decoded pictures as BGRA (with
// the colour matrix and range the stream declares). Everything throws
// std::runtime_error, with FFmpeg's reason, when a file cannot be read.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

extern "C" {
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

#include "platform/ffmpeg/av_handles.h"

namespace vantor::test {
namespace probe_detail {

using namespace platform::ffmpeg;

[[noreturn]] inline void fail(const std::filesystem::path& path, const std::string& what, int r) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(r, text, sizeof text);
  throw std::runtime_error(path.string() + ": " + what + ": " + text);
}

inline double seconds(int64_t t, AVRational tb) { return t == AV_NOPTS_VALUE ? 0 : double(t) * av_q2d(tb); }
inline std::string orUnknown(const char* name) { return name ? name : "unknown"; }

// An opened file with a decoder for each stream asked for.
struct Input {
  const std::filesystem::path& path;
  InputHandle format;
  std::vector<CodecHandle> decoders;
  PacketHandle packet{av_packet_alloc()};
  FrameHandle frame{av_frame_alloc()};

  explicit Input(const std::filesystem::path& p) : path(p) {
    AVFormatContext* opened = nullptr;
    int r = avformat_open_input(&opened, path.c_str(), nullptr, nullptr);
    if (r < 0) fail(path, "cannot open", r);
    format.reset(opened);
    if ((r = avformat_find_stream_info(opened, nullptr)) < 0) fail(path, "cannot read stream information", r);
    decoders.resize(opened->nb_streams);
  }
  AVStream* stream(int i) const { return format->streams[i]; }
  // The first stream of `type`, with its decoder open.
  int open(AVMediaType type) {
    int i = av_find_best_stream(format.get(), type, -1, -1, nullptr, 0);
    if (i < 0) fail(path, std::string("no ") + av_get_media_type_string(type) + " stream", i);
    openDecoder(i);
    return i;
  }
  void openDecoder(int i) {
    const AVCodec* codec = avcodec_find_decoder(stream(i)->codecpar->codec_id);
    if (!codec) throw std::runtime_error(path.string() + ": no decoder for stream " + std::to_string(i));
    AVCodecContext* d = (decoders[size_t(i)] = CodecHandle(avcodec_alloc_context3(codec))).get();
    int r = avcodec_parameters_to_context(d, stream(i)->codecpar);
    d->pkt_timebase = stream(i)->time_base;
    d->thread_count = 1;
    if (r < 0 || (r = avcodec_open2(d, codec, nullptr)) < 0) fail(path, "cannot open a decoder", r);
  }
  // Feeds every packet to its stream's decoder (streams without one are
  // skipped) and hands each decoded frame over with its stream's index;
  // `onFrame` returning false stops.
  template <typename OnFrame>
  void decode(OnFrame onFrame) {
    auto drain = [&](size_t i) {
      for (int r; (r = avcodec_receive_frame(decoders[i].get(), frame.get())) != AVERROR(EAGAIN) && r != AVERROR_EOF;) {
        if (r < 0) fail(path, "cannot decode", r);
        bool more = onFrame(i, frame.get());
        av_frame_unref(frame.get());
        if (!more) return false;
      }
      return true;
    };
    for (int r; (r = av_read_frame(format.get(), packet.get())) != AVERROR_EOF;) {
      if (r < 0) fail(path, "cannot read", r);
      size_t i = size_t(packet->stream_index);
      if (i < decoders.size() && decoders[i]) r = avcodec_send_packet(decoders[i].get(), packet.get());
      av_packet_unref(packet.get());
      if (i < decoders.size() && decoders[i] && r < 0 && r != AVERROR(EAGAIN)) fail(path, "cannot decode", r);
      if (i < decoders.size() && decoders[i] && !drain(i)) return;
    }
    for (size_t i = 0; i < decoders.size(); ++i)
      if (decoders[i] && (avcodec_send_packet(decoders[i].get(), nullptr), !drain(i))) return;
  }
};

}  // namespace probe_detail

struct StreamFacts {
  int index = -1;
  std::string type;      // "video", "audio", ...
  std::string codec;     // "h264", "aac", "pcm_s16le", ...
  double startTime = 0;  // seconds
  double duration = 0;   // seconds, as the container declares (the stream's, else the file's)
  // Video. Colour tags as FFmpeg names them ("bt709", "tv", ...), "unknown" when untagged.
  int width = 0, height = 0;
  std::string pixelFormat, colorSpace, colorPrimaries, colorTransfer, colorRange;
  int64_t decodedFrames = 0;  // pictures (video) or sample frames (audio) decoding yielded
  double lastPts = 0;         // seconds: the latest pts of a decoded picture
  // Audio.
  int sampleRate = 0, channels = 0;
  int64_t decodedSamples = 0;  // per channel
  double decodedSeconds() const { return sampleRate ? double(decodedSamples) / sampleRate : 0; }
};

struct MovieFacts {
  std::string format;   // libavformat's name, e.g. "mov,mp4,m4a,3gp,3g2,mj2"
  double duration = 0;  // seconds, the file's
  std::vector<StreamFacts> streams;
  const StreamFacts* find(std::string_view type) const {  // the first of `type`, or nullptr
    auto it = std::find_if(streams.begin(), streams.end(), [&](const StreamFacts& s) { return s.type == type; });
    return it == streams.end() ? nullptr : &*it;
  }
  const StreamFacts& video() const { return only("video"); }  // the first video stream; throws when none
  const StreamFacts& audio() const { return only("audio"); }

 private:
  const StreamFacts& only(std::string_view type) const {
    if (auto* s = find(type)) return *s;
    throw std::runtime_error("the movie has no " + std::string(type) + " stream");
  }
};

// Opens the movie and decodes every stream to the end.
inline MovieFacts probeMovie(const std::filesystem::path& path) {
  using namespace probe_detail;
  Input in(path);
  MovieFacts facts{in.format->iformat->name,
                   in.format->duration == AV_NOPTS_VALUE ? 0 : double(in.format->duration) / AV_TIME_BASE, {}};
  for (int i = 0; i < int(in.format->nb_streams); ++i) {
    const AVStream* st = in.stream(i);
    const AVCodecParameters* par = st->codecpar;
    StreamFacts& s = facts.streams.emplace_back();
    s.index = i;
    s.type = orUnknown(av_get_media_type_string(par->codec_type));
    s.codec = avcodec_get_name(par->codec_id);
    s.startTime = seconds(st->start_time, st->time_base);
    s.duration = st->duration != AV_NOPTS_VALUE ? seconds(st->duration, st->time_base) : facts.duration;
    if (par->codec_type == AVMEDIA_TYPE_VIDEO) {
      s.width = par->width;
      s.height = par->height;
      s.pixelFormat = orUnknown(av_get_pix_fmt_name(AVPixelFormat(par->format)));
      s.colorSpace = orUnknown(av_color_space_name(par->color_space));
      s.colorPrimaries = orUnknown(av_color_primaries_name(par->color_primaries));
      s.colorTransfer = orUnknown(av_color_transfer_name(par->color_trc));
      s.colorRange = orUnknown(av_color_range_name(par->color_range));
    }
    s.sampleRate = par->sample_rate;
    s.channels = par->ch_layout.nb_channels;
    if (par->codec_type == AVMEDIA_TYPE_VIDEO || par->codec_type == AVMEDIA_TYPE_AUDIO) in.openDecoder(i);
  }
  in.decode([&](size_t i, const AVFrame* f) {
    StreamFacts& s = facts.streams[i];
    ++s.decodedFrames;
    if (s.type == "audio") s.decodedSamples += f->nb_samples;
    else s.lastPts = std::max(s.lastPts, seconds(f->best_effort_timestamp, in.stream(int(i))->time_base));
    return true;
  });
  return facts;
}

struct DecodedFrame {
  double pts = 0;  // seconds
  // Seconds on screen: until the next picture's pts, the last one until the
  // end of the stream as the container declares it.
  double duration = 0;
  bool keyFrame = false;
  int width = 0, height = 0;
  std::vector<uint8_t> bgra;  // rows of 4 × width bytes

  const uint8_t* pixel(int x, int y) const { return bgra.data() + (size_t(y) * width + x) * 4; }
  uint32_t rgbAt(int x, int y) const {  // 0xRRGGBB
    const uint8_t* p = pixel(x, y);
    return uint32_t(p[2]) << 16 | uint32_t(p[1]) << 8 | p[0];
  }
  // Largest difference in any of R, G, B from `rgb` (0xRRGGBB) at (x, y).
  int distanceAt(int x, int y, uint32_t rgb) const {
    const uint8_t* p = pixel(x, y);
    return std::max({std::abs(int(p[2]) - int((rgb >> 16) & 0xff)), std::abs(int(p[1]) - int((rgb >> 8) & 0xff)),
                     std::abs(int(p[0]) - int(rgb & 0xff))});
  }
};

// Hands each picture of the first video stream, in decoding order, to
// `visit` once the next one (or the end) gives it its duration; returning
// false stops early. `fast` converts about four times faster, a few steps
// less exactly (for checks of content rather than of colours).
inline void forEachVideoFrame(const std::filesystem::path& path,
                              const std::function<bool(const DecodedFrame&)>& visit, bool fast = false) {
  using namespace probe_detail;
  Input in(path);
  const AVStream* st = in.stream(in.open(AVMEDIA_TYPE_VIDEO));
  std::unique_ptr<SwsContext, decltype(&sws_freeContext)> sws(nullptr, sws_freeContext);
  DecodedFrame held;  // the previous picture, waiting for its duration
  bool holding = false, more = true;
  in.decode([&](size_t, const AVFrame* f) {
    double pts = seconds(f->best_effort_timestamp, st->time_base);
    if (holding && (held.duration = pts - held.pts, !visit(held))) return more = false;
    held.pts = pts;
#ifdef AV_FRAME_FLAG_KEY
    held.keyFrame = f->flags & AV_FRAME_FLAG_KEY;
#else
    held.keyFrame = f->key_frame;
#endif
    // To BGRA with the matrix and range the picture declares.
    sws.reset(sws_getCachedContext(sws.release(), f->width, f->height, AVPixelFormat(f->format), f->width, f->height,
                                   AV_PIX_FMT_BGRA, fast ? SWS_FAST_BILINEAR : SWS_BILINEAR | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT, nullptr,
                                   nullptr, nullptr));
    if (!sws) throw std::runtime_error("cannot convert decoded pictures to BGRA");
    int space = f->colorspace == AVCOL_SPC_UNSPECIFIED ? SWS_CS_DEFAULT : int(f->colorspace);
    sws_setColorspaceDetails(sws.get(), sws_getCoefficients(space), f->color_range == AVCOL_RANGE_JPEG,
                             sws_getCoefficients(SWS_CS_DEFAULT), 1, 0, 1 << 16, 1 << 16);
    held.width = f->width;
    held.height = f->height;
    held.bgra.resize(size_t(f->width) * f->height * 4);
    uint8_t* dst[4] = {held.bgra.data()};
    int dstStride[4] = {f->width * 4};
    sws_scale(sws.get(), f->data, f->linesize, 0, f->height, dst, dstStride);
    return holding = true;
  });
  if (holding && more) {
    double end = st->duration != AV_NOPTS_VALUE ? seconds(st->start_time, st->time_base) + seconds(st->duration, st->time_base)
                                                : double(in.format->duration) / AV_TIME_BASE;
    held.duration = std::max(0.0, end - held.pts);
    visit(held);
  }
}
// The same, collected. Mind the memory: every picture is kept as BGRA.
inline std::vector<DecodedFrame> decodeVideoFrames(const std::filesystem::path& path) {
  std::vector<DecodedFrame> frames;
  forEachVideoFrame(path, [&](const DecodedFrame& f) {
    frames.push_back(f);
    return true;
  });
  return frames;
}

// The first audio stream decoded, its first channel as float samples at
// full scale ±1 (16-bit sample v comes back as exactly v / 32768).
struct DecodedAudio {
  int sampleRate = 0, channels = 0;
  std::string codec;
  std::vector<float> samples;
  double seconds() const { return sampleRate ? double(samples.size()) / sampleRate : 0; }
};
inline DecodedAudio decodeAudio(const std::filesystem::path& path) {
  using namespace probe_detail;
  Input in(path);
  const AVCodecParameters* par = in.stream(in.open(AVMEDIA_TYPE_AUDIO))->codecpar;
  DecodedAudio out{par->sample_rate, par->ch_layout.nb_channels, avcodec_get_name(par->codec_id), {}};
  ResamplerHandle swr;
  std::vector<float> planes;
  in.decode([&](size_t, const AVFrame* f) {
    if (!swr) {
      // Same layout and rate, planar float: the first plane is the first channel.
      // FFmpeg 5.1 takes the layouts by non-const pointer but only reads them.
      auto* layout = const_cast<AVChannelLayout*>(&f->ch_layout);
      SwrContext* made = nullptr;
      int r = swr_alloc_set_opts2(&made, layout, AV_SAMPLE_FMT_FLTP, f->sample_rate, layout, AVSampleFormat(f->format),
                                  f->sample_rate, 0, nullptr);
      swr.reset(made);
      if (r < 0 || (r = swr_init(made)) < 0) fail(path, "cannot convert decoded sound", r);
    }
    planes.resize(size_t(f->nb_samples) * size_t(f->ch_layout.nb_channels));
    std::vector<uint8_t*> dst(size_t(f->ch_layout.nb_channels));
    for (size_t c = 0; c < dst.size(); ++c) dst[c] = reinterpret_cast<uint8_t*>(planes.data() + c * size_t(f->nb_samples));
    int got = swr_convert(swr.get(), dst.data(), f->nb_samples, const_cast<const uint8_t**>(f->extended_data), f->nb_samples);
    if (got < 0) fail(path, "cannot convert decoded sound", got);
    out.samples.insert(out.samples.end(), planes.begin(), planes.begin() + got);
    return true;
  });
  return out;
}

// The frequency in [minHz, maxHz], in steps of `stepHz`, where the first
// second of `samples` has the most energy.
inline double dominantFrequency(const std::vector<float>& samples, int sampleRate, double minHz = 50,
                                double maxHz = 4000, double stepHz = 1) {
  size_t n = std::min(samples.size(), size_t(sampleRate));
  double best = 0, bestPower = -1;
  for (double hz = minHz; hz <= maxHz; hz += stepHz) {  // Goertzel at each step
    double coeff = 2 * std::cos(2 * M_PI * hz / sampleRate), s1 = 0, s2 = 0;
    for (size_t i = 0; i < n; ++i) s2 = std::exchange(s1, samples[i] + coeff * s1 - s2);
    if (double power = s1 * s1 + s2 * s2 - coeff * s1 * s2; power > bestPower) bestPower = power, best = hz;
  }
  return best;
}

// The packets of the first stream of `type` as stored, in file order.
struct StoredPacket {
  double pts = 0, dts = 0, duration = 0;  // seconds
  bool keyFrame = false;
  int64_t pos = -1;  // where its bytes start in the file
  std::vector<uint8_t> data;
};
inline std::vector<StoredPacket> readPackets(const std::filesystem::path& path, std::string_view type) {
  using namespace probe_detail;
  Input in(path);
  int index = -1;
  for (int i = 0; i < int(in.format->nb_streams) && index < 0; ++i)
    if (orUnknown(av_get_media_type_string(in.stream(i)->codecpar->codec_type)) == type) index = i;
  if (index < 0) throw std::runtime_error(path.string() + ": no " + std::string(type) + " stream");
  AVRational tb = in.stream(index)->time_base;
  std::vector<StoredPacket> packets;
  for (int r; (r = av_read_frame(in.format.get(), in.packet.get())) != AVERROR_EOF; av_packet_unref(in.packet.get())) {
    if (r < 0) fail(path, "cannot read", r);
    const AVPacket* p = in.packet.get();
    if (p->stream_index == index)
      packets.push_back({seconds(p->pts, tb), seconds(p->dts, tb), seconds(p->duration, tb),
                         bool(p->flags & AV_PKT_FLAG_KEY), p->pos, {p->data, p->data + p->size}});
  }
  return packets;
}

}  // namespace vantor::test
