#include "audio/mix_timeline.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace vantor {

int64_t MixTimeline::indexAt(Clock::time_point t) const {
  return std::llround(std::chrono::duration<double>(t - origin_).count() * PCMConverter::kCommonSampleRate);
}

void MixTimeline::add(Source source, MonoBatch batch, Clock::time_point arrived) {
  if (batch.empty()) return;
  Lane& lane = lanes_[source];
  const auto n = int64_t(batch.size());
  const int64_t clockEnd = indexAt(arrived);
  if (!lane.placed) {
    lane.placed = true;
    lane.pending.clear();
    lane.start = std::max(clockEnd - n, written_);
    lane.baseline = clockEnd - (lane.start + n);
    lane.lateSince.reset();
  } else {
    const int64_t lateness = clockEnd - (lane.end() + n);
    lane.baseline = std::min(lane.baseline, lateness);
    const int64_t late = lateness - lane.baseline;
    if (late <= kDriftLimitSamples) {
      lane.lateSince.reset();
    } else if (!lane.lateSince) {
      lane.lateSince = arrived, lane.lateBy = late;
    } else if (lane.lateBy = std::min(lane.lateBy, late); arrived - *lane.lateSince >= kConfirm) {
      // It lost samples (a backlog would have caught up by now): silence stands in for them.
      if (lane.pending.empty()) lane.start += lane.lateBy;
      else lane.pending.insert(lane.pending.end(), size_t(lane.lateBy), int16_t(0));
      silenced_ += uint64_t(lane.lateBy);
      lane.lateSince.reset();
    }
  }
  // Samples whose place was written already (after a stall longer than the hold).
  if (lane.pending.empty() && lane.start < written_) {
    auto late = size_t(std::min<int64_t>(written_ - lane.start, int64_t(batch.size())));
    batch.erase(batch.begin(), batch.begin() + std::ptrdiff_t(late));
    dropped_ += late;
    lane.start += int64_t(late);
  }
  lane.pending.insert(lane.pending.end(), batch.begin(), batch.end());
}

MonoBatch MixTimeline::take(Clock::time_point now) {
  // A source with nothing yet (stalled, or not started) holds the stream
  // kHoldForOther behind the clock; one that runs ahead keeps kMaxPendingSamples.
  if (!lanes_[mic].placed && !lanes_[system].placed) return {};  // no sound yet, or none at all
  const int64_t heldBack = indexAt(now - kHoldForOther);
  int64_t upTo = std::numeric_limits<int64_t>::max();
  for (const Lane& lane : lanes_) upTo = std::min(upTo, std::max(lane.end(), heldBack));
  for (const Lane& lane : lanes_) upTo = std::max(upTo, lane.end() - kMaxPendingSamples);
  return mixUpTo(upTo);
}

MonoBatch MixTimeline::takeAll() {
  int64_t upTo = written_;
  for (const Lane& lane : lanes_) upTo = std::max(upTo, lane.end());
  return mixUpTo(upTo);
}

MonoBatch MixTimeline::mixUpTo(int64_t end) {
  if (end <= written_) return {};
  MonoBatch out(size_t(end - written_), 0);
  for (Lane& lane : lanes_) {
    int64_t from = std::max(lane.start, written_), to = std::min(lane.end(), end);
    for (int64_t i = from; i < to; ++i) {
      int16_t& o = out[size_t(i - written_)];
      o = int16_t(std::clamp(int32_t(o) + int32_t(lane.pending[size_t(i - lane.start)]), -32768, 32767));
    }
    auto done = size_t(std::clamp<int64_t>(end - lane.start, 0, int64_t(lane.pending.size())));
    lane.pending.erase(lane.pending.begin(), lane.pending.begin() + std::ptrdiff_t(done));
    lane.start += int64_t(done);
  }
  written_ = end;
  return out;
}

}  // namespace vantor
