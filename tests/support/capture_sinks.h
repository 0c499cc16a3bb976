#pragma once
// Captures event lines and log lines in memory for in-process tests.

#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "util/line_sink.h"

namespace vantor::test {

class CapturingSink final : public LineSink {
 public:
  void writeLine(std::string_view line) override;
  std::vector<std::string> lines() const;  // without their newlines
  void clear();

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
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
  CapturingSink events_;
  CapturingSink logs_;
};

}  // namespace vantor::test
