#include "platform/pulse/pulse_audio.h"

#include "platform/pulse/pulse_audio_input.h"
#include "platform/pulse/pulse_system_audio.h"

namespace vantor::platform {

PulseAudioServices makePulseAudioServices(const std::string& server) {
  return {std::make_unique<pulse::PulseAudioInput>(server), std::make_unique<pulse::PulseSystemAudio>(server)};
}

}  // namespace vantor::platform
