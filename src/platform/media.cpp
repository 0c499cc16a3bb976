#include "platform/media.h"

#include <cmath>
#include <limits>

namespace vantor::platform {

double MediaTime::seconds() const {
  if (!isValid()) return std::numeric_limits<double>::quiet_NaN();
  return double(value) / double(timescale);
}

bool MediaTime::operator<(const MediaTime& other) const {
  // Cross-multiplied in 128 bits: exact for any two timescales.
  return __int128(value) * other.timescale < __int128(other.value) * timescale;
}

}  // namespace vantor::platform

namespace vantor::platform {

std::optional<VideoQuality> videoQualityFromName(std::string_view name) {
  if (name == "low") return VideoQuality::low;
  if (name == "standard") return VideoQuality::standard;
  if (name == "high") return VideoQuality::high;
  return std::nullopt;
}

}  // namespace vantor::platform
