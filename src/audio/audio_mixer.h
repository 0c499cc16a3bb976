#pragma once
// Joins the microphone and the system audio into one stream. Batches from
// each source wait in their own pending buffer; every 20 ms one mixed batch
// goes out through onFrame: the overlap of both buffers added with
// saturation, or the whole of the one that is not empty. Samples pair up by
// arrival order only; the stream is never padded.
//
// A source that is delivering but has nothing pending at a tick (it comes
// in larger pieces, or a little late) is waited for, up to kHoldForOther:
// writing the other source alone there would put its samples in the stream
// twice over in time — once alone, and the partner's samples later after
// them — so the sound would drift behind the picture by tens of
// milliseconds a second. A source silent for longer than that counts as
// stopped, and the other passes through batch by batch. stop() never waits.
//
// Threads: feedMic/feedSystem from any thread (they only post to the
// queue); start/stop on the main loop; the timer, the buffers and onFrame on
// the queue ".helper.mixer". Set onFrame while the mixer is stopped.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "audio/pcm_converter.h"
#include "exec/repeating_timer.h"
#include "exec/serial_queue.h"

namespace vantor {

class AudioMixer {
 public:
  using FrameCallback = std::function<void(MonoBatch)>;
  static constexpr auto kInterval = std::chrono::milliseconds(20);
  // A source that keeps delivering while the other stalls would grow its
  // buffer without end; beyond 2 s the oldest samples go (and are counted).
  static constexpr size_t kMaxPendingSamples = size_t(2 * PCMConverter::kCommonSampleRate);
  static constexpr auto kHoldForOther = std::chrono::milliseconds(200);

  struct Mixed {
    MonoBatch mixed;
    MonoBatch micRemainder;
    MonoBatch sysRemainder;
  };

  AudioMixer();
  ~AudioMixer();

  void setOnFrame(FrameCallback onFrame);
  void feedMic(MonoBatch batch);
  void feedSystem(MonoBatch batch);
  // Starts the 20 ms timer; nothing when it runs already.
  void start();
  // Cancels the timer and runs one last pass; returns after that pass has
  // handed its batch on. The pass runs even when the mixer never started.
  void stop();

  // Samples dropped from the pending buffers because of the bound, since start().
  uint64_t droppedSamples() const;

  static Mixed mix(const MonoBatch& mic, const MonoBatch& sys);

 private:
  using Clock = std::chrono::steady_clock;
  void append(MonoBatch& pending, MonoBatch&& batch);  // on queue_
  bool waitingForTheOther(Clock::time_point now) const;  // on queue_
  void tick();                                          // on queue_
  void flush();                                         // on queue_

  FrameCallback onFrame_;  // on queue_
  MonoBatch micBuf_;       // on queue_
  MonoBatch sysBuf_;       // on queue_
  std::optional<Clock::time_point> lastMicFeed_, lastSysFeed_;  // on queue_
  std::atomic<uint64_t> dropped_{0};
  exec::SerialQueue queue_{".helper.mixer"};
  std::unique_ptr<exec::RepeatingTimer> timer_;  // created, started and cancelled on queue_
  bool timerRunning_ = false;                    // main loop
};

}  // namespace vantor
