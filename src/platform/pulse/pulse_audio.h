#pragma once
// The machine's sound services over PulseAudio: the default source as the
// microphone, and the default sink's monitor as what the computer plays.

#include <memory>
#include <string>

#include "platform/audio.h"

namespace vantor::platform {

// Owns both services; they live as long as this object.
struct PulseAudioServices {
  std::unique_ptr<AudioInput> input;
  std::unique_ptr<SystemAudioService> systemAudio;

  AudioServices services() { return {*input, *systemAudio}; }
};

// `server` is a server address such as "unix:/run/user/0/pulse/native"; empty
// means libpulse's default (PULSE_SERVER, then client.conf, then the user's
// runtime directory). Nothing connects until the services are used, and no
// daemon is ever spawned.
PulseAudioServices makePulseAudioServices(const std::string& server = {});

}  // namespace vantor::platform
