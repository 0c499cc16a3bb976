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
#include "scrolling_document.h"

namespace {

using vantor::platform::ffmpeg::H264Encoder;

using vantor::bench::kHeight;
using vantor::bench::kWidth;
using vantor::bench::ScrollingDocument;

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
