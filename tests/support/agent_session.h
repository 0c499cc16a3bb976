#pragma once
// The agent in command mode, talked to as a host does: commands in, events
// read back with the time the host read them. Shared by the tests and the
// benchmarks; `complain` says what a failure means to the caller (a failed
// test, an ended benchmark).

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "support/child_process.h"
#include "support/event_schema.h"

namespace vantor::test {

using namespace std::chrono_literals;
using nlohmann::json;
using Clock = std::chrono::steady_clock;

struct Event {
  json body;
  Clock::time_point at;  // when the host read it
};

inline bool isType(const json& e, std::string_view type) { return e.is_object() && e.value("type", "") == type; }
inline bool isStatus(const json& e, std::string_view phase) {
  return isType(e, "status") && e.value("phase", "") == phase;
}

inline json startCommand(const std::string& target, const std::filesystem::path& path, bool mic) {
  return {{"type", "start"}, {"target", target}, {"includeMic", mic}, {"outputPath", path.string()}, {"mode", ""}};
}

class Agent {
 public:
  using Complain = std::function<void(const std::string&)>;
  // Runs on the X and sound servers the environment names.
  explicit Agent(Complain complain, ChildOptions options = {}, std::string binary = VANTOR_BINARY)
      : complain_(std::move(complain)), process_(std::make_unique<ChildProcess>(std::vector{binary}, options)) {}

  Clock::time_point send(const json& command) { return send(command.dump()); }
  Clock::time_point send(const std::string& line) {
    auto at = Clock::now();
    if (!process_->write(line + "\n", 120s)) complain_("cannot write " + line.substr(0, 200));
    return at;
  }

  // Reads events until one is `wanted` or `timeout` passes; all are kept in
  // events(). An error event that is not wanted ends the wait, complaining.
  std::optional<Event> waitFor(const std::function<bool(const json&)>& wanted, Clock::duration timeout) {
    for (auto until = Clock::now() + timeout;;) {
      auto left = std::chrono::duration_cast<Millis>(until - Clock::now());
      auto line = left.count() > 0 ? process_->readStdoutLine(left) : std::nullopt;
      if (!line) return std::nullopt;
      auto readAt = Clock::now();  // the host has the event now; parsing it is the host's own cost
      const Event& e = events_.emplace_back(Event{json::parse(*line, nullptr, false), readAt});
      if (auto why = checker_.check(e.body); !why.empty()) complain_("an event line off the schema: " + why);
      if (wanted(e.body)) return e;
      if (isType(e.body, "error")) {
        complain_("the agent answered " + *line);
        return std::nullopt;
      }
    }
  }
  std::optional<Event> waitForStatus(std::string_view phase, Clock::duration timeout = 10s) {
    return waitFor([&](const json& e) { return isStatus(e, phase); }, timeout);
  }
  std::optional<Event> waitForType(std::string_view type, Clock::duration timeout = 10s) {
    return waitFor([&](const json& e) { return isType(e, type); }, timeout);
  }
  // Lets `span` pass while reading what the agent reports meanwhile.
  void watch(Clock::duration span) {
    waitFor([](const json&) { return false; }, span);
  }

  // "start": "starting", then "recording", which is returned.
  std::optional<Event> start(const std::string& target, const std::filesystem::path& path, bool mic) {
    send(startCommand(target, path, mic));
    auto recording = waitForStatus("starting") ? waitForStatus("recording") : std::nullopt;
    if (!recording) complain_("no \"starting\" and \"recording\" for a take of " + path.string());
    return recording;
  }
  // "stop": "stopping", then "finished", which is returned.
  std::optional<Event> stop(Clock::duration timeout = 20s) {
    send(json{{"type", "stop"}});
    auto finished = waitForStatus("stopping") ? waitForType("finished", timeout) : std::nullopt;
    if (!finished) complain_("no \"stopping\" and \"finished\" after stop");
    return finished;
  }

  const std::vector<Event>& events() const { return events_; }
  // The `member` of every event of `type` so far, as numbers.
  std::vector<double> values(std::string_view type, const char* member) const {
    std::vector<double> out;
    for (const Event& e : events_)
      if (isType(e.body, type)) out.push_back(e.body.at(member).get<double>());
    return out;
  }

  // Closes stdin and collects what it logged until it exits.
  ProcessResult finish() { return process_->finish(); }
  pid_t pid() const { return process_->pid(); }
  ChildProcess& process() { return *process_; }

 private:
  Complain complain_;
  std::unique_ptr<ChildProcess> process_;
  std::vector<Event> events_;
  EventChecker checker_;
};

}  // namespace vantor::test
