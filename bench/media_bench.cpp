// Media costs per 1920x1080 frame: libyuv's BGRX-to-I420 conversion alone,
// and conversion plus libx264 encoding with the writer's settings (ultrafast,
// zerolatency, CRF 23, two slice threads), for a frame whose content changes
// every time (a document scrolling by 8 rows a frame) and for a static one.
//
// CPU is the whole process's, so the encoder's slice threads count; the
// wall time per frame is reported beside it.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

extern "C" {
#include <libavcodec/packet.h>
}

#include "platform/ffmpeg/ffmpeg_media.h"
#include "platform/ffmpeg/h264_encoder.h"
#include "platform/video_frame.h"

namespace {

using vantor::platform::PixelBuffer;
using vantor::platform::ffmpeg::H264Encoder;

constexpr int kWidth = 1920, kHeight = 1080;
constexpr int kScrollRows = 8;
constexpr int kPages = 64;  // distinct frames before the scroll wraps

// A page of screen-like content: light background, lines of dark "words",
// a few coloured panels. Tall enough to scroll through kPages frames.
class ScrollingDocument {
 public:
  ScrollingDocument() : image_(vantor::platform::makeImage(kWidth, kHeight + kScrollRows * kPages)) {
    uint32_t seed = 12345;
    auto next = [&] { return seed = seed * 1664525u + 1013904223u; };
    for (int y = 0; y < image_->height; ++y) {
      uint8_t* row = image_->row(y);
      bool textLine = (y / 6) % 4 != 3;  // 18 rows of text, a 6-row gap
      int x = 0;
      while (x < kWidth) {
        int word = 20 + int(next() % 60), gap = 6 + int(next() % 10);
        for (int i = 0; i < word + gap && x < kWidth; ++i, ++x) {
          // Glyph-like strokes: a fixed pattern inside each word.
          bool ink = textLine && i < word && ((i ^ (y % 6) * 3) % 5) < 2;
          uint8_t v = ink ? 40 : 245;
          row[x * 4 + 0] = v;
          row[x * 4 + 1] = v;
          row[x * 4 + 2] = v;
          row[x * 4 + 3] = 0;
        }
      }
      // Panels: a blue sidebar and an orange banner every few hundred rows.
      for (int px = 0; px < 240; ++px) {
        row[px * 4 + 0] = 200;
        row[px * 4 + 1] = 120;
        row[px * 4 + 2] = 40;
      }
      if (y % 400 < 60)
        for (int px = 600; px < 1500; ++px) {
          row[px * 4 + 0] = 30;
          row[px * 4 + 1] = 140;
          row[px * 4 + 2] = 250;
        }
    }
  }

  // Frame n: a 1920x1080 view scrolled n × kScrollRows rows down, no copy.
  PixelBuffer frame(int n) const {
    int top = (n % kPages) * kScrollRows;
    return PixelBuffer{kWidth, kHeight, image_->stride, image_->data + size_t(top) * image_->stride};
  }

 private:
  std::shared_ptr<PixelBuffer> image_;
};

// Routes FFmpeg's messages as the agent does (libx264's statistics stay quiet).
const auto services = vantor::platform::makeFfmpegMediaServices();

const ScrollingDocument& document() {
  static ScrollingDocument d;
  return d;
}

void BM_ConvertToI420(benchmark::State& state) {
  bool changing = state.range(0) != 0;
  H264Encoder encoder(kWidth, kHeight);
  int n = 0;
  for (auto _ : state) {
    encoder.convert(document().frame(changing ? n++ : 0));
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations());
  state.SetLabel(changing ? "changing frame" : "static frame");
}
BENCHMARK(BM_ConvertToI420)->ArgName("changing")->Arg(1)->Arg(0)->MeasureProcessCPUTime()->UseRealTime()
    ->Unit(benchmark::kMillisecond);

void BM_ConvertAndEncodeH264(benchmark::State& state) {
  bool changing = state.range(0) != 0;
  H264Encoder encoder(kWidth, kHeight);
  int64_t pts = 0;
  int n = 0;
  // The first keyframe outside the timing: a take pays it once. Later ones
  // (every 2 s) are in.
  encoder.encode(document().frame(n++), pts, [](AVPacket*) {});
  pts += 1500;
  double bytes = 0;
  auto sink = [&](AVPacket* p) { bytes += p->size; };
  for (auto _ : state) {
    encoder.encode(document().frame(changing ? n++ : 0), pts, sink);
    pts += 1500;  // 60 frames a second; a forced keyframe every 120 frames
  }
  state.SetItemsProcessed(state.iterations());
  // What the stream would cost at 60 frames a second.
  state.counters["Mbit/s@60"] = bytes * 8 * 60 / 1e6 / double(state.iterations());
  state.SetLabel(changing ? "changing frame" : "static frame");
}
BENCHMARK(BM_ConvertAndEncodeH264)->ArgName("changing")->Arg(1)->Arg(0)->MeasureProcessCPUTime()->UseRealTime()
    ->MinTime(4.0)->Unit(benchmark::kMillisecond);

}  // namespace
