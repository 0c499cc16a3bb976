#include "support/movie_probe.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <stdexcept>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libavutil/pixdesc.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

namespace vantor::test {

namespace {

std::string avText(int r) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(r, text, sizeof text);
  return text;
}

[[noreturn]] void fail(const std::filesystem::path& path, const std::string& what, int r) {
  throw std::runtime_error(path.string() + ": " + what + ": " + avText(r));
}

double seconds(int64_t t, AVRational tb) { return t == AV_NOPTS_VALUE ? 0 : double(t) * av_q2d(tb); }

std::string orUnknown(const char* name) { return name ? name : "unknown"; }

struct Input {
  AVFormatContext* format = nullptr;
  ~Input() { avformat_close_input(&format); }
};

struct Decoder {
  AVCodecContext* ctx = nullptr;
  ~Decoder() { avcodec_free_context(&ctx); }
};

struct Packet {
  AVPacket* p = av_packet_alloc();
  ~Packet() { av_packet_free(&p); }
};

struct Frame {
  AVFrame* f = av_frame_alloc();
  ~Frame() { av_frame_free(&f); }
};

void open(Input& in, const std::filesystem::path& path) {
  int r = avformat_open_input(&in.format, path.c_str(), nullptr, nullptr);
  if (r < 0) fail(path, "cannot open", r);
  r = avformat_find_stream_info(in.format, nullptr);
  if (r < 0) fail(path, "cannot read stream information", r);
}

void openDecoder(Decoder& d, const AVStream* st, const std::filesystem::path& path) {
  const AVCodec* codec = avcodec_find_decoder(st->codecpar->codec_id);
  if (!codec) throw std::runtime_error(path.string() + ": no decoder for stream " + std::to_string(st->index));
  d.ctx = avcodec_alloc_context3(codec);
  int r = avcodec_parameters_to_context(d.ctx, st->codecpar);
  if (r < 0) fail(path, "cannot set up a decoder", r);
  d.ctx->pkt_timebase = st->time_base;
  d.ctx->thread_count = 1;
  r = avcodec_open2(d.ctx, codec, nullptr);
  if (r < 0) fail(path, "cannot open a decoder", r);
}

bool isKeyFrame(const AVFrame* f) {
#ifdef AV_FRAME_FLAG_KEY
  return f->flags & AV_FRAME_FLAG_KEY;
#else
  return f->key_frame;
#endif
}

// Feeds each packet to its stream's decoder (streams without one are
// skipped) and hands every decoded frame over with its stream's index;
// `onFrame` returning false stops.
template <typename OnFrame>
void decodeAll(AVFormatContext* format, std::vector<Decoder>& decoders, const std::filesystem::path& path,
               OnFrame onFrame) {
  Packet packet;
  Frame frame;
  auto drain = [&](size_t i) {
    for (;;) {
      int r = avcodec_receive_frame(decoders[i].ctx, frame.f);
      if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) return true;
      if (r < 0) fail(path, "cannot decode", r);
      bool more = onFrame(i, frame.f);
      av_frame_unref(frame.f);
      if (!more) return false;
    }
  };
  for (;;) {
    int r = av_read_frame(format, packet.p);
    if (r == AVERROR_EOF) break;
    if (r < 0) fail(path, "cannot read", r);
    size_t i = size_t(packet.p->stream_index);
    if (i < decoders.size() && decoders[i].ctx) {
      r = avcodec_send_packet(decoders[i].ctx, packet.p);
      av_packet_unref(packet.p);
      if (r < 0 && r != AVERROR(EAGAIN)) fail(path, "cannot decode", r);
      if (!drain(i)) return;
    } else {
      av_packet_unref(packet.p);
    }
  }
  for (size_t i = 0; i < decoders.size(); ++i) {
    if (!decoders[i].ctx) continue;
    avcodec_send_packet(decoders[i].ctx, nullptr);
    if (!drain(i)) return;
  }
}

// Converts decoded pictures to BGRA with the matrix and range they declare.
class ToBgra {
 public:
  ~ToBgra() { sws_freeContext(sws_); }

  void convert(const AVFrame* f, DecodedFrame& out) {
    sws_ = sws_getCachedContext(sws_, f->width, f->height, AVPixelFormat(f->format), f->width, f->height,
                                AV_PIX_FMT_BGRA, SWS_BILINEAR | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT, nullptr,
                                nullptr, nullptr);
    if (!sws_) throw std::runtime_error("cannot convert decoded pictures to BGRA");
    int space = f->colorspace == AVCOL_SPC_UNSPECIFIED ? SWS_CS_DEFAULT : int(f->colorspace);
    int fullRange = f->color_range == AVCOL_RANGE_JPEG ? 1 : 0;
    sws_setColorspaceDetails(sws_, sws_getCoefficients(space), fullRange, sws_getCoefficients(SWS_CS_DEFAULT), 1,
                             0, 1 << 16, 1 << 16);
    out.width = f->width;
    out.height = f->height;
    out.bgra.resize(size_t(f->width) * f->height * 4);
    uint8_t* dst[4] = {out.bgra.data(), nullptr, nullptr, nullptr};
    int dstStride[4] = {f->width * 4, 0, 0, 0};
    sws_scale(sws_, f->data, f->linesize, 0, f->height, dst, dstStride);
  }

