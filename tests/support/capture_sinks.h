#pragma once
// Captures event lines and log lines in memory for in-process tests.

#include <gtest/gtest.h>

#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "app/event_writer.h"
#include "support/event_schema.h"
#include "util/line_sink.h"
#include "util/log.h"

namespace vantor::test {

class CapturingSink final : public LineSink {
 public:
  // `events`: each line is an event line, checked against the schema as it comes.
  explicit CapturingSink(bool events) {
    if (events) checked_.emplace();
  }
  void writeLine(std::string_view line) override {
    std::lock_guard lock(mutex_);
    if (!line.empty() && line.back() == '\n') line.remove_suffix(1);
    lines_.emplace_back(line);
    if (!checked_) return;
    if (auto why = checked_->check(nlohmann::json::parse(line, nullptr, false)); !why.empty())
      ADD_FAILURE() << "an event line off the schema: " << why;
  }
  std::vector<std::string> lines() const {  // without their newlines
    std::lock_guard lock(mutex_);
    return lines_;
  }
  void clear() {
    std::lock_guard lock(mutex_);
    lines_.clear();
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
  std::optional<EventChecker> checked_;
};

// Routes events and logs into capturing sinks for the life of the object.
class CapturedOutput {
 public:
  CapturedOutput() {
    app::setEventSink(&events_);
    setLogSink(&logs_);
  }
  ~CapturedOutput() {
    app::setEventSink(nullptr);
    setLogSink(nullptr);
  }

  std::vector<std::string> eventLines() const { return events_.lines(); }
  std::vector<nlohmann::json> events() const {
    std::vector<nlohmann::json> out;
    for (const auto& line : events_.lines()) out.push_back(nlohmann::json::parse(line));
    return out;
  }
  std::vector<std::string> logLines() const { return logs_.lines(); }
  void clear() {
    events_.clear();
    logs_.clear();
  }

 private:
  CapturingSink events_{true};
  CapturingSink logs_{false};
};

}  // namespace vantor::test
