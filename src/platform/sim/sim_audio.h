#pragma once
// Simulated sound services for deterministic tests: a microphone and a
// system-audio chain that play tones of chosen frequency and level when a
// test asks, and fail at a chosen step with a chosen status.

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <vector>

#include "platform/audio.h"
#include "util/error.h"

namespace vantor::platform::sim {

// A sine of `frequency` Hz and peak `amplitude` (full scale 1.0), continuous
// across calls.
class Tone {
 public:
  Tone(double frequency, double amplitude) : frequency_(frequency), amplitude_(amplitude) {}
  float next(double sampleRate);

 private:
  double frequency_;
  double amplitude_;
  double phase_ = 0;
};

class SimAudioInput final : public AudioInput {
 public:
  // The input's format as the engine reports it; rate 0 or no channels
  // makes it unusable.
  AudioFormat format{SampleType::Float32, 48000, 1, true};
  std::optional<Error> startFailure;

  // What the engine was asked to do.
  int tapsInstalled() const;
  int tapsRemoved() const { return tapsRemoved_; }
  uint32_t requestedBufferFrames() const { return bufferFrames_; }
  bool running() const { return running_; }

  // Delivers `frames` frames of `tone` on every channel to the tap, on the
  // calling thread (the test plays the engine's delivery thread). Nothing
  // happens unless the input is running with a tap.
  void play(Tone& tone, uint32_t frames);
  // Delivers exactly this buffer.
  void deliver(const PcmBuffer& buffer);

  AudioFormat inputFormat() override { return format; }
  void installTap(uint32_t bufferFrames, const AudioFormat& format, TapBlock block) override;
  void removeTap() override;
  void prepare() override {}
  void start() override;
  void stop() override;

 private:
  mutable std::mutex mutex_;
  TapBlock tap_;
  int tapsInstalled_ = 0;
  std::atomic<int> tapsRemoved_{0};
  uint32_t bufferFrames_ = 0;
  std::atomic<bool> running_{false};
};

class SimSystemAudio final : public SystemAudioService {
 public:
  // Status answered by each step; 0 succeeds.
  int32_t tapStatus = 0;
  int32_t deviceStatus = 0;
  int32_t ioProcStatus = 0;
  bool ioProcWithoutHandle = false;  // success without a handle
  int32_t startStatus = 0;

  // Objects alive now, and the descriptions they were made from.
  size_t liveTaps() const;
  size_t liveDevices() const;
  size_t liveProcs() const;
  bool deviceRunning() const;
  std::vector<TapDescription> tapDescriptions() const;
  std::vector<AggregateDeviceDescription> deviceDescriptions() const;

  // Queues one I/O cycle of interleaved stereo float holding `tone` on both
  // channels (when the device runs); the block runs on its queue.
  void play(Tone& tone, uint32_t frames);
  // Queues one I/O cycle with these buffers as they are.
  void deliver(std::vector<std::vector<float>> buffers, std::vector<uint32_t> channels);

  int32_t createProcessTap(const TapDescription& description, uint32_t& tapID) override;
  int32_t createAggregateDevice(const AggregateDeviceDescription& description, uint32_t& deviceID) override;
  int32_t createIOProc(uint32_t deviceID, exec::Loop& queue, IOBlock block, IOProcHandle& handle) override;
  int32_t startDevice(uint32_t deviceID, IOProcHandle handle) override;
  void stopDevice(uint32_t deviceID, IOProcHandle handle) override;
  void destroyIOProc(uint32_t deviceID, IOProcHandle handle) override;
  void destroyAggregateDevice(uint32_t deviceID) override;
  void destroyProcessTap(uint32_t tapID) override;

 private:
  struct Proc {
    exec::Loop* queue;
    IOBlock block;
  };
  mutable std::mutex mutex_;
  uint32_t nextId_ = 40;
  std::set<uint32_t> taps_, devices_;
  std::map<IOProcHandle, Proc> procs_;
  std::optional<IOProcHandle> running_;
  std::vector<TapDescription> tapDescriptions_;
  std::vector<AggregateDeviceDescription> deviceDescriptions_;
};

}  // namespace vantor::platform::sim
