#include "audio/system_audio_capture.h"

#include <cstring>
#include <fmt/format.h>
#include <random>

#include "util/log.h"
#include "util/error.h"

namespace vantor {

namespace {

constexpr const char* kDomain = "Vantor.Audio";

[[noreturn]] void fail(int32_t status, std::string description) { throw Error(kDomain, status, std::move(description)); }

}  // namespace

SystemAudioCapture::SystemAudioCapture(platform::SystemAudioService& service, bool available)
    : service_(service), available_(available) {}

SystemAudioCapture::~SystemAudioCapture() { stop(); }

void SystemAudioCapture::setOnFrame(FrameCallback onFrame) { delivery_->onFrame = std::move(onFrame); }

std::string SystemAudioCapture::makeUUID() {
  static thread_local std::mt19937_64 random{std::random_device{}()};
  uint64_t hi = random(), lo = random();
  hi = (hi & ~0xF000ull) | 0x4000ull;                        // version 4
  lo = (lo & ~(0xC000ull << 48)) | (0x8000ull << 48);        // RFC 4122 variant
  return fmt::format("{:08X}-{:04X}-{:04X}-{:04X}-{:012X}", uint32_t(hi >> 32), uint32_t(hi >> 16) & 0xFFFF,
                     uint32_t(hi) & 0xFFFF, uint32_t(lo >> 48), lo & 0xFFFFFFFFFFFFull);
}

void SystemAudioCapture::start() {
  if (isRunning_) return;
  if (!available_) fail(2, "System audio capture is not offered by this sound server");

  platform::TapDescription tap;
  tap.uuid = makeUUID();
  tap.name = "OstrelHelperSystemAudio";
  int32_t s = service_.createProcessTap(tap, tapID_);
  if (s != 0) {
    tapID_ = 0;
    fail(s, fmt::format("System audio tap creation failed (error {}): the sound server did not let us record "
                        "the monitor of its default output.",
                        s));
  }
  logInfo(fmt::format("System audio tap created, tapID={}", tapID_));

  platform::AggregateDeviceDescription device;
  device.uid = fmt::format("{}.helper.tap-aggregate-{}", exec::kAppIdentifier, makeUUID());
  device.name = "Ostrel Helper System Audio";
  device.tapUIDs = {tap.uuid};
  s = service_.createAggregateDevice(device, aggregateDeviceID_);
  if (s != 0) {
    aggregateDeviceID_ = 0;
    releaseAll();
    fail(s, fmt::format("Failed to create the system-audio stream for the tap (error {})", s));
  }
  logInfo(fmt::format("System audio stream created, id={}", aggregateDeviceID_));

  std::weak_ptr<Delivery> weak = delivery_;
  s = service_.createIOProc(aggregateDeviceID_, sampleQueue_,
                            [weak](std::span<const platform::AudioBufferView> input) {
                              auto delivery = weak.lock();
                              if (!delivery || input.empty()) return;
                              delivery->handleInputBufferList(input.front());
                            },
                            ioProcID_);
  if (s != 0 || ioProcID_ == 0) {
    ioProcID_ = 0;
    releaseAll();
    fail(s, fmt::format("Failed to create the reader of the system-audio stream (error {})", s));
  }

  s = service_.startDevice(aggregateDeviceID_, ioProcID_);
  if (s != 0) {
    releaseAll();
    fail(s, fmt::format("Failed to start the reader of the system-audio stream (error {})", s));
  }
  isRunning_ = true;
  logInfo("System audio capture started");
}

// Releases whatever exists, newest first.
void SystemAudioCapture::releaseAll() {
  if (ioProcID_ != 0 && aggregateDeviceID_ != 0) service_.destroyIOProc(aggregateDeviceID_, ioProcID_);
  ioProcID_ = 0;
  if (aggregateDeviceID_ != 0) service_.destroyAggregateDevice(aggregateDeviceID_);
  aggregateDeviceID_ = 0;
  if (tapID_ != 0) service_.destroyProcessTap(tapID_);
  tapID_ = 0;
}

void SystemAudioCapture::stop() {
  if (!isRunning_) return;
  isRunning_ = false;
  if (ioProcID_ != 0 && aggregateDeviceID_ != 0) service_.stopDevice(aggregateDeviceID_, ioProcID_);
  releaseAll();
  logInfo("System audio capture stopped");
}

void SystemAudioCapture::Delivery::handleInputBufferList(const platform::AudioBufferView& buffer) {
  if (buffer.byteSize == 0 || buffer.data == nullptr) return;
  uint32_t channels = buffer.channels;
  uint64_t frameBytes = uint64_t(channels) * 4;
  if (frameBytes == 0 || frameBytes > buffer.byteSize) return;
  uint32_t frames = uint32_t(buffer.byteSize / frameBytes);
  uint32_t planeCount = channels == 1 ? 1 : 2;

  // The first two channels, one plane each; the rest are ignored.
  planes.resize(size_t(frames) * planeCount);
  const auto* in = static_cast<const float*>(buffer.data);
  if (channels == 1) {
    std::memcpy(planes.data(), in, size_t(frames) * sizeof(float));
  } else {
    float* left = planes.data();
    float* right = planes.data() + frames;
    for (uint32_t i = 0; i < frames; ++i) {
      left[i] = in[size_t(i) * channels];
      right[i] = in[size_t(i) * channels + 1];
    }
  }
  platform::PcmBuffer pcm{{platform::SampleType::Float32, kSampleRate, planeCount, false}, frames, planes, {}};
  MonoBatch batch = drift.correct(converter.convert(pcm), DriftCorrector::Clock::now());
  if (!batch.empty() && onFrame) onFrame(std::move(batch));
}

}  // namespace vantor
