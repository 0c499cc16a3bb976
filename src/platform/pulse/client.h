#pragma once
// A connection to the sound server: a threaded main loop and a context on
// it, and the few questions the platform asks the server. Blocking calls are
// made from any thread but the client's own, without holding its lock.

#include <pulse/context.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/pulse/mainloop.h"

namespace vantor::platform::pulse {

// How long a connection or a question may take before it counts as failed.
inline constexpr std::chrono::milliseconds kServerTimeout{2000};

struct SourceDetails {
  std::string name;
  uint32_t rate = 0;
  uint8_t channels = 0;
  std::string monitoredSink;  // set when the source is a sink's monitor
  std::string master;         // the source a filter source (a remap) reads
};

struct SinkDetails {
  std::string name;
  std::string monitorSource;
  bool isNullSink = false;  // module-null-sink: no hardware behind it
  bool suspended = false;
};

class Client {
 public:
  // Connects as `name` (shown in sound settings) to `server` (libpulse's
  // default when empty) without ever spawning a daemon. The loop's thread is
  // named `threadName`. Throws Error, fast when nothing listens.
  static std::unique_ptr<Client> connect(const std::string& name, const std::string& server,
                                         const char* threadName);
  ~Client();
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  Mainloop& mainloop() { return loop_; }
  // The context; used with the loop's lock held.
  pa_context* context() const { return context_; }
  // False once the server has gone (the context failed).
  bool connected();
  // With the lock held: the context's last error, PA_ERR_UNKNOWN if none.
  int lastError() const;

  // The default source and sink, or Error (PA_ERR_NOENTITY when unset).
  SourceDetails defaultSource();
  SinkDetails defaultSink();
  SourceDetails source(const std::string& name);
  SinkDetails sink(const std::string& name);
  // Makes a null sink render at the latency its recorders ask for now. It
  // keeps the timer it armed for its old latency (up to 2 s, when nothing
  // asked for less) until it resumes, so its monitor's first piece would
  // come that late; a suspension and an immediate resume re-arm it. Other
  // sinks, and suspended ones, are left alone: suspending hardware would
  // interrupt what it plays. Throws Error.
  void wakeNullSink(const std::string& sink);

 private:
  explicit Client(const char* threadName) : loop_(threadName) {}
  std::string defaultName(bool source);

  Mainloop loop_;
  pa_context* context_ = nullptr;
};

}  // namespace vantor::platform::pulse
