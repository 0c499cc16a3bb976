#pragma once
// Event lines for the host, on standard output: one compact JSON object per
// line, written and flushed whole under one lock so lines from the main
// thread and the mic-level queue never interleave. Callable from any thread.
//
// The text is toCompactJson's: UTF-8 kept, every "/" escaped as "\/".

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "control/take_events.h"
#include "util/line_sink.h"

namespace vantor {

void emitError(std::string_view message);
void emitStatus(std::string_view phase);
void emitElapsed(double seconds);
void emitMicLevel(double value);
// For events built in place ("finished", the malformed start error). Nothing is written when the object cannot be serialised.
void emitEvent(const nlohmann::json& event);

namespace app {
// Replaces the destination of event lines (standard output by default). Not
// synchronised: call before other threads emit.
void setEventSink(LineSink* sink);

// The controller's reports, as event lines.
class EventLines final : public TakeEvents {
 public:
  void status(std::string_view phase) override { emitStatus(phase); }
  void error(std::string_view message) override { emitError(message); }
  void elapsed(double seconds) override { emitElapsed(seconds); }
  void micLevel(double value) override { emitMicLevel(value); }
  void screenshot(double timestamp, std::string jpegBase64) override;
  void takeFailed(std::string_view part, std::string_view message) override;
};
}  // namespace app

}  // namespace vantor