 private:
  SwsContext* sws_ = nullptr;
};

}  // namespace

const StreamFacts* MovieFacts::find(std::string_view type) const {
  for (const auto& s : streams)
    if (s.type == type) return &s;
  return nullptr;
}

const StreamFacts& MovieFacts::video() const {
  if (auto* s = find("video")) return *s;
  throw std::runtime_error("the movie has no video stream");
}

const StreamFacts& MovieFacts::audio() const {
  if (auto* s = find("audio")) return *s;
  throw std::runtime_error("the movie has no audio stream");
}

MovieFacts probeMovie(const std::filesystem::path& path) {
  Input in;
  open(in, path);
  MovieFacts facts;
  facts.format = in.format->iformat->name;
  facts.duration = in.format->duration == AV_NOPTS_VALUE ? 0 : double(in.format->duration) / AV_TIME_BASE;

  std::vector<Decoder> decoders(in.format->nb_streams);
  for (unsigned i = 0; i < in.format->nb_streams; ++i) {
    const AVStream* st = in.format->streams[i];
    const AVCodecParameters* par = st->codecpar;
    StreamFacts s;
    s.index = int(i);
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
    } else if (par->codec_type == AVMEDIA_TYPE_AUDIO) {
      s.sampleRate = par->sample_rate;
      s.channels = par->ch_layout.nb_channels;
    }
    facts.streams.push_back(s);
    if (par->codec_type == AVMEDIA_TYPE_VIDEO || par->codec_type == AVMEDIA_TYPE_AUDIO)
      openDecoder(decoders[i], st, path);
  }

  decodeAll(in.format, decoders, path, [&](size_t i, const AVFrame* f) {
    StreamFacts& s = facts.streams[i];
    const AVStream* st = in.format->streams[i];
    ++s.decodedFrames;
    if (s.type == "audio") {
      s.decodedSamples += f->nb_samples;
    } else {
      s.lastPts = std::max(s.lastPts, seconds(f->best_effort_timestamp, st->time_base));
    }
    return true;
  });
  return facts;
}

