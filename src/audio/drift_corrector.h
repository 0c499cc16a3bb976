#pragma once
// Keeps a sound source on the monotonic clock. A microphone and an output
// device each run on a crystal of their own, so one delivers slightly more
// samples a second than its nominal rate and the other slightly fewer; over
// an hour the difference adds up to seconds, the mixer's buffer of the
// faster source overflows, and the sound drifts from the picture.
//
// The corrector fits a line through (arrival time, samples delivered so
// far), weighing recent arrivals most, so that delivery jitter averages out
// over thousands of batches; the line's slope is the source's true rate.
// Once the fit spans long enough, the source's samples are stretched by
// nominal / true rate, so that it yields the nominal rate per second of the
// monotonic clock.
//
// Threads: one source's delivery thread only; no locks.

#include <chrono>
#include <memory>

#include "audio/pcm_converter.h"

namespace vantor {

class DriftCorrector {
 public:
  using Clock = std::chrono::steady_clock;
  // Deliveries further apart than this start a fresh fit: the source was
  // stopped in between (the stretch found so far is kept).
  static constexpr double kGapSeconds = 1;
  // Until the fit spans this long, the stretch stays as it was (1 at first).
  static constexpr double kSettleSeconds = 10;
  // How fast old arrivals fade from the fit, so that a clock that wanders
  // with temperature is followed.
  static constexpr double kMemorySeconds = 120;
  // Beyond ±1 % it is not a clock's drift: the stretch is held there.
  static constexpr double kMaxCorrection = 0.01;

  DriftCorrector();
  ~DriftCorrector();

  // The batch (at the common rate) that arrived at `at`, stretched.
  MonoBatch correct(MonoBatch batch, Clock::time_point at);
  double stretch() const { return stretch_; }

 private:
  void fit(size_t samples, Clock::time_point at);

  std::unique_ptr<platform::SampleStretcher> stretcher_;
  double stretch_ = 1, applied_ = 1;
  // The fit: arrival times in seconds since start_, samples since start_,
  // and their exponentially weighted sums.
  Clock::time_point start_;
  bool started_ = false;
  double last_ = 0, delivered_ = 0;
  double s0_ = 0, sx_ = 0, sy_ = 0, sxx_ = 0, sxy_ = 0;
};

}  // namespace vantor
