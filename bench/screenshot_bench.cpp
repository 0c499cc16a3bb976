// Screenshot costs on one 1920x1080 frame of screen-like content: the JPEG
// encode as the agent does it, the same with the accurate DCT, and Base64.

#include <benchmark/benchmark.h>
#include <turbojpeg.h>

#include "scrolling_document.h"
#include "platform/jpeg.h"
#include "util/base64.h"

namespace {

using vantor::bench::ScrollingDocument;

const ScrollingDocument& page() {
  static ScrollingDocument d;
  return d;
}

void BM_ScreenshotJpeg(benchmark::State& state) {
  size_t bytes = 0;
  for (auto _ : state) {
    auto jpeg = vantor::encodeJpeg(page().frame(0));
    bytes = jpeg ? jpeg->size() : 0;
  }
  state.counters["jpeg_KiB"] = double(bytes) / 1024;
}
BENCHMARK(BM_ScreenshotJpeg)->Unit(benchmark::kMillisecond);

// The encoder's other DCT, for the choice made in jpeg_encoder.cpp.
void BM_ScreenshotJpegAccurateDct(benchmark::State& state) {
  tjhandle handle = tjInitCompress();
  auto frame = page().frame(0);
  for (auto _ : state) {
    unsigned char* out = nullptr;
    unsigned long size = 0;
    tjCompress2(handle, frame.data, frame.width, frame.stride, frame.height, TJPF_BGRX, &out, &size, TJSAMP_420,
                vantor::kScreenshotJpegQuality, 0);
    tjFree(out);
  }
  tjDestroy(handle);
}
BENCHMARK(BM_ScreenshotJpegAccurateDct)->Unit(benchmark::kMillisecond);

void BM_ScreenshotBase64(benchmark::State& state) {
  auto jpeg = vantor::encodeJpeg(page().frame(0)).value();
  for (auto _ : state) benchmark::DoNotOptimize(vantor::base64Encode(jpeg));
  state.SetBytesProcessed(int64_t(state.iterations() * jpeg.size()));
}
BENCHMARK(BM_ScreenshotBase64)->Unit(benchmark::kMicrosecond);

}  // namespace
