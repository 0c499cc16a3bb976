#pragma once
// What the computer plays (the mix of every process's output), reduced to
// one channel, converted to the common format and delivered through
// onFrame on the serial queue ".helper.process-tap". The controller owns
// one for the life of the process and starts and stops it per take.
//
// Every start builds a new tap, a new private device around it and an I/O
// procedure on the device; a start that fails part-way releases what it
// made, in reverse order, before it throws. Threads: start/stop on the main
// loop; onFrame on the queue. Set onFrame before start.

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>

#include "audio/drift_corrector.h"
#include "audio/pcm_converter.h"
#include "exec/serial_queue.h"
#include "platform/audio.h"

namespace vantor {

class SystemAudioCapture {
 public:
  using FrameCallback = std::function<void(MonoBatch)>;
  static constexpr double kSampleRate = 48000;

  // `available` is false on a platform that cannot record its output; start
  // then fails with code 2.
  SystemAudioCapture(platform::SystemAudioService& service, bool available);
  ~SystemAudioCapture();

  void setOnFrame(FrameCallback onFrame);
  // Throws Error (Vantor.Audio) with the failing step's status as its code.
  void start();
  void stop();
  bool isRunning() const { return isRunning_; }
  uint32_t tapID() const { return tapID_; }
  uint32_t aggregateDeviceID() const { return aggregateDeviceID_; }

  // A new random UUID in canonical upper-case form.
  static std::string makeUUID();

 private:
  // What the I/O procedure reaches, held weakly by it; used on the queue only.
  struct Delivery {
    FrameCallback onFrame;
    PCMConverter converter;
    DriftCorrector drift;
    std::vector<float> planes;  // reused between callbacks
    void handleInputBufferList(const platform::AudioBufferView& buffer);
  };

  void releaseAll();

  platform::SystemAudioService& service_;
  bool available_;
  std::shared_ptr<Delivery> delivery_ = std::make_shared<Delivery>();
  uint32_t tapID_ = 0;
  uint32_t aggregateDeviceID_ = 0;
  platform::SystemAudioService::IOProcHandle ioProcID_ = 0;
  bool isRunning_ = false;
  exec::SerialQueue sampleQueue_{".helper.process-tap"};
};

}  // namespace vantor
