#include "audio/audio_mixer.h"

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

AudioMixer::AudioMixer() : timeline_(std::make_unique<MixTimeline>(MixTimeline::Clock::now())) {}

AudioMixer::~AudioMixer() {
  runOnAndWait(queue_, [this] { timer_.reset(); });
}

void AudioMixer::setOnFrame(FrameCallback onFrame) {
  runOnAndWait(queue_, [this, &onFrame] { onFrame_ = std::move(onFrame); });
}

void AudioMixer::feedMic(MonoBatch batch) { feed(MixTimeline::mic, std::move(batch)); }

void AudioMixer::feedSystem(MonoBatch batch) { feed(MixTimeline::system, std::move(batch)); }

void AudioMixer::feed(MixTimeline::Source source, MonoBatch&& batch) {
  // Taken here, on the source's thread: the queue may run late.
  auto arrived = MixTimeline::Clock::now();
  queue_.post([this, source, arrived, batch = std::move(batch)]() mutable {
    timeline_->add(source, std::move(batch), arrived);
  });
}

void AudioMixer::start() {
  if (timerRunning_) return;
  timerRunning_ = true;
  auto origin = MixTimeline::Clock::now();
  runOnAndWait(queue_, [this, origin] {
    timeline_ = std::make_unique<MixTimeline>(origin);
    timer_ = std::make_unique<exec::RepeatingTimer>(queue_, kInterval, [this] { tick(); });
    timer_->start();
  });
}

void AudioMixer::stop() {
  timerRunning_ = false;
  // Everything fed before this point is queued ahead of the last pass.
  runOnAndWait(queue_, [this] {
    VANTOR_ASSERT_ON(queue_);
    if (timer_) timer_->cancel();
    timer_.reset();
    MonoBatch rest = timeline_->takeAll();
    if (!rest.empty() && onFrame_) onFrame_(std::move(rest));
    dropped_ = timeline_->droppedSamples();
    silenced_ = timeline_->silencedSamples();
  });
}

void AudioMixer::tick() {
  VANTOR_ASSERT_ON(queue_);
  MonoBatch mixed = timeline_->take(MixTimeline::Clock::now());
  if (!mixed.empty() && onFrame_) onFrame_(std::move(mixed));
}

}  // namespace vantor
