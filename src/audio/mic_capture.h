#pragma once
// The microphone: the default audio input, reduced to one channel and
// converted to the common format, delivered batch by batch through onFrame.
// The controller owns one for the life of the process and starts and stops
// it for every take with sound.
//
// Threads: start/stop on the main loop; onFrame runs on the input's own
// delivery thread and must only hand the batch on. Set onFrame before
// start; it is read without a lock.

#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "audio/drift_corrector.h"
#include "audio/pcm_converter.h"
#include "platform/audio.h"

namespace vantor {

class MicCapture {
 public:
  using FrameCallback = std::function<void(MonoBatch)>;
  static constexpr uint32_t kTapBufferFrames = 4096;

  // A mono float buffer, or a view of the input when it already was mono.
  struct Mono {
    std::vector<float> samples;  // the average; empty when `input` is mono
    platform::PcmBuffer input;
    platform::PcmBuffer buffer() const {
      if (samples.empty()) return input;
      return {{platform::SampleType::Float32, input.format.sampleRate, 1, false}, input.frameLength, samples, {}};
    }
  };

  explicit MicCapture(platform::AudioInput& engine);
  ~MicCapture();

  void setOnFrame(FrameCallback onFrame);
  // Throws Error "No usable microphone input" (Vantor.Audio 1) or the
  // input's own error. Does nothing when already running.
  void start();
  // Removes the tap and stops the input; nothing when not running.
  void stop();
  bool isRunning() const { return isRunning_; }

  // The average of the first min(channels, maxChannels) channels, or the
  // buffer itself when it is mono; nothing for an empty buffer or a
  // multi-channel one without float samples.
  static std::optional<Mono> downmixToMono(const platform::PcmBuffer& buffer, uint32_t maxChannels);

 private:
  // What the tap reaches, held weakly by it.
  struct Delivery {
    FrameCallback onFrame;
    PCMConverter converter;
    DriftCorrector drift;
    void tap(const platform::PcmBuffer& buffer);
  };

  platform::AudioInput& engine_;
  std::shared_ptr<Delivery> delivery_ = std::make_shared<Delivery>();
  bool isRunning_ = false;
};

}  // namespace vantor
