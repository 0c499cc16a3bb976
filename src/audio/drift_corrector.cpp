#include "audio/drift_corrector.h"

#include <algorithm>
#include <cmath>

namespace vantor {

DriftCorrector::DriftCorrector()
    : stretcher_(platform::makeSampleStretcher(uint32_t(PCMConverter::kCommonSampleRate))) {}

DriftCorrector::~DriftCorrector() = default;

MonoBatch DriftCorrector::correct(MonoBatch batch, Clock::time_point at) {
  fit(batch.size(), at);
  if (std::abs(stretch_ - applied_) > 1e-6) stretcher_->setFactor(applied_ = stretch_);
  MonoBatch out;
  out.reserve(batch.size() + batch.size() / 32 + 64);
  stretcher_->stretch(batch, out);
  return out;
}

void DriftCorrector::fit(size_t samples, Clock::time_point at) {
  double t = std::chrono::duration<double>(at - start_).count();
  if (!started_ || t - last_ > kGapSeconds || t < last_) {
    started_ = true, start_ = at, t = 0, last_ = 0, delivered_ = 0;
    s0_ = sx_ = sy_ = sxx_ = sxy_ = 0;
  }
  double keep = std::exp(-(t - last_) / kMemorySeconds);
  s0_ *= keep, sx_ *= keep, sy_ *= keep, sxx_ *= keep, sxy_ *= keep;
  delivered_ += double(samples);
  s0_ += 1, sx_ += t, sy_ += delivered_, sxx_ += t * t, sxy_ += t * delivered_;
  last_ = t;
  if (t < kSettleSeconds) return;
  double variance = sxx_ - sx_ * sx_ / s0_, covariance = sxy_ - sx_ * sy_ / s0_;
  if (variance <= 0 || covariance <= 0) return;
  double rate = covariance / variance;
  stretch_ = std::clamp(PCMConverter::kCommonSampleRate / rate, 1 - kMaxCorrection, 1 + kMaxCorrection);
}

}  // namespace vantor
