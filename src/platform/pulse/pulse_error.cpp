#include "platform/pulse/pulse_error.h"

#include <pulse/def.h>
#include <pulse/error.h>

namespace vantor::platform::pulse {

Error pulseError(int code, const std::string& what) {
  if (code <= 0) code = PA_ERR_UNKNOWN;
  return Error(kErrorDomain, code, what + ": " + pa_strerror(code));
}

int32_t failureStatus(const Error& error) {
  return error.code() > 0 ? -error.code() : -PA_ERR_UNKNOWN;
}

}  // namespace vantor::platform::pulse
