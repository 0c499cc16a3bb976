#pragma once
// Event lines for the host, on standard output: one compact JSON object per
// line, written and flushed whole under one lock so lines from the main
// thread and the mic-level queue never interleave. Callable from any thread.
//
// The text is toCompactJson's: UTF-8 kept, every "/" escaped as "\/".

#include <nlohmann/json.hpp>
#include <optional>
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

// The controller's reports, as event lines. Those that answer a command
// (statuses, errors, screenshots) carry the command's "id" while one is set;
// the meters and "takeFailed" answer none and never do.
class EventLines final : public TakeEvents {
 public:
  void status(std::string_view phase) override { answer({{"type", "status"}, {"phase", phase}}); }
  void error(std::string_view message) override { answer({{"type", "error"}, {"message", message}}); }
  void elapsed(double seconds) override { emitElapsed(seconds); }
  void micLevel(double value) override { emitMicLevel(value); }
  void screenshot(double timestamp, std::string jpegBase64) override;
  void takeFailed(std::string_view part, std::string_view message) override;

  // Writes an event that answers the command being handled.
  void answer(nlohmann::json event);
  // The "id" the answers carry from now on, or none. Set and read on the
  // main loop only: every answer is written there, between a command's
  // start and its end (app/protocol.h sets it).
  void setAnswering(std::optional<nlohmann::json> id) { answering_ = std::move(id); }

 private:
  std::optional<nlohmann::json> answering_;
};
}  // namespace app

}  // namespace vantor
