#include "app/event_writer.h"

#include <unistd.h>

#include <mutex>

#include "util/json_text.h"

namespace vantor {
namespace app {
namespace {

FdSink stdoutSink(STDOUT_FILENO);
LineSink* eventSink = &stdoutSink;
std::mutex eventLock;

}  // namespace

void setEventSink(LineSink* sink) { eventSink = sink ? sink : &stdoutSink; }

void EventLines::screenshot(double timestamp, std::string jpegBase64) {
  answer({{"type", "screenshotData"}, {"timestamp", timestamp}, {"imageBase64", std::move(jpegBase64)}});
}

void EventLines::answer(nlohmann::json event) {
  if (answering_) event["id"] = *answering_;
  emitEvent(event);
}

void EventLines::takeFailed(std::string_view part, std::string_view message) {
  emitEvent({{"type", "takeFailed"}, {"part", part}, {"message", message}});
}

}  // namespace app

void emitEvent(const nlohmann::json& event) {
  std::string line = toCompactJson(event);
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
