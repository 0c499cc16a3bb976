#pragma once
// What the computer plays, over PulseAudio: the monitor of the default sink,
// recorded as stereo 32-bit float at 48 kHz. The four steps of the chain map
// onto the sound server like this:
//
//   createProcessTap       connects a client "Ostrel Helper System Audio"
//                          (its own connection and thread, "pulse-system")
//                          and finds the monitor source of the default sink.
//   createAggregateDevice  makes a record stream on that client, named after
//                          the device, for the tap its first tapUID names.
//   createIOProc           registers the read callback: on the client's
//                          thread it copies what was recorded and posts one
//                          block call to the queue per callback; nothing
//                          heavier runs there.
//   startDevice            connects the stream to the monitor with a low
//                          latency (20 ms pieces) and waits until it records
//                          or fails; then wakes the sink if it is a null
//                          sink, whose monitor would otherwise deliver its
//                          first block up to 2 s late (Client::wakeNullSink).
//   stopDevice             disconnects the stream; once it returns nothing
//                          new is queued. Block calls already queued still
//                          run, so draining the queue after it finishes the
//                          tail. startDevice again records on a new stream.
//   destroy*               release the callback, stream and client.
//
// IDs and handles are the service's own, never 0. Failures answer the
// server's error code negated (-PA_ERR_CONNECTIONREFUSED when no server
// listens); unknown IDs answer -PA_ERR_NOENTITY. Callable from any thread
// but the client's.

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "platform/audio.h"
#include "platform/pulse/client.h"
#include "platform/pulse/record_stream.h"

namespace vantor::platform::pulse {

class PulseSystemAudio final : public SystemAudioService {
 public:
  // `server`: a server address, or empty for libpulse's default.
  explicit PulseSystemAudio(std::string server);
  ~PulseSystemAudio() override;

  int32_t createProcessTap(const TapDescription& description, uint32_t& tapID) override;
  int32_t createAggregateDevice(const AggregateDeviceDescription& description, uint32_t& deviceID) override;
  int32_t createIOProc(uint32_t deviceID, exec::Loop& queue, IOBlock block, IOProcHandle& handle) override;
  int32_t startDevice(uint32_t deviceID, IOProcHandle handle) override;
  void stopDevice(uint32_t deviceID, IOProcHandle handle) override;
  void destroyIOProc(uint32_t deviceID, IOProcHandle handle) override;
  void destroyAggregateDevice(uint32_t deviceID) override;
  void destroyProcessTap(uint32_t tapID) override;

 private:
  struct Tap {
    std::string uuid;
    std::unique_ptr<Client> client;
    std::string sink;     // the default sink when the tap was made
    std::string monitor;  // its monitor source, the one recorded
  };
  struct Proc {
    IOProcHandle handle;
    exec::Loop* queue;
    std::shared_ptr<const IOBlock> block;
  };
  struct Device {
    std::string name;
    // Members go in reverse: the stream (and its callbacks) first, the
    // client last.
    std::shared_ptr<Tap> tap;  // a device keeps its tap's client alive
    std::unique_ptr<Proc> proc;  // read on the client's thread, under its lock
    std::unique_ptr<RecordStream> stream;  // null after a stop, until the next start
    bool running = false;
  };

  Device* findDevice(uint32_t deviceID);
  void newStream(Device& device);
  // On the client's thread: copies what is readable and queues one block call.
  static void onReadable(Device& device, RecordStream& stream);

  std::string server_;
  std::mutex mutex_;
  uint32_t nextID_ = 1;
  std::map<uint32_t, std::shared_ptr<Tap>> taps_;
  std::map<uint32_t, std::unique_ptr<Device>> devices_;
};

}  // namespace vantor::platform::pulse