void forEachVideoFrame(const std::filesystem::path& path, const std::function<bool(const DecodedFrame&)>& visit) {
  Input in;
  open(in, path);
  int video = av_find_best_stream(in.format, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  if (video < 0) fail(path, "no video stream", video);
  std::vector<Decoder> decoders(in.format->nb_streams);
  const AVStream* st = in.format->streams[video];
  openDecoder(decoders[size_t(video)], st, path);
  ToBgra toBgra;
  DecodedFrame held;  // the previous picture, waiting for its duration
  bool holding = false, more = true;
  decodeAll(in.format, decoders, path, [&](size_t, const AVFrame* f) {
    double pts = seconds(f->best_effort_timestamp, st->time_base);
    if (holding) {
      held.duration = pts - held.pts;
      if (!visit(held)) return more = false;
    }
    held.pts = pts;
    held.keyFrame = isKeyFrame(f);
    toBgra.convert(f, held);
    holding = true;
    return true;
  });
  if (holding && more) {
    double end = st->duration != AV_NOPTS_VALUE
                     ? seconds(st->start_time, st->time_base) + seconds(st->duration, st->time_base)
                     : double(in.format->duration) / AV_TIME_BASE;
    held.duration = std::max(0.0, end - held.pts);
    visit(held);
  }
}

std::vector<DecodedFrame> decodeVideoFrames(const std::filesystem::path& path, size_t maxFrames) {
  std::vector<DecodedFrame> frames;
  if (maxFrames == 0) return frames;
  forEachVideoFrame(path, [&](const DecodedFrame& f) {
    frames.push_back(f);
    return frames.size() < maxFrames;
  });
  return frames;
}

int DecodedFrame::distanceAt(int x, int y, uint32_t rgb) const {
  const uint8_t* p = pixel(x, y);
  int dr = std::abs(int(p[2]) - int((rgb >> 16) & 0xff));
  int dg = std::abs(int(p[1]) - int((rgb >> 8) & 0xff));
  int db = std::abs(int(p[0]) - int(rgb & 0xff));
  return std::max({dr, dg, db});
}

std::vector<int> distinctFramesPerSecond(const std::filesystem::path& path, int tolerance) {
  std::vector<int> perSecond;
  std::vector<uint8_t> previous;
  forEachVideoFrame(path, [&](const DecodedFrame& f) {
    size_t second = f.pts < 0 ? 0 : size_t(f.pts);
    if (perSecond.size() <= second) perSecond.resize(second + 1, 0);
    bool changed = previous.size() != f.bgra.size();
    for (size_t i = 0; !changed && i < f.bgra.size(); ++i) {
      if (i % 4 == 3) continue;  // alpha
      changed = std::abs(int(f.bgra[i]) - int(previous[i])) > tolerance;
    }
    if (changed) ++perSecond[second];
    previous = f.bgra;
    return true;
  });
  return perSecond;
}

DecodedAudio decodeAudio(const std::filesystem::path& path) {
  Input in;
  open(in, path);
  int audio = av_find_best_stream(in.format, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
  if (audio < 0) fail(path, "no audio stream", audio);
  std::vector<Decoder> decoders(in.format->nb_streams);
  const AVStream* st = in.format->streams[audio];
  openDecoder(decoders[size_t(audio)], st, path);
  DecodedAudio out;
  out.codec = avcodec_get_name(st->codecpar->codec_id);
  out.sampleRate = st->codecpar->sample_rate;
  out.channels = st->codecpar->ch_layout.nb_channels;
  SwrContext* swr = nullptr;
  struct SwrGuard {
    SwrContext*& s;
    ~SwrGuard() { swr_free(&s); }
  } guard{swr};
  std::vector<float> planes;
  decodeAll(in.format, decoders, path, [&](size_t, const AVFrame* f) {
    if (!swr) {
      // Same layout and rate, planar float: the first plane is the first channel.
      // FFmpeg 5.1 takes the layouts by non-const pointer but only reads them.
      auto* layout = const_cast<AVChannelLayout*>(&f->ch_layout);
      int r = swr_alloc_set_opts2(&swr, layout, AV_SAMPLE_FMT_FLTP, f->sample_rate, layout,
                                  AVSampleFormat(f->format), f->sample_rate, 0, nullptr);
      if (r >= 0) r = swr_init(swr);
      if (r < 0) fail(path, "cannot convert decoded sound", r);
    }
    size_t channels = size_t(f->ch_layout.nb_channels);
    planes.resize(size_t(f->nb_samples) * channels);
    std::vector<uint8_t*> dst(channels);
    for (size_t c = 0; c < dst.size(); ++c) dst[c] = reinterpret_cast<uint8_t*>(planes.data() + c * size_t(f->nb_samples));
    int got = swr_convert(swr, dst.data(), f->nb_samples, const_cast<const uint8_t**>(f->extended_data), f->nb_samples);
    if (got < 0) fail(path, "cannot convert decoded sound", got);
    out.samples.insert(out.samples.end(), planes.begin(), planes.begin() + got);
    return true;
  });
  return out;
}

double dominantFrequency(const std::vector<float>& samples, int sampleRate, double minHz, double maxHz,
                         double stepHz) {
  size_t n = std::min(samples.size(), size_t(sampleRate));
  double best = 0, bestPower = -1;
  for (double hz = minHz; hz <= maxHz; hz += stepHz) {
    double coeff = 2 * std::cos(2 * M_PI * hz / sampleRate), s1 = 0, s2 = 0;
    for (size_t i = 0; i < n; ++i) {
      double s0 = samples[i] + coeff * s1 - s2;
      s2 = s1;
      s1 = s0;
    }
    double power = s1 * s1 + s2 * s2 - coeff * s1 * s2;
    if (power > bestPower) {
      bestPower = power;
      best = hz;
    }
  }
  return best;
}

std::vector<StoredPacket> readPackets(const std::filesystem::path& path, std::string_view type) {
  Input in;
  open(in, path);
  int index = -1;
  for (unsigned i = 0; i < in.format->nb_streams && index < 0; ++i)
    if (orUnknown(av_get_media_type_string(in.format->streams[i]->codecpar->codec_type)) == type) index = int(i);
  if (index < 0) throw std::runtime_error(path.string() + ": no " + std::string(type) + " stream");
  AVRational tb = in.format->streams[index]->time_base;
  std::vector<StoredPacket> packets;
  Packet packet;
  for (;;) {
    int r = av_read_frame(in.format, packet.p);
    if (r == AVERROR_EOF) break;
    if (r < 0) fail(path, "cannot read", r);
    if (packet.p->stream_index == index) {
      StoredPacket p;
      p.pts = seconds(packet.p->pts, tb);
      p.dts = seconds(packet.p->dts, tb);
      p.duration = seconds(packet.p->duration, tb);
      p.keyFrame = packet.p->flags & AV_PKT_FLAG_KEY;
      p.pos = packet.p->pos;
      p.data.assign(packet.p->data, packet.p->data + packet.p->size);
      packets.push_back(std::move(p));
    }
    av_packet_unref(packet.p);
  }
  return packets;
}

}  // namespace vantor::test
