#pragma once
// Joins the microphone and the system audio into one stream on the take's
// clock (audio/mix_timeline): every 20 ms what both sources have covered
// goes out through onFrame, their samples added with saturation. A source
// that stalls is waited for up to MixTimeline::kHoldForOther, so that its
// backlog lands where it belongs. stop() never waits for a source.
//
// Threads: feedMic/feedSystem from any thread (they note the arrival time
// and post to the queue); start/stop on the main loop; the timer, the
// timeline and onFrame on the queue ".helper.mixer". Set onFrame while the
// mixer is stopped.

#include <cstdint>
#include <functional>
#include <memory>

#include "audio/mix_timeline.h"
#include "audio/pcm_converter.h"
#include "exec/repeating_timer.h"
#include "exec/serial_queue.h"

namespace vantor {

class AudioMixer {
 public:
  using FrameCallback = std::function<void(MonoBatch)>;
  static constexpr auto kInterval = std::chrono::milliseconds(20);

  AudioMixer();
  ~AudioMixer();

  void setOnFrame(FrameCallback onFrame);
  void feedMic(MonoBatch batch);
  void feedSystem(MonoBatch batch);
  // Starts the take's clock and the 20 ms timer; nothing when it runs already.
  void start();
  // Cancels the timer and hands on everything pending; returns after that
  // has happened. It runs even when the mixer never started.
  void stop();

  // Of the take that stop() ended (main loop): samples dropped because their
  // place in the stream was written before they came, and silence put in
  // where a source lost samples.
  uint64_t droppedSamples() const { return dropped_; }
  uint64_t silencedSamples() const { return silenced_; }

 private:
  void feed(MixTimeline::Source source, MonoBatch&& batch);
  void tick();  // on queue_

  FrameCallback onFrame_;                // on queue_
  std::unique_ptr<MixTimeline> timeline_;  // on queue_
  exec::SerialQueue queue_{".helper.mixer"};
  std::unique_ptr<exec::RepeatingTimer> timer_;  // created, started and cancelled on queue_
  bool timerRunning_ = false;                    // main loop
  uint64_t dropped_ = 0, silenced_ = 0;          // main loop, copied at stop
};

}  // namespace vantor
