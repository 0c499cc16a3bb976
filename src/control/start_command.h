#pragma once
// What a take is started from: the four members of a "start" command, and
// the options protocol 2 adds. The options' defaults are the take every
// protocol-1 host gets.

#include <optional>
#include <string>

#include "platform/recording_output.h"

namespace vantor {

struct StartCommand {
  static constexpr double kMinFrameRate = 1, kMaxFrameRate = 120, kDefaultFrameRate = 60;

  std::string target;
  bool includeMic = false;
  std::string outputPath;
  std::string mode;

  double frameRate = kDefaultFrameRate;  // frames a second at most
  bool nativeSize = false;               // the target's own size instead of 1920×1080
  bool showsCursor = true;
  // Unset: as includeMic says, which turns both on.
  std::optional<bool> microphone;
  std::optional<bool> systemAudio;
  platform::VideoQuality quality = platform::VideoQuality::standard;

  bool recordsMicrophone() const { return microphone.value_or(includeMic); }
  bool recordsSystemAudio() const { return systemAudio.value_or(includeMic); }
  bool recordsSound() const { return recordsMicrophone() || recordsSystemAudio(); }

  bool operator==(const StartCommand&) const = default;
};

}  // namespace vantor
