#include "platform/pulse/pulse_audio_input.h"

#include <pulse/def.h>

#include <algorithm>
#include <cstring>

#include "util/log.h"
#include "platform/pulse/pulse_error.h"

namespace vantor::platform::pulse {
namespace {

constexpr const char* kName = "Vantor Microphone";
// A tap that names no size gets about 85 ms at 48 kHz.
constexpr uint32_t kDefaultTapFrames = 4096;
constexpr double kMaxFragmentSeconds = 0.02;

// The default source, unless it only echoes a sink. Throws Error.
SourceDetails microphone(Client& client) {
  SourceDetails source = client.defaultSource();
  if (!source.monitoredSink.empty()) throw pulseError(PA_ERR_NOENTITY, "The default audio input " + source.name + " is a monitor");
  return source;
}

// A microphone remapped from a null sink's monitor (as on headless machines)
// would start as late as that sink's monitor.
void wakeSinkBehind(Client& client, const SourceDetails& mic) {
  if (mic.master.empty()) return;
  try {
    SourceDetails master = client.source(mic.master);
    if (!master.monitoredSink.empty()) client.wakeNullSink(master.monitoredSink);
  } catch (const Error& e) {
    logInfo("pulse: " + e.description() + "; the first block may come late");
  }
}

pa_sample_spec specFor(const AudioFormat& format) {
  if (!(format.sampleRate >= 1 && format.sampleRate <= PA_RATE_MAX) || format.sampleRate != uint32_t(format.sampleRate) ||
      format.channels < 1 || format.channels > PA_CHANNELS_MAX)
    throw pulseError(PA_ERR_INVALID, "Cannot record in this format");
  return {format.sampleType == SampleType::Float32 ? PA_SAMPLE_FLOAT32LE : PA_SAMPLE_S16LE,
          uint32_t(format.sampleRate), uint8_t(format.channels)};
}

// Planes of `frames` samples per channel, from interleaved samples at `in`
// (any alignment).
template <typename T>
void deinterleave(const unsigned char* in, T* out, uint32_t frames, uint32_t channels) {
  for (uint32_t i = 0; i < frames; ++i)
    for (uint32_t ch = 0; ch < channels; ++ch)
      std::memcpy(&out[size_t(ch) * frames + i], in + (size_t(i) * channels + ch) * sizeof(T), sizeof(T));
}

}  // namespace

PulseAudioInput::PulseAudioInput(std::string server) : server_(std::move(server)) {}

PulseAudioInput::~PulseAudioInput() { stop(); }

Client& PulseAudioInput::client() {
  // A client whose server went away is replaced, unless a stream still uses it.
  if (client_ && !stream_ && !client_->connected()) client_.reset();
  if (!client_) client_ = Client::connect(kName, server_, "pulse-mic");
  return *client_;
}

template <typename F>
void PulseAudioInput::withLock(F&& change) {
  if (!client_) {
    change();
    return;
  }
  Locked locked(client_->mainloop());
  change();
}

AudioFormat PulseAudioInput::inputFormat() {
  try {
    SourceDetails source = microphone(client());
    return {SampleType::Float32, double(source.rate), source.channels, true};
  } catch (const Error& e) {
    logInfo("pulse: no usable microphone: " + e.description());
    return {SampleType::Float32, 0, 0, true};
  }
}

void PulseAudioInput::installTap(uint32_t bufferFrames, const AudioFormat& format, TapBlock block) {
  withLock([&] {
    tap_ = std::move(block);
    tapFrames_ = bufferFrames;
    tapFormat_ = format;
  });
}

void PulseAudioInput::removeTap() {
  withLock([&] { tap_ = nullptr; });
}

void PulseAudioInput::prepare() {
  try {
    client();
  } catch (const Error&) {
    // start() tells.
  }
}

void PulseAudioInput::start() {
  if (stream_) return;
  try {
    Client& c = client();
    SourceDetails source = microphone(c);
    AudioFormat format = tapFormat_;
    if (!tap_) format = {SampleType::Float32, double(source.rate), source.channels, true};
    pa_sample_spec spec = specFor(format);
    // The tap's size is a request. Fragments of at most 20 ms keep the
    // microphone as close to real time as the system audio: the mixer pairs
    // the two by arrival, so a source that comes in 85 ms pieces would sit
    // that much behind the other.
    uint32_t frames = std::min<uint32_t>(tapFrames_ ? tapFrames_ : kDefaultTapFrames,
                                         std::max<uint32_t>(1, uint32_t(format.sampleRate * kMaxFragmentSeconds)));
    auto stream = std::make_unique<RecordStream>(c, kName, spec);
    streamFormat_ = format;
    RecordStream* s = stream.get();
    stream->onReadable([this, s] { s->drain([this](const void* data, size_t bytes) { deliver(data, bytes); }); });
    stream->connect(source.name, uint32_t(frames * pa_frame_size(&spec)));
    stream_ = std::move(stream);
    wakeSinkBehind(c, source);
  } catch (const Error&) {
    // The stream has gone with the failure; the connection goes too, so a
    // failed start leaves nothing behind.
    client_.reset();
    throw;
  }
}

void PulseAudioInput::stop() { stream_.reset(); }

void PulseAudioInput::deliver(const void* data, size_t bytes) {
  if (!tap_) return;
  const AudioFormat& f = streamFormat_;
  const size_t sampleBytes = f.sampleType == SampleType::Float32 ? sizeof(float) : sizeof(int16_t);
  const uint32_t frames = uint32_t(bytes / (sampleBytes * f.channels));
  const size_t used = size_t(frames) * f.channels * sampleBytes;
  if (frames == 0) return;

  const auto* in = static_cast<const unsigned char*>(data);
  const unsigned char* samples = in;
  if (!in) {
    scratch_.assign(used, 0);  // a hole: silence keeps the timeline's length
    samples = scratch_.data();
  } else if (!f.interleaved && f.channels > 1) {
    scratch_.resize(used);
    if (f.sampleType == SampleType::Float32)
      deinterleave(in, reinterpret_cast<float*>(scratch_.data()), frames, f.channels);
    else
      deinterleave(in, reinterpret_cast<int16_t*>(scratch_.data()), frames, f.channels);
    samples = scratch_.data();
  } else if (reinterpret_cast<uintptr_t>(in) % sampleBytes != 0) {
    scratch_.assign(in, in + used);
    samples = scratch_.data();
  }

  PcmBuffer buffer;
  buffer.format = f;
  buffer.frameLength = frames;
  const size_t count = size_t(frames) * f.channels;
  if (f.sampleType == SampleType::Float32)
    buffer.floatData = {reinterpret_cast<const float*>(samples), count};
  else
    buffer.int16Data = {reinterpret_cast<const int16_t*>(samples), count};
  tap_(buffer);
}

}  // namespace vantor::platform::pulse
