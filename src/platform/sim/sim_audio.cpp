#include "platform/sim/sim_audio.h"

#include <cmath>
#include <numbers>

namespace vantor::platform::sim {

float Tone::next(double sampleRate) {
  float v = float(amplitude_ * std::sin(phase_));
  phase_ = std::fmod(phase_ + 2 * std::numbers::pi * frequency_ / sampleRate, 2 * std::numbers::pi);
  return v;
}

int SimAudioInput::tapsInstalled() const {
  std::lock_guard lock(mutex_);
  return tapsInstalled_;
}

void SimAudioInput::installTap(uint32_t bufferFrames, const AudioFormat&, TapBlock block) {
  std::lock_guard lock(mutex_);
  tap_ = std::move(block);
  bufferFrames_ = bufferFrames;
  ++tapsInstalled_;
}

void SimAudioInput::removeTap() {
  std::lock_guard lock(mutex_);
  tap_ = nullptr;
  ++tapsRemoved_;
}

void SimAudioInput::start() {
  if (startFailure) throw *startFailure;
  running_ = true;
}

void SimAudioInput::stop() { running_ = false; }

void SimAudioInput::play(Tone& tone, uint32_t frames) {
  std::vector<float> samples(size_t(frames) * format.channels);
  for (uint32_t i = 0; i < frames; ++i) {
    float v = tone.next(format.sampleRate);
    for (uint32_t ch = 0; ch < format.channels; ++ch) samples[size_t(i) * format.channels + ch] = v;
  }
  AudioFormat interleaved = format;
  interleaved.interleaved = true;
  deliver(PcmBuffer{interleaved, frames, samples, {}});
}

void SimAudioInput::deliver(const PcmBuffer& buffer) {
  // Held while the block runs, as an engine holds its tap: stop() and
  // removeTap() never overlap a delivery.
  std::lock_guard lock(mutex_);
  if (running_ && tap_) tap_(buffer);
}

size_t SimSystemAudio::liveTaps() const {
  std::lock_guard lock(mutex_);
  return taps_.size();
}
size_t SimSystemAudio::liveDevices() const {
  std::lock_guard lock(mutex_);
  return devices_.size();
}
size_t SimSystemAudio::liveProcs() const {
  std::lock_guard lock(mutex_);
  return procs_.size();
}
bool SimSystemAudio::deviceRunning() const {
  std::lock_guard lock(mutex_);
  return running_.has_value();
}
std::vector<TapDescription> SimSystemAudio::tapDescriptions() const {
  std::lock_guard lock(mutex_);
  return tapDescriptions_;
}
std::vector<AggregateDeviceDescription> SimSystemAudio::deviceDescriptions() const {
  std::lock_guard lock(mutex_);
  return deviceDescriptions_;
}

void SimSystemAudio::play(Tone& tone, uint32_t frames) {
  std::vector<float> samples(size_t(frames) * 2);
  for (uint32_t i = 0; i < frames; ++i) samples[2 * i] = samples[2 * i + 1] = tone.next(48000);
  deliver({std::move(samples)}, {2});
}

void SimSystemAudio::deliver(std::vector<std::vector<float>> buffers, std::vector<uint32_t> channels) {
  std::lock_guard lock(mutex_);
  if (!running_) return;
  Proc& proc = procs_.at(*running_);
  proc.queue->post([block = proc.block, buffers = std::move(buffers), channels = std::move(channels)] {
    std::vector<AudioBufferView> views;
    for (size_t i = 0; i < buffers.size(); ++i)
      views.push_back({channels[i], uint32_t(buffers[i].size() * sizeof(float)),
                       buffers[i].empty() ? nullptr : buffers[i].data()});
    block(views);
  });
}

int32_t SimSystemAudio::createProcessTap(const TapDescription& description, uint32_t& tapID) {
  std::lock_guard lock(mutex_);
  tapDescriptions_.push_back(description);
  if (tapStatus != 0) return tapStatus;
  tapID = nextId_++;
  taps_.insert(tapID);
  return 0;
}

int32_t SimSystemAudio::createAggregateDevice(const AggregateDeviceDescription& description, uint32_t& deviceID) {
  std::lock_guard lock(mutex_);
  deviceDescriptions_.push_back(description);
  if (deviceStatus != 0) return deviceStatus;
  deviceID = nextId_++;
  devices_.insert(deviceID);
  return 0;
}

int32_t SimSystemAudio::createIOProc(uint32_t, exec::Loop& queue, IOBlock block, IOProcHandle& handle) {
  std::lock_guard lock(mutex_);
  if (ioProcStatus != 0) return ioProcStatus;
  if (ioProcWithoutHandle) {
    handle = 0;
    return 0;
  }
  handle = nextId_++;
  procs_.emplace(handle, Proc{&queue, std::move(block)});
  return 0;
}

int32_t SimSystemAudio::startDevice(uint32_t, IOProcHandle handle) {
  std::lock_guard lock(mutex_);
  if (startStatus != 0) return startStatus;
  running_ = handle;
  return 0;
}

void SimSystemAudio::stopDevice(uint32_t, IOProcHandle) {
  std::lock_guard lock(mutex_);
  running_.reset();
}

void SimSystemAudio::destroyIOProc(uint32_t, IOProcHandle handle) {
  std::lock_guard lock(mutex_);
  procs_.erase(handle);
}

void SimSystemAudio::destroyAggregateDevice(uint32_t deviceID) {
  std::lock_guard lock(mutex_);
  devices_.erase(deviceID);
}

void SimSystemAudio::destroyProcessTap(uint32_t tapID) {
  std::lock_guard lock(mutex_);
  taps_.erase(tapID);
}

}  // namespace vantor::platform::sim
