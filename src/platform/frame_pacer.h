#pragma once
// When a stream may take its next frame: one per interval on average, but
// one may come up to half an interval early when the one before came late.
// A painter at the take's own rate jitters around the interval; a strict
// minimum spacing then merges two of its changes now and then (the second
// arrives just after a grab, the third just before the next), and a
// picture is lost. Credit for lateness is capped at half an interval, so
// the average never exceeds the rate and no two frames come closer than
// half an interval. Used by one thread.

#include <algorithm>
#include <chrono>

namespace vantor::platform {

class FramePacer {
 public:
  using Clock = std::chrono::steady_clock;
  explicit FramePacer(Clock::duration interval) : interval_(std::max(interval, Clock::duration::zero())) {}

  // The earliest time the next frame may be taken.
  Clock::time_point allowedAt() const {
    if (interval_ == Clock::duration::zero() || credit_ >= 1) return last_;
    return last_ + std::chrono::duration_cast<Clock::duration>(interval_ * (1 - credit_));
  }
  // A frame was taken at `at`.
  void took(Clock::time_point at) {
    if (interval_ == Clock::duration::zero()) return;
    double earned = std::chrono::duration<double>(at - last_) / std::chrono::duration<double>(interval_);
    credit_ = std::min(kMostCredit, credit_ + std::max(earned, 0.0)) - 1;
    last_ = at;
  }

 private:
  static constexpr double kMostCredit = 1.5;
  Clock::duration interval_;
  Clock::time_point last_{};
  double credit_ = kMostCredit;  // frames' worth, at last_
};

}  // namespace vantor::platform
