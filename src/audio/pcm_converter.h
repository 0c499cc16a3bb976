#pragma once
// Turns one source buffer of any PCM layout into one mono batch in the
// common format (signed 16-bit, one channel, 16000 Hz). Each source owns one
// converter for its whole life and calls it from its delivery thread only.
//
// The converter keeps its state across buffers (resampling history and
// frames held back), so the stream stays continuous; a buffer of another
// format starts a fresh converter. There is no reset: frames held back at
// the end of one take can open the next.

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "platform/audio.h"

namespace vantor {

// A batch of mono samples in the common format. Its place in the stream is
// given only by the samples that went before it.
using MonoBatch = std::vector<int16_t>;

class PCMConverter {
 public:
  static constexpr double kCommonSampleRate = 16000;
  static platform::AudioFormat commonFormat() {
    return {platform::SampleType::Int16, kCommonSampleRate, 1, true};
  }

  PCMConverter() = default;
  // The converted samples, or an empty batch when nothing was produced
  // (including every failure, which is neither logged nor kept).
  MonoBatch convert(const platform::PcmBuffer& buffer);

  // Output frames to make room for: the rate ratio applied to the input
  // length, plus room for frames the converter held back before.
  static uint32_t outputCapacity(double sourceRate, uint32_t frames);

 private:
  const platform::AudioFormat target_ = commonFormat();
  std::unique_ptr<platform::SampleConverter> converter_;
  std::optional<platform::AudioFormat> lastSourceFormat_;
};

}  // namespace vantor
