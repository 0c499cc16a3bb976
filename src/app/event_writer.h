#pragma once
// Event lines for the host, on standard output: one compact JSON object per
// line, written and flushed whole under one lock so lines from the main
// thread and the mic-level queue never interleave. Callable from any thread.
//
// Strings are written as UTF-8 with every "/" escaped as "\/", which hosts
// written against this agent's output may rely on.

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "app/output.h"

namespace vantor {

void emitError(std::string_view message);
void emitStatus(std::string_view phase);
void emitElapsed(double seconds);
void emitMicLevel(double value);
// For events built in place ("finished", "screenshotData", the malformed
// start error). Nothing is written when the object cannot be serialised.
void emitEvent(const nlohmann::json& event);

namespace app {
// The text of an event line without its newline; empty when the object cannot
// be serialised (for instance a string that is not valid UTF-8).
std::string serializeEvent(const nlohmann::json& event);

// Replaces the destination of event lines (standard output by default). Not
// synchronised: call before other threads emit.
void setEventSink(LineSink* sink);
}  // namespace app

}  // namespace vantor
