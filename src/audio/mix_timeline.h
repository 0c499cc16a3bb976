#pragma once
// Places the microphone's and the system audio's samples on the take's
// clock and mixes them there, so that the sound lasts as long as the take
// whatever the sources do on the way.
//
// A source's batches are laid end to end from where its first one landed
// (its end at the arrival time): its samples are continuous, so a late
// backlog, once it arrives, lands where it belongs. What is written waits
// for a source that has nothing yet up to kHoldForOther behind the clock;
// the part of a longer stall's backlog whose place was written by then is
// dropped (and counted). A source that stays later than it has ever been
// by more than kDriftLimit for kConfirm lost samples: silence stands in for
// them. One that comes earlier than before only sets how late it can be
// (the first seconds of a take on a busy machine are the slow ones).
//
// Not thread-safe: the mixer's queue owns it. Arrival times come from the
// caller, so a simulated clock can drive it.

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>

#include "audio/pcm_converter.h"

namespace vantor {

class MixTimeline {
 public:
  using Clock = std::chrono::steady_clock;
  enum Source : size_t { mic = 0, system = 1 };
  // Longer than the stalls PulseAudio's clients see on a busy machine, so
  // that a backlog rarely comes too late; the written sound lags at most this
  // much while a source has nothing (and always, while only one delivers).
  static constexpr auto kHoldForOther = std::chrono::seconds(1);
  // A source that delivers while the other is held keeps at most this much pending.
  static constexpr int64_t kMaxPendingSamples = int64_t(2 * PCMConverter::kCommonSampleRate);
  // Arrival jitter stays below this; a lost span goes beyond it.
  static constexpr int64_t kDriftLimitSamples = int64_t(0.04 * PCMConverter::kCommonSampleRate);
  // A backlog catches up within this; a loss does not.
  static constexpr auto kConfirm = std::chrono::milliseconds(500);

  explicit MixTimeline(Clock::time_point origin) : origin_(origin) {}

  void add(Source source, MonoBatch batch, Clock::time_point arrived);
  // The next mixed stretch: as far as every source has samples, or as
  // kHoldForOther behind `now` (empty when that is nothing new).
  MonoBatch take(Clock::time_point now);
  // Everything pending, at the end of the take.
  MonoBatch takeAll();

  int64_t written() const { return written_; }
  uint64_t droppedSamples() const { return dropped_; }
  uint64_t silencedSamples() const { return silenced_; }

 private:
  struct Lane {
    MonoBatch pending;
    int64_t start = 0;  // the take's sample index of pending[0], or of the next sample
    bool placed = false;
    int64_t baseline = 0;  // the least late, in samples, it has delivered
    std::optional<Clock::time_point> lateSince;  // since when it has been beyond kDriftLimitSamples
    int64_t lateBy = 0;                          // the least it was late by since then
    int64_t end() const { return start + int64_t(pending.size()); }
  };

  int64_t indexAt(Clock::time_point t) const;
  MonoBatch mixUpTo(int64_t end);

  Clock::time_point origin_;
  std::array<Lane, 2> lanes_;
  int64_t written_ = 0;
  uint64_t dropped_ = 0, silenced_ = 0;
};

}  // namespace vantor
