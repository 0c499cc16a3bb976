#pragma once
// One record stream of a client: made, connected to a source, read on the
// client's thread, and disconnected when dropped. A stream connects once;
// recording again takes a new one.

#include <pulse/stream.h>

#include <chrono>
#include <functional>
#include <string>

#include "platform/pulse/client.h"

namespace vantor::platform::pulse {

class RecordStream {
 public:
  // Runs on the client's thread, with its lock held, whenever data is there.
  using Reader = std::function<void()>;
  // One piece of what was recorded; `data` is null for a hole in the
  // stream (`bytes` of lost audio).
  using ChunkSink = std::function<void(const void* data, size_t bytes)>;

  // A stream called `name` (shown in sound settings) recording `spec` with
  // the default channel map. Throws Error.
  RecordStream(Client& client, const std::string& name, const pa_sample_spec& spec);
  // Disconnects and releases the stream; once it returns no Reader runs.
  // Not on the client's thread.
  ~RecordStream();
  RecordStream(const RecordStream&) = delete;
  RecordStream& operator=(const RecordStream&) = delete;

  // Set before connect().
  void onReadable(Reader reader);
  // Records from `source`, asking the server for pieces of about
  // `fragmentBytes` and a latency to match, and waits until the stream is
  // recording. Throws Error; the stream is then of no further use.
  void connect(const std::string& source, uint32_t fragmentBytes);

  // Inside the Reader: hands everything readable to `sink`, piece by piece.
  void drain(const ChunkSink& sink);

 private:
  Client& client_;
  pa_stream* stream_ = nullptr;
  Reader reader_;
  bool connected_ = false;
};

}  // namespace vantor::platform::pulse
