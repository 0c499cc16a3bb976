#pragma once
// The default audio input over PulseAudio: the server's default source,
// recorded by a stream "Vantor Microphone" in the tap's format.
//
// - inputFormat() is the source's own rate and channel count, as 32-bit
//   float. It is 0/0 when no server answers, when there is no default
//   source, or when the default is only the monitor of a sink (what the
//   machine plays is not a microphone).
// - The tap block runs on the client's thread ("pulse-mic") with the
//   client's lock held, one piece of the stream at a time; a hole in the
//   stream comes as silence of its length. The block must not call back
//   into this input, nor wait for the thread that stops it.

#include <memory>
#include <string>
#include <vector>

#include "platform/audio.h"
#include "platform/pulse/client.h"
#include "platform/pulse/record_stream.h"

namespace vantor::platform::pulse {

class PulseAudioInput final : public AudioInput {
 public:
  // `server`: a server address, or empty for libpulse's default.
  explicit PulseAudioInput(std::string server);
  ~PulseAudioInput() override;

  AudioFormat inputFormat() override;
  void installTap(uint32_t bufferFrames, const AudioFormat& format, TapBlock block) override;
  void removeTap() override;
  // Connects to the server, so that start() has less to do.
  void prepare() override;
  void start() override;
  void stop() override;

 private:
  // The connected client, reconnecting when the server went away. Throws.
  Client& client();
  // Runs `change` with the client's lock held when a client exists.
  template <typename F>
  void withLock(F&& change);
  // On the client's thread.
  void deliver(const void* data, size_t bytes);

  std::string server_;
  std::unique_ptr<Client> client_;
  // The tap; read on the client's thread under its lock.
  TapBlock tap_;
  uint32_t tapFrames_ = 0;
  AudioFormat tapFormat_;
  // The running stream and the format it records in.
  std::unique_ptr<RecordStream> stream_;
  AudioFormat streamFormat_;
  // Client's thread only: silence for holes, realigned or deinterleaved data.
  std::vector<unsigned char> scratch_;
};

}  // namespace vantor::platform::pulse
