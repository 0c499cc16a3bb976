// Stretching over speexdsp's resampler, the one PulseAudio itself uses to
// keep devices on different clocks together. libswresample's compensation
// steps in units of its phase count (0.1 % at equal rates), too coarse for
// clocks that differ by a few hundredths of a percent; speexdsp takes the
// ratio as a fraction and keeps its phase when the ratio changes.

#include <speex/speex_resampler.h>

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "platform/audio.h"

namespace vantor::platform {
namespace {

// The ratio's numerator. speexdsp rescales its phase by the product of old
// and new denominators in 32 bits, so they stay below 46,340; the steps of
// about 1/40,000 this allows are dithered from one call to the next. It
// also reduces the ratio by its greatest common divisor and keeps the phase
// only to the reduced denominator: a prime keeps every ratio but 1 whole,
// and 1 is never asked for again once left.
constexpr spx_uint32_t kScale = 39'989;
// PulseAudio's default quality; plenty for a ratio this close to 1.
constexpr int kQuality = 1;

class SpeexStretcher final : public SampleStretcher {
 public:
  explicit SpeexStretcher(uint32_t sampleRate) : rate_(sampleRate) {
    int error = 0;
    state_ = speex_resampler_init_frac(1, kScale, kScale, rate_, rate_, kQuality, &error);
    if (!state_) throw std::runtime_error(speex_resampler_strerror(error));
    // Output starts with the first input sample rather than the filter's zeros.
    speex_resampler_skip_zeros(state_);
  }
  ~SpeexStretcher() override { speex_resampler_destroy(state_); }

  void setFactor(double factor) override { factor_ = std::clamp(factor, 0.9, 1.1); }

  void stretch(std::span<const int16_t> input, std::vector<int16_t>& output) override {
    if (input.empty()) return;
    // The ratio for this call, a whole number of steps, chosen so that over
    // the calls the samples made follow the factor exactly.
    double wanted = factor_ * double(input.size()) + owed_;
    auto out = spx_uint32_t(std::lround(kScale * wanted / double(input.size())));
    if (out == kScale && current_ != kScale) out += wanted > factor_ * double(input.size()) ? 1 : -1;
    owed_ = wanted - double(input.size()) * out / kScale;
    // Input over output: more out than in for a factor above 1.
    if (out != current_) speex_resampler_set_rate_frac(state_, kScale, current_ = out, rate_, rate_);
    while (!input.empty()) {
      size_t at = output.size();
      output.resize(at + input.size() + input.size() / 8 + 64);
      auto taken = spx_uint32_t(input.size()), made = spx_uint32_t(output.size() - at);
      speex_resampler_process_int(state_, 0, input.data(), &taken, output.data() + at, &made);
      output.resize(at + made);
      input = input.subspan(taken);
      if (taken == 0 && made == 0) break;  // never spin on a resampler that refuses
    }
  }

 private:
  uint32_t rate_;
  SpeexResamplerState* state_ = nullptr;
  double factor_ = 1, owed_ = 0;
  spx_uint32_t current_ = kScale;
};

}  // namespace

std::unique_ptr<SampleStretcher> makeSampleStretcher(uint32_t sampleRate) {
  return std::make_unique<SpeexStretcher>(sampleRate);
}

}  // namespace vantor::platform
