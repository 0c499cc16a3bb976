#include "support/capture_sinks.h"

#include <gtest/gtest.h>

#include "app/event_writer.h"
#include "util/log.h"

namespace vantor::test {

void CapturingSink::writeLine(std::string_view line) {
  std::lock_guard lock(mutex_);
  if (!line.empty() && line.back() == '\n') line.remove_suffix(1);
  lines_.emplace_back(line);
  if (!checked_) return;
  auto event = nlohmann::json::parse(line, nullptr, false);
  if (auto why = checked_->check(event); !why.empty()) ADD_FAILURE() << "an event line off the schema: " << why;
}

std::vector<std::string> CapturingSink::lines() const {
  std::lock_guard lock(mutex_);
  return lines_;
}

void CapturingSink::clear() {
  std::lock_guard lock(mutex_);
  lines_.clear();
}

CapturedOutput::CapturedOutput() {
  app::setEventSink(&events_);
  setLogSink(&logs_);
}

CapturedOutput::~CapturedOutput() {
  app::setEventSink(nullptr);
  setLogSink(nullptr);
}

std::vector<nlohmann::json> CapturedOutput::events() const {
  std::vector<nlohmann::json> out;
  for (const auto& line : events_.lines()) out.push_back(nlohmann::json::parse(line));
  return out;
}

}  // namespace vantor::test
