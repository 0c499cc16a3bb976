#include "audio/mic_capture.h"

#include <algorithm>
#include <fmt/format.h>

#include "util/log.h"
#include "util/error.h"

namespace vantor {

MicCapture::MicCapture(platform::AudioInput& engine) : engine_(engine) {}

MicCapture::~MicCapture() { stop(); }

void MicCapture::setOnFrame(FrameCallback onFrame) { delivery_->onFrame = std::move(onFrame); }

void MicCapture::start() {
  if (isRunning_) return;
  platform::AudioFormat format = engine_.inputFormat();
  if (!(format.sampleRate > 0) || format.channels == 0) throw Error("Vantor.Audio", 1, "No usable microphone input");
  uint32_t averaged = std::min<uint32_t>(format.channels, 2);

  std::weak_ptr<Delivery> weak = delivery_;
  engine_.installTap(kTapBufferFrames, format, [weak](const platform::PcmBuffer& buffer) {
    if (auto delivery = weak.lock()) delivery->tap(buffer);
  });
  engine_.prepare();
  try {
    engine_.start();
  } catch (...) {
    // The input allows one tap; leaving this one would make the next start
    // install a second.
    engine_.removeTap();
    throw;
  }
  isRunning_ = true;
  logInfo(fmt::format("Mic capture started: system default ({} ch) @ {} Hz, averaging first {} ch", format.channels,
                      int64_t(format.sampleRate), averaged));
}

void MicCapture::stop() {
  if (!isRunning_) return;
  engine_.removeTap();
  engine_.stop();
  isRunning_ = false;
  logInfo("Mic capture stopped");
}

void MicCapture::Delivery::tap(const platform::PcmBuffer& buffer) {
  std::optional<Mono> mono = downmixToMono(buffer, 2);
  if (!mono) return;
  MonoBatch batch = drift.correct(converter.convert(mono->buffer()), DriftCorrector::Clock::now());
  if (batch.empty()) return;
  if (onFrame) onFrame(std::move(batch));
}

std::optional<MicCapture::Mono> MicCapture::downmixToMono(const platform::PcmBuffer& buffer, uint32_t maxChannels) {
  uint32_t frames = buffer.frameLength;
  if (frames == 0) return std::nullopt;
  uint32_t channels = buffer.format.channels;
  if (channels == 1) return Mono{{}, buffer};
  if (buffer.format.sampleType != platform::SampleType::Float32 ||
      buffer.floatData.size() < size_t(frames) * channels)
    return std::nullopt;
  uint32_t n = std::max<uint32_t>(std::min(channels, maxChannels), 1);
  float scale = 1.0f / float(n);
  Mono mono;
  mono.samples.resize(frames);
  for (uint32_t i = 0; i < frames; ++i) {
    float sum = 0.0f;
    for (uint32_t ch = 0; ch < n; ++ch) sum += buffer.floatSample(ch, i);
    mono.samples[i] = sum * scale;
  }
  mono.input = buffer;
  return mono;
}

}  // namespace vantor
