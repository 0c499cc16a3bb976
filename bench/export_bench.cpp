// Stopping a take with sound: exporting the take's video with its sound
// (video copied, 16 kHz sound encoded as AAC) for 10 s and 60 s takes of
// 1920x1080 at 30 fps, every frame changed (a document scrolling), beside
// what re-encoding the same video with libx264 ultrafast would cost; and
// reading a take's duration, up to an hour-long take at 60 fps; and what
// encoding the sound while it is written costs the audio writer.
//
// Takes are written once per process into a scratch directory, the way the
// recording output writes them (fragmented MPEG-4, CAF), and stay in the
// page cache as a just-finished take would.

#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cmath>
#include <filesystem>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
}

#include "platform/ffmpeg/caf_file.h"
#include "platform/ffmpeg/encoded_sound.h"
#include "platform/ffmpeg/ffmpeg_media.h"
#include "platform/ffmpeg/h264_encoder.h"
#include "platform/ffmpeg/mp4_file.h"
#include "scrolling_document.h"

namespace {

using vantor::bench::kHeight;
using vantor::bench::kWidth;
using vantor::bench::ScrollingDocument;
using vantor::platform::Composition;
using vantor::platform::CompositionTrack;
using vantor::platform::ExportOutcome;
using vantor::platform::MediaType;
using vantor::platform::ffmpeg::CafFile;
using vantor::platform::ffmpeg::EncodedSound;
using vantor::platform::ffmpeg::H264Encoder;
using vantor::platform::ffmpeg::kTicksPerSecond;
using vantor::platform::ffmpeg::Mp4File;

const auto services = vantor::platform::makeFfmpegMediaServices();

class Scratch {
 public:
  Scratch() {
    std::string pattern = (std::filesystem::temp_directory_path() / "vantor-export-bench-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~Scratch() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

Scratch& scratch() {
  static Scratch s;
  return s;
}

struct Take {
  std::filesystem::path video, sound;
};

// Sound like a recording's: a tone under some noise, in the recorder's
// batches of 320 samples (20 ms).
class RecordingLikeSound {
 public:
  const std::vector<int16_t>& next() {
    for (auto& s : batch_) {
      seed_ = seed_ * 1664525u + 1013904223u;
      s = int16_t(8000 * std::sin(2 * M_PI * 440 * double(k_++) / 16000) + int(seed_ >> 20) - 2048);
    }
    return batch_;
  }

 private:
  std::vector<int16_t> batch_ = std::vector<int16_t>(320);
  uint32_t seed_ = 1;
  int64_t k_ = 0;
};

void writeSound(const std::filesystem::path& path, int seconds) {
  CafFile file(path, 16000);
  RecordingLikeSound sound;
  for (int n = 0; n < seconds * 50; ++n) file.write(sound.next());
  file.finish();
}

const Take& take(int seconds) {
  static std::map<int, Take> takes;
  auto found = takes.find(seconds);
  if (found != takes.end()) return found->second;
  Take t{scratch() / ("take" + std::to_string(seconds) + ".mp4"), scratch() / ("take" + std::to_string(seconds) + ".caf")};
  static ScrollingDocument document;
  H264Encoder encoder(kWidth, kHeight);
  Mp4File file(t.video, encoder.context());
  constexpr int kFps = 30;
  auto sink = [&](AVPacket* p) { file.write(p); };
  for (int n = 0; n < seconds * kFps; ++n) encoder.encode(document.frame(n), int64_t(n) * kTicksPerSecond / kFps, sink);
  encoder.flush(sink);
  file.finish(int64_t(seconds) * kTicksPerSecond);
  writeSound(t.sound, seconds);
  return takes.emplace(seconds, t).first->second;
}

// An hour at 60 fps of a still screen: as many fragments and samples as an
// hour's take, without an hour of encoding. The encoder's packets for two
// seconds (a keyframe, then small ones) are written again and again.
const std::filesystem::path& hourTake() {
  static std::filesystem::path path = [] {
    auto p = scratch() / "hour.mp4";
    static ScrollingDocument document;
    H264Encoder encoder(kWidth, kHeight);
    std::vector<AVPacket*> cycle;
    constexpr int kStep = kTicksPerSecond / 60;
    for (int n = 0; n < 120; ++n)
      encoder.encode(document.frame(0), int64_t(n) * kStep, [&](AVPacket* packet) { cycle.push_back(av_packet_clone(packet)); });
    Mp4File file(p, encoder.context());
    for (int64_t n = 0; n < 3600 * 60; ++n) {
      AVPacket* packet = av_packet_clone(cycle[size_t(n) % cycle.size()]);
      packet->pts = packet->dts = n * kStep;
      file.write(packet);
      av_packet_free(&packet);
    }
    file.finish(std::nullopt);
    for (auto*& packet : cycle) av_packet_free(&packet);
    return p;
  }();
  return path;
}

Composition composition(const Take& t, bool withVideo, bool withSound) {
  auto videoDuration = services->openAsset(t.video)->loadDuration();
  auto soundDuration = services->openAsset(t.sound)->loadDuration();
  Composition c;
  if (withVideo) c.video = CompositionTrack{t.video, MediaType::Video, videoDuration};
  if (withSound) c.audio = CompositionTrack{t.sound, MediaType::Audio, videoDuration < soundDuration ? videoDuration : soundDuration};
  return c;
}

// range(0): seconds; range(1): 0 both tracks, 1 the video alone, 2 the sound alone.
void BM_ExportTake(benchmark::State& state) {
  int seconds = int(state.range(0));
  int parts = int(state.range(1));
  const Take& t = take(seconds);
  Composition c = composition(t, parts != 2, parts != 1);
  auto out = scratch() / "export.mp4";
  for (auto _ : state) {
    auto outcome = services->exportComposition(c, out);
    if (outcome.status != ExportOutcome::kCompleted) state.SkipWithError(outcome.error->description().c_str());
  }
  state.counters["MB"] = double(std::filesystem::file_size(out)) / 1e6;
  state.SetLabel(parts == 0 ? "video and sound" : parts == 1 ? "video alone" : "sound alone");
}
BENCHMARK(BM_ExportTake)->ArgNames({"s", "parts"})->Args({10, 0})->Args({10, 1})->Args({10, 2})->Args({60, 0})
    ->Args({60, 1})->Args({60, 2})->MeasureProcessCPUTime()->UseRealTime()->Unit(benchmark::kMillisecond);

// What a muxer that re-encodes would pay for the video alone: decoding the
// take and encoding it again with libx264 ultrafast (the writer's settings).
void BM_ReencodeVideoWithX264(benchmark::State& state) {
  const Take& t = take(int(state.range(0)));
  for (auto _ : state) {
    AVFormatContext* in = nullptr;
    if (avformat_open_input(&in, t.video.c_str(), nullptr, nullptr) < 0) return state.SkipWithError("cannot open");
    const AVStream* st = in->streams[0];
    const AVCodec* h264 = avcodec_find_decoder(st->codecpar->codec_id);
    AVCodecContext* decoder = avcodec_alloc_context3(h264);
    avcodec_parameters_to_context(decoder, st->codecpar);
    decoder->thread_count = 2;
    avcodec_open2(decoder, h264, nullptr);
    const AVCodec* x264 = avcodec_find_encoder_by_name("libx264");
    AVCodecContext* encoder = avcodec_alloc_context3(x264);
    encoder->width = kWidth;
    encoder->height = kHeight;
    encoder->pix_fmt = AV_PIX_FMT_YUV420P;
    encoder->time_base = st->time_base;
    encoder->thread_count = 2;
    AVDictionary* options = nullptr;
    av_dict_set(&options, "preset", "ultrafast", 0);
    av_dict_set(&options, "tune", "zerolatency", 0);
    av_dict_set(&options, "crf", "23", 0);
    avcodec_open2(encoder, x264, &options);
    av_dict_free(&options);
    AVPacket* packet = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    auto drainEncoder = [&] {
      while (avcodec_receive_packet(encoder, packet) == 0) av_packet_unref(packet);
    };
    auto drainDecoder = [&] {
      while (avcodec_receive_frame(decoder, frame) == 0) {
        avcodec_send_frame(encoder, frame);
        av_frame_unref(frame);
        drainEncoder();
      }
    };
    while (av_read_frame(in, packet) >= 0) {
      avcodec_send_packet(decoder, packet);
      av_packet_unref(packet);
      drainDecoder();
    }
    avcodec_send_packet(decoder, nullptr);
    drainDecoder();
    avcodec_send_frame(encoder, nullptr);
    drainEncoder();
    av_frame_free(&frame);
    av_packet_free(&packet);
    avcodec_free_context(&encoder);
    avcodec_free_context(&decoder);
    avformat_close_input(&in);
  }
}
BENCHMARK(BM_ReencodeVideoWithX264)->ArgName("s")->Arg(10)->Arg(60)->Iterations(1)->MeasureProcessCPUTime()
    ->UseRealTime()->Unit(benchmark::kMillisecond);

// The AAC encoding the audio writer does beside each append: per 20 ms
// batch (× 50 for the CPU a second of take costs), and the size of the
// packets' unnamed file per minute of sound.
void BM_EncodeSoundAlong(benchmark::State& state) {
  EncodedSound encoding(scratch() / "along.caf", 16000);
  RecordingLikeSound sound;
  std::vector<std::vector<int16_t>> batches(500);  // 10 s, made outside the timing
  for (auto& b : batches) b = sound.next();
  size_t n = 0;
  for (auto _ : state) encoding.append(batches[n++ % batches.size()]);
  encoding.finish();
  int64_t bytes = 0;
  for (const auto& p : encoding.packets()) bytes += p.size;
  state.counters["KB/min"] = double(bytes) / 1000 / (double(encoding.samples()) / 16000 / 60);
  state.SetLabel("per 20 ms batch");
}
BENCHMARK(BM_EncodeSoundAlong)->MeasureProcessCPUTime()->UseRealTime()->Unit(benchmark::kMicrosecond);

// range(0): the take's seconds, 3600 for the hour of a still screen.
void BM_LoadDuration(benchmark::State& state) {
  int seconds = int(state.range(0));
  const auto& path = seconds == 3600 ? hourTake() : take(seconds).video;
  for (auto _ : state) benchmark::DoNotOptimize(services->openAsset(path)->loadDuration());
  state.counters["MB"] = double(std::filesystem::file_size(path)) / 1e6;
}
BENCHMARK(BM_LoadDuration)->ArgName("s")->Arg(10)->Arg(60)->Arg(3600)->UseRealTime()->Unit(benchmark::kMillisecond);

// The stop of an hour-long take: its 216,000 pictures copied into the
// exported movie (the sound's 56,000 packets, encoded along, come on top).
void BM_ExportHourOfVideo(benchmark::State& state) {
  const auto& path = hourTake();
  Composition c;
  c.video = CompositionTrack{path, MediaType::Video, services->openAsset(path)->loadDuration()};
  auto out = scratch() / "hour-export.mp4";
  for (auto _ : state) {
    auto outcome = services->exportComposition(c, out);
    if (outcome.status != ExportOutcome::kCompleted) state.SkipWithError(outcome.error->description().c_str());
  }
  state.counters["MB"] = double(std::filesystem::file_size(out)) / 1e6;
}
BENCHMARK(BM_ExportHourOfVideo)->MeasureProcessCPUTime()->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
