#include "audio/audio_mixer.h"

#include <algorithm>
#include <future>

namespace vantor {

namespace {

// Runs `work` on `queue` and waits for it.
template <typename F>
void runOnAndWait(exec::Loop& queue, F work) {
  std::promise<void> done;
  queue.post([&] {
    work();
    done.set_value();
  });
  done.get_future().wait();
}

}  // namespace

AudioMixer::AudioMixer() = default;

AudioMixer::~AudioMixer() {
  runOnAndWait(queue_, [this] { timer_.reset(); });
}

void AudioMixer::setOnFrame(FrameCallback onFrame) {
  runOnAndWait(queue_, [this, &onFrame] { onFrame_ = std::move(onFrame); });
}

void AudioMixer::feedMic(MonoBatch batch) {
  queue_.post([this, batch = std::move(batch)]() mutable {
    lastMicFeed_ = Clock::now();
    append(micBuf_, std::move(batch));
  });
}

void AudioMixer::feedSystem(MonoBatch batch) {
  queue_.post([this, batch = std::move(batch)]() mutable {
    lastSysFeed_ = Clock::now();
    append(sysBuf_, std::move(batch));
  });
}

void AudioMixer::append(MonoBatch& pending, MonoBatch&& batch) {
  VANTOR_ASSERT_ON(queue_);
  if (pending.empty()) pending = std::move(batch);
  else pending.insert(pending.end(), batch.begin(), batch.end());
  if (pending.size() > kMaxPendingSamples) {
    size_t excess = pending.size() - kMaxPendingSamples;
    pending.erase(pending.begin(), pending.begin() + std::ptrdiff_t(excess));
    dropped_ += excess;
  }
}

void AudioMixer::start() {
  if (timerRunning_) return;
  timerRunning_ = true;
  dropped_ = 0;
  runOnAndWait(queue_, [this] {
    timer_ = std::make_unique<exec::RepeatingTimer>(queue_, kInterval, [this] { tick(); });
    timer_->start();
  });
}

void AudioMixer::stop() {
  timerRunning_ = false;
  // Everything fed before this point is queued ahead of the last pass.
  runOnAndWait(queue_, [this] {
    if (timer_) timer_->cancel();
    timer_.reset();
    flush();
  });
}

uint64_t AudioMixer::droppedSamples() const { return dropped_; }

bool AudioMixer::waitingForTheOther(Clock::time_point now) const {
  if (micBuf_.empty() == sysBuf_.empty()) return false;  // both to mix, or nothing
  const MonoBatch& pending = micBuf_.empty() ? sysBuf_ : micBuf_;
  const std::optional<Clock::time_point>& otherLast = micBuf_.empty() ? lastMicFeed_ : lastSysFeed_;
  auto holdSamples = size_t(PCMConverter::kCommonSampleRate * std::chrono::duration<double>(kHoldForOther).count());
  return otherLast && now - *otherLast < kHoldForOther && pending.size() < holdSamples;
}

void AudioMixer::tick() {
  VANTOR_ASSERT_ON(queue_);
  if (!waitingForTheOther(Clock::now())) flush();
}

void AudioMixer::flush() {
  VANTOR_ASSERT_ON(queue_);
  Mixed result = mix(micBuf_, sysBuf_);
  micBuf_ = std::move(result.micRemainder);
  sysBuf_ = std::move(result.sysRemainder);
  if (!result.mixed.empty() && onFrame_) onFrame_(std::move(result.mixed));
}

AudioMixer::Mixed AudioMixer::mix(const MonoBatch& mic, const MonoBatch& sys) {
  if (mic.empty()) return {sys, {}, {}};
  if (sys.empty()) return {mic, {}, {}};
  size_t n = std::min(mic.size(), sys.size());
  Mixed out;
  out.mixed.resize(n);
  for (size_t i = 0; i < n; ++i)
    out.mixed[i] = int16_t(std::clamp(int32_t(mic[i]) + int32_t(sys[i]), -32768, 32767));
  out.micRemainder.assign(mic.begin() + std::ptrdiff_t(n), mic.end());
  out.sysRemainder.assign(sys.begin() + std::ptrdiff_t(n), sys.end());
  return out;
}

}  // namespace vantor
