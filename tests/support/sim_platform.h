#pragma once
// The simulated platform in one piece, with one 1920×1080 display scripted.

#include "platform/platform.h"
#include "platform/sim/sim_audio.h"
#include "platform/sim/sim_media.h"
#include "platform/sim/sim_screen_capture.h"

namespace vantor::test {

struct SimPlatform {
  SimPlatform() { capture.displays = {platform::sim::SimScreenCapture::display(1, 1920, 1080)}; }

  platform::Platform platform() { return {capture, media, {microphone, systemAudio}, capabilities}; }

  platform::sim::SimScreenCapture capture;
  platform::sim::SimMediaServices media;
  platform::sim::SimAudioInput microphone;
  platform::sim::SimSystemAudio systemAudio;
  platform::Capabilities capabilities;
};

}  // namespace vantor::test
