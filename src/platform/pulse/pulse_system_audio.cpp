#include "platform/pulse/pulse_system_audio.h"

#include <pulse/def.h>
#include <strings.h>

#include <vector>

#include "util/log.h"
#include "platform/pulse/pulse_error.h"

namespace vantor::platform::pulse {
namespace {

constexpr const char* kClientName = "Ostrel Helper System Audio";
constexpr uint32_t kRate = 48000;
constexpr uint8_t kChannels = 2;
// 20 ms pieces, one per pass of a 20 ms mixer: the first comes about 20 ms
// after the start, and the monitor's sink runs at that latency. 10 ms pieces
// took about twice the CPU (bench/pulse_bench.cpp).
constexpr uint32_t kFragmentBytes = kRate / 50 * kChannels * sizeof(float);

}  // namespace

PulseSystemAudio::PulseSystemAudio(std::string server) : server_(std::move(server)) {}

PulseSystemAudio::~PulseSystemAudio() {
  std::lock_guard lock(mutex_);
  devices_.clear();
  taps_.clear();
}

PulseSystemAudio::Device* PulseSystemAudio::findDevice(uint32_t deviceID) {
  auto it = devices_.find(deviceID);
  return it == devices_.end() ? nullptr : it->second.get();
}

int32_t PulseSystemAudio::createProcessTap(const TapDescription& description, uint32_t& tapID) {
  // A monitor cannot silence what it records.
  if (description.muted) return -PA_ERR_NOTSUPPORTED;
  try {
    auto tap = std::make_shared<Tap>();
    tap->uuid = description.uuid;
    tap->client = Client::connect(kClientName, server_, "pulse-system");
    SinkDetails sink = tap->client->defaultSink();
    tap->sink = sink.name;
    tap->monitor = sink.monitorSource;
    std::lock_guard lock(mutex_);
    tapID = nextID_++;
    taps_[tapID] = std::move(tap);
    return 0;
  } catch (const Error& e) {
    return failureStatus(e);
  }
}

int32_t PulseSystemAudio::createAggregateDevice(const AggregateDeviceDescription& description, uint32_t& deviceID) {
  std::lock_guard lock(mutex_);
  if (description.tapUIDs.empty()) return -PA_ERR_INVALID;
  std::shared_ptr<Tap> tap;
  for (auto& [id, t] : taps_)
    if (strcasecmp(t->uuid.c_str(), description.tapUIDs.front().c_str()) == 0) tap = t;
  if (!tap) return -PA_ERR_NOENTITY;
  auto device = std::make_unique<Device>();
  device->name = description.name.empty() ? kClientName : description.name;
  device->tap = std::move(tap);
  try {
    newStream(*device);
  } catch (const Error& e) {
    return failureStatus(e);
  }
  deviceID = nextID_++;
  devices_[deviceID] = std::move(device);
  return 0;
}

void PulseSystemAudio::newStream(Device& device) {
  const pa_sample_spec spec{PA_SAMPLE_FLOAT32LE, kRate, kChannels};
  device.stream = std::make_unique<RecordStream>(*device.tap->client, device.name, spec);
  RecordStream* stream = device.stream.get();
  stream->onReadable([&device, stream] { onReadable(device, *stream); });
}

int32_t PulseSystemAudio::createIOProc(uint32_t deviceID, exec::Loop& queue, IOBlock block, IOProcHandle& handle) {
  std::lock_guard lock(mutex_);
  Device* device = findDevice(deviceID);
  if (!device) return -PA_ERR_NOENTITY;
  if (!block) return -PA_ERR_INVALID;
  if (device->proc) return -PA_ERR_EXIST;
  auto proc = std::make_unique<Proc>(Proc{nextID_++, &queue, std::make_shared<const IOBlock>(std::move(block))});
  handle = proc->handle;
  Locked locked(device->tap->client->mainloop());
  device->proc = std::move(proc);
  return 0;
}

int32_t PulseSystemAudio::startDevice(uint32_t deviceID, IOProcHandle handle) {
  std::lock_guard lock(mutex_);
  Device* device = findDevice(deviceID);
  if (!device || (handle != 0 && (!device->proc || device->proc->handle != handle))) return -PA_ERR_NOENTITY;
  if (device->running) return 0;
  try {
    if (!device->stream) newStream(*device);
    device->stream->connect(device->tap->monitor, kFragmentBytes);
    device->running = true;
    try {
      device->tap->client->wakeNullSink(device->tap->sink);
    } catch (const Error& e) {
      logInfo("pulse: " + e.description() + "; the first block may come late");
    }
    return 0;
  } catch (const Error& e) {
    device->stream.reset();  // a stream that failed to connect is of no further use
    return failureStatus(e);
  }
}

void PulseSystemAudio::stopDevice(uint32_t deviceID, IOProcHandle) {
  std::lock_guard lock(mutex_);
  Device* device = findDevice(deviceID);
  if (!device || !device->running) return;
  device->stream.reset();
  device->running = false;
}

void PulseSystemAudio::destroyIOProc(uint32_t deviceID, IOProcHandle handle) {
  std::lock_guard lock(mutex_);
  Device* device = findDevice(deviceID);
  if (!device || !device->proc || device->proc->handle != handle) return;
  Locked locked(device->tap->client->mainloop());
  device->proc.reset();
}

void PulseSystemAudio::destroyAggregateDevice(uint32_t deviceID) {
  std::lock_guard lock(mutex_);
  devices_.erase(deviceID);
}

void PulseSystemAudio::destroyProcessTap(uint32_t tapID) {
  std::lock_guard lock(mutex_);
  taps_.erase(tapID);
}

void PulseSystemAudio::onReadable(Device& device, RecordStream& stream) {
  std::vector<unsigned char> bytes;
  // Drained even without a procedure, so the server's queue never fills.
  stream.drain([&bytes](const void* data, size_t size) {
    if (data) {
      auto* p = static_cast<const unsigned char*>(data);
      bytes.insert(bytes.end(), p, p + size);
    } else {
      bytes.resize(bytes.size() + size, 0);  // a hole: silence of its length
    }
  });
  if (!device.proc || bytes.empty()) return;
  device.proc->queue->post([block = device.proc->block, bytes = std::move(bytes)] {
    const AudioBufferView view{kChannels, uint32_t(bytes.size()), bytes.data()};
    (*block)(std::span<const AudioBufferView>(&view, 1));
  });
}

}  // namespace vantor::platform::pulse
