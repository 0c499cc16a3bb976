#pragma once
// Captures event lines and log lines in memory for in-process tests.

#include <mutex>
#include <optional>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "support/event_schema.h"
#include "util/line_sink.h"

namespace vantor::test {

class CapturingSink final : public LineSink {
 public:
  // `events`: each line is an event line, checked against the schema as it comes.
  explicit CapturingSink(bool events) {
    if (events) checked_.emplace();
  }
  void writeLine(std::string_view line) override;
  std::vector<std::string> lines() const;  // without their newlines
  void clear();

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
  std::optional<EventChecker> checked_;
};

// Routes events and logs into capturing sinks for the life of the object.
class CapturedOutput {
 public:
  CapturedOutput();
  ~CapturedOutput();

  std::vector<std::string> eventLines() const { return events_.lines(); }
  std::vector<nlohmann::json> events() const;
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
