#pragma once
// The machine as the rest of the program sees it: the services and which
// optional capabilities they offer. The agent runs on the real Linux
// platform; tests build one on the simulated services.

#include "platform/audio.h"
#include "platform/media.h"
#include "platform/screen_capture.h"

namespace vantor::platform {

struct Capabilities {
  // Streams feed a recording output that writes the movie on its own thread;
  // without it the recorder appends frames to a video writer itself.
  bool recordingOutput = true;
  // A still of the target on request; without it screenshots use the
  // recorder's latest frame.
  bool screenshotService = true;
  // What the computer plays can be recorded beside the microphone; without
  // it a take with sound records the microphone only.
  bool systemAudio = true;
};

struct Platform {
  ScreenCaptureService& screenCapture;
  MediaServices& media;
  AudioServices audio;
  Capabilities capabilities;
};

}  // namespace vantor::platform
