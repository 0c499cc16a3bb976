#include "audio/pcm_converter.h"

namespace vantor {

uint32_t PCMConverter::outputCapacity(double sourceRate, uint32_t frames) {
  return uint32_t(kCommonSampleRate / sourceRate * double(frames) + 64);
}

MonoBatch PCMConverter::convert(const platform::PcmBuffer& buffer) {
  const platform::AudioFormat& format = buffer.format;
  if (!converter_ || !lastSourceFormat_ || *lastSourceFormat_ != format) {
    // The old converter goes, and with it whatever it held back.
    converter_ = platform::makeSampleConverter(format, target_);
    lastSourceFormat_ = format;
  }
  if (!converter_) return {};
  MonoBatch out(outputCapacity(format.sampleRate, buffer.frameLength));
  int n = converter_->convert(buffer, out.data(), uint32_t(out.size()));
  if (n <= 0) return {};
  out.resize(size_t(n));
  return out;
}

}  // namespace vantor
