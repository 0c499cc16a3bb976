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
