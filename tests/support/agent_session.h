#pragma once
// The agent in command mode on one X server (and whatever sound server the
// environment names), talked to as a host does: commands in, events read
// back with the time the host read them.

#include <stdlib.h>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "support/agent_process.h"

namespace vantor::test {

using namespace std::chrono_literals;
using nlohmann::json;
using testing::AgentProcess;
using Clock = std::chrono::steady_clock;

struct Event {
  json body;
  Clock::time_point at;  // when the host read it
};

inline bool isStatus(const json& e, const char* phase) { return e.value("type", "") == "status" && e.value("phase", "") == phase; }

// The agent in command mode on one X server, talked to as a host does.
class Agent {
 public:
  explicit Agent(const std::string& display) {
    setenv("DISPLAY", display.c_str(), 1);
    process_ = std::make_unique<AgentProcess>();
  }

  Clock::time_point send(const json& command) {
    auto at = Clock::now();
    EXPECT_TRUE(process_->write(command.dump() + "\n")) << command.dump();
    return at;
  }

  // Reads events until one satisfies `wanted` or `timeout` passes; every
  // event read is kept in events(). An error event ends the wait.
  std::optional<Event> waitFor(const std::function<bool(const json&)>& wanted, Clock::duration timeout) {
    auto until = Clock::now() + timeout;
    for (;;) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
      if (left.count() <= 0) return std::nullopt;
      auto line = process_->readStdoutLine(left);
      if (!line) return std::nullopt;
      Event e{testing::parseEvent(*line), Clock::now()};
      events_.push_back(e);
      EXPECT_TRUE(e.body.is_object()) << *line;
      if (wanted(e.body)) return e;
      if (e.body.value("type", "") == "error") {
        ADD_FAILURE() << "the agent answered " << *line;
        return std::nullopt;
      }
    }
  }
  std::optional<Event> waitForStatus(const char* phase, Clock::duration timeout = 10s) {
    return waitFor([&](const json& e) { return isStatus(e, phase); }, timeout);
  }
  // Lets `span` pass while reading what the agent reports meanwhile.
  void watch(Clock::duration span) {
    waitFor([](const json&) { return false; }, span);
  }

  const std::vector<Event>& events() const { return events_; }
  std::vector<double> elapsedSeconds() const {
    std::vector<double> out;
    for (const Event& e : events_)
      if (e.body.value("type", "") == "elapsed") out.push_back(e.body.at("seconds").get<double>());
    return out;
  }

  // Ends the agent as a host does and returns what it logged.
  testing::ProcessResult finish() { return process_->finish(); }
  pid_t pid() const { return process_->pid(); }
  // For what the commands above do not cover: raw bytes, signals, the exit.
  testing::AgentProcess& process() { return *process_; }

 private:
  std::unique_ptr<AgentProcess> process_;
  std::vector<Event> events_;
};

}  // namespace vantor::test
