// Sample format, channel and rate conversion over libswresample. One
// SwrContext per source format; it is never flushed, so its filter history
// and any frames it holds back carry over to the next buffer and the stream
// stays continuous.

#include <algorithm>
#include <vector>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

#include "platform/audio.h"

namespace vantor::platform {
namespace {

AVSampleFormat avFormat(const AudioFormat& f) {
  bool planar = !f.interleaved && f.channels > 1;
  if (f.sampleType == SampleType::Float32) return planar ? AV_SAMPLE_FMT_FLTP : AV_SAMPLE_FMT_FLT;
  return planar ? AV_SAMPLE_FMT_S16P : AV_SAMPLE_FMT_S16;
}

class SwrSampleConverter final : public SampleConverter {
 public:
  explicit SwrSampleConverter(SwrContext* swr) : swr_(swr) {}
  ~SwrSampleConverter() override { swr_free(&swr_); }

  int convert(const PcmBuffer& input, int16_t* output, uint32_t capacity) override {
    const AudioFormat& f = input.format;
    size_t bytesPerSample = f.sampleType == SampleType::Float32 ? 4 : 2;
    const auto* base = f.sampleType == SampleType::Float32 ? static_cast<const void*>(input.floatData.data())
                                                           : static_cast<const void*>(input.int16Data.data());
    size_t available = f.sampleType == SampleType::Float32 ? input.floatData.size() : input.int16Data.size();
    if (base == nullptr || available < size_t(input.frameLength) * f.channels) return -1;
    planes_.clear();
    bool planar = !f.interleaved && f.channels > 1;
    for (uint32_t ch = 0; ch < (planar ? f.channels : 1u); ++ch)
      planes_.push_back(static_cast<const uint8_t*>(base) + size_t(ch) * input.frameLength * bytesPerSample);
    uint8_t* out[1] = {reinterpret_cast<uint8_t*>(output)};
    return swr_convert(swr_, out, int(std::min<uint32_t>(capacity, INT32_MAX)), planes_.data(),
                       int(input.frameLength));
  }

 private:
  SwrContext* swr_;
  std::vector<const uint8_t*> planes_;
};

}  // namespace

std::unique_ptr<SampleConverter> makeSampleConverter(const AudioFormat& source, const AudioFormat& target) {
  if (source.sampleRate <= 0 || source.channels == 0 || target.channels != 1 ||
      target.sampleType != SampleType::Int16 || target.sampleRate <= 0)
    return nullptr;
  AVChannelLayout inLayout, outLayout;
  av_channel_layout_default(&inLayout, int(source.channels));
  av_channel_layout_default(&outLayout, 1);
  SwrContext* swr = nullptr;
  int rc = swr_alloc_set_opts2(&swr, &outLayout, AV_SAMPLE_FMT_S16, int(target.sampleRate), &inLayout,
                               avFormat(source), int(source.sampleRate), 0, nullptr);
  if (rc < 0 || swr == nullptr) return nullptr;
  if (source.channels > 1) {
    // Several channels become their average: a tone on both channels keeps
    // its level and nothing can clip (the default matrix weighs by 1/√2).
    std::vector<double> matrix(source.channels, 1.0 / source.channels);
    swr_set_matrix(swr, matrix.data(), int(source.channels));
  }
  if (swr_init(swr) < 0) {
    swr_free(&swr);
    return nullptr;
  }
  return std::make_unique<SwrSampleConverter>(swr);
}

}  // namespace vantor::platform
