#pragma once
// Failures of the sound server as the program's Error: domain "PulseAudio",
// the server's error code (PA_ERR_*), and a description that says what could
// not be done and the server's reason.

#include <cstdint>
#include <string>

#include "util/error.h"

namespace vantor::platform::pulse {

inline constexpr const char* kErrorDomain = "PulseAudio";

// "<what>: <the server's text for code>".
Error pulseError(int code, const std::string& what);

// The status a failed system-audio step answers: the negated error code,
// never 0 even for errors without one.
int32_t failureStatus(const Error& error);

}  // namespace vantor::platform::pulse
