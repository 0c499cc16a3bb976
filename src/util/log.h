#pragma once
// Log lines for people, on standard error: "[INFO] message" or "[ERROR] message".
// Callable from any thread; each line is one write, nothing is buffered.

#include <string_view>

#include "util/line_sink.h"

namespace vantor {

enum class LogLevel { info, error };

void log(LogLevel level, std::string_view message);
inline void logInfo(std::string_view message) { log(LogLevel::info, message); }
inline void logError(std::string_view message) { log(LogLevel::error, message); }

// Replaces the destination of log lines (standard error by default). Not
// synchronised: call before other threads log.
void setLogSink(LineSink* sink);

}  // namespace vantor
