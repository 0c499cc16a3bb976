#pragma once
// What the system needs from the machine's sound services: PCM formats and
// buffers, a sample-format/rate converter and a stretcher, the default
// input (the microphone) as an engine with one tap, and a source of
// everything the computer plays, with the start/stop contract and failure points of a
// tap → device → I/O procedure chain.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "exec/loop.h"

namespace vantor::platform {

enum class SampleType { Float32, Int16 };

struct AudioFormat {
  SampleType sampleType = SampleType::Float32;
  double sampleRate = 0;
  uint32_t channels = 0;
  bool interleaved = true;

  bool operator==(const AudioFormat&) const = default;
};

// A block of PCM frames, borrowed: the producer owns the memory for the
// duration of the call it is passed to. Interleaved data is one plane;
// non-interleaved data holds `channels` planes of frameLength samples back
// to back.
struct PcmBuffer {
  AudioFormat format;
  uint32_t frameLength = 0;
  std::span<const float> floatData;    // set when format.sampleType is Float32
  std::span<const int16_t> int16Data;  // set when format.sampleType is Int16

  // Sample of channel `ch` at frame `i` (Float32 only).
  float floatSample(uint32_t ch, uint32_t i) const {
    return format.interleaved ? floatData[size_t(i) * format.channels + ch] : floatData[size_t(ch) * frameLength + i];
  }
};

// Converts a continuous stream of buffers of one source format into the
// target format, keeping its filter history and any held-back frames from
// one call to the next (it is never flushed).
class SampleConverter {
 public:
  virtual ~SampleConverter() = default;
  // Converts `input` into at most `capacity` frames at `output` (target
  // format, interleaved Int16). Returns the frames written, or -1 on error.
  virtual int convert(const PcmBuffer& input, int16_t* output, uint32_t capacity) = 0;
};

// A converter from `source` to `target` (target: interleaved Int16), or null
// when the pair cannot be converted.
std::unique_ptr<SampleConverter> makeSampleConverter(const AudioFormat& source, const AudioFormat& target);

// Stretches a continuous stream of mono Int16 samples by a factor near 1
// that may change between calls: a sound source whose clock runs a little
// fast or slow is brought to its nominal rate. The stream stays continuous
// across calls and across changes of the factor.
class SampleStretcher {
 public:
  virtual ~SampleStretcher() = default;
  // From now on about `factor` samples out for each one in.
  virtual void setFactor(double factor) = 0;
  // Appends the stretched `input` to `output`.
  virtual void stretch(std::span<const int16_t> input, std::vector<int16_t>& output) = 0;
};

std::unique_ptr<SampleStretcher> makeSampleStretcher(uint32_t sampleRate);

// The default audio input, as an engine with an input node and one tap on
// it. Methods are called from the controller's thread; the tap block runs
// on the engine's own delivery thread, one buffer at a time.
class AudioInput {
 public:
  using TapBlock = std::function<void(const PcmBuffer&)>;

  virtual ~AudioInput() = default;
  // The input's own format; sampleRate 0 or channels 0 when there is no
  // usable input.
  virtual AudioFormat inputFormat() = 0;
  // One tap only: a second install replaces the first.
  virtual void installTap(uint32_t bufferFrames, const AudioFormat& format, TapBlock block) = 0;
  virtual void removeTap() = 0;
  virtual void prepare() = 0;
  // Starts delivering to the tap. Throws Error when the input cannot start.
  virtual void start() = 0;
  // Stops delivery; no tap block runs after it returns.
  virtual void stop() = 0;
};

// What the computer plays, as a chain of three objects, each created and
// destroyed explicitly: a tap over the mixed output of every process, a
// private device wrapping it, and an I/O procedure on the device that runs
// on a serial queue. Every create/start answers a status: 0 is success, any
// other value is the sound server's error code. Destroy/stop ignore theirs.
struct TapDescription {
  std::string uuid;  // canonical upper-case form
  std::string name;
  bool stereoMixOfAllProcesses = true;
  bool muted = false;
  bool isPrivate = true;
};

struct AggregateDeviceDescription {
  std::string uid;
  std::string name;  // shown to people in their sound settings
  bool isPrivate = true;
  std::vector<std::string> tapUIDs;
  bool tapAutoStart = true;
};

// One buffer of an I/O cycle: interleaved 32-bit float samples.
struct AudioBufferView {
  uint32_t channels = 0;
  uint32_t byteSize = 0;
  const void* data = nullptr;
};

class SystemAudioService {
 public:
  using IOBlock = std::function<void(std::span<const AudioBufferView> input)>;
  using IOProcHandle = uint64_t;  // 0 means none

  virtual ~SystemAudioService() = default;
  virtual int32_t createProcessTap(const TapDescription& description, uint32_t& tapID) = 0;
  virtual int32_t createAggregateDevice(const AggregateDeviceDescription& description, uint32_t& deviceID) = 0;
  // `block` runs on `queue`, one I/O cycle at a time, in order.
  virtual int32_t createIOProc(uint32_t deviceID, exec::Loop& queue, IOBlock block, IOProcHandle& handle) = 0;
  virtual int32_t startDevice(uint32_t deviceID, IOProcHandle handle) = 0;
  // After stopDevice returns no further block is queued.
  virtual void stopDevice(uint32_t deviceID, IOProcHandle handle) = 0;
  virtual void destroyIOProc(uint32_t deviceID, IOProcHandle handle) = 0;
  virtual void destroyAggregateDevice(uint32_t deviceID) = 0;
  virtual void destroyProcessTap(uint32_t tapID) = 0;
};

// Sound services of a platform. Both are owned by the platform and outlive
// every component that uses them.
struct AudioServices {
  AudioInput& input;
  SystemAudioService& systemAudio;
};

}  // namespace vantor::platform
