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
    lane.first = arrived;
    lane.pending.clear();
    lane.start = std::max(clockEnd - n, written_);
    lane.baseline = clockEnd - (lane.start + n);
    lane.offSince.reset();
  } else {
    const int64_t lateness = clockEnd - (lane.end() + n);
    if (arrived - lane.first < kSettle) lane.baseline = std::min(lane.baseline, lateness);
    const int64_t off = lateness - lane.baseline;
    if (std::abs(off) <= kDriftLimitSamples) {
      lane.offSince.reset();
    } else if (!lane.offSince || (off > 0) != (lane.offBy > 0)) {
      lane.offSince = arrived, lane.offBy = off;
    } else {
      lane.offBy = off > 0 ? std::min(lane.offBy, off) : std::max(lane.offBy, off);
      if (arrived - *lane.offSince >= kConfirm) {
        move(lane, lane.offBy, batch);
        lane.offSince.reset();
      }
    }
  }
  lane.last = arrived;
  // Samples whose place was written already (after a stall longer than the hold).
  if (lane.pending.empty() && lane.start < written_) {
    auto late = size_t(std::min<int64_t>(written_ - lane.start, int64_t(batch.size())));
    batch.erase(batch.begin(), batch.begin() + std::ptrdiff_t(late));
    dropped_ += late;
    lane.start += int64_t(late);
  }
  lane.pending.insert(lane.pending.end(), batch.begin(), batch.end());
}

void MixTimeline::move(Lane& lane, int64_t by, MonoBatch& batch) {
  if (by > 0) {  // it lost samples: silence stands in for them
    if (lane.pending.empty()) lane.start += by;
    else lane.pending.insert(lane.pending.end(), size_t(by), int16_t(0));
    silenced_ += uint64_t(by);
    return;
  }
  // It delivered more than the clock allows: the surplus goes, newest pending first.
  auto cut = size_t(-by);
  size_t fromPending = std::min(cut, lane.pending.size());
  lane.pending.resize(lane.pending.size() - fromPending);
  size_t fromBatch = std::min(cut - fromPending, batch.size());
  batch.erase(batch.begin(), batch.begin() + std::ptrdiff_t(fromBatch));
  dropped_ += fromPending + fromBatch;
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
