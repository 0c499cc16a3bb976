#include "app/event_writer.h"

#include <unistd.h>

#include <mutex>

namespace vantor {
namespace app {
namespace {

FdSink stdoutSink(STDOUT_FILENO);
LineSink* eventSink = &stdoutSink;
std::mutex eventLock;

}  // namespace

void setEventSink(LineSink* sink) { eventSink = sink ? sink : &stdoutSink; }

std::string serializeEvent(const nlohmann::json& event) {
  std::string compact;
  try {
    compact = event.dump(-1, ' ', /*ensure_ascii=*/false, nlohmann::json::error_handler_t::strict);
  } catch (const nlohmann::json::exception&) {
    return {};
  }
  // Outside strings compact JSON has no "/", and 0x2F never occurs inside a
  // multi-byte UTF-8 sequence, so escaping every such byte escapes exactly
  // the slashes in strings.
  std::string out;
  out.reserve(compact.size() + 8);
  for (char c : compact) {
    if (c == '/') out += '\\';
    out += c;
  }
  return out;
}

}  // namespace app

void emitEvent(const nlohmann::json& event) {
  std::string line = app::serializeEvent(event);
  if (line.empty()) return;
  line += '\n';
  std::lock_guard lock(app::eventLock);
  app::eventSink->writeLine(line);
}

void emitError(std::string_view message) {
  emitEvent({{"type", "error"}, {"message", message}});
}

void emitStatus(std::string_view phase) {
  emitEvent({{"type", "status"}, {"phase", phase}});
}

void emitElapsed(double seconds) {
  emitEvent({{"type", "elapsed"}, {"seconds", seconds}});
}

void emitMicLevel(double value) {
  emitEvent({{"type", "micLevel"}, {"value", value}});
}

}  // namespace vantor
