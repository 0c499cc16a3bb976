// What only the PulseAudio microphone has: the default source, never a
// monitor, and a failed start that leaves nothing connected. What every
// backend does is in contract/audio_contract_test.cpp.

#include <pulse/def.h>

#include <cstdlib>
#include <mutex>
#include <vector>

#include "platform/pulse/pulse_audio.h"
#include "pulse_harness.h"
#include "support/tone_player.h"
#include "util/error.h"

namespace vantor::pulsetest {
namespace {

using platform::AudioFormat;
using platform::PcmBuffer;
using platform::SampleType;

const AudioFormat kMicFormat{SampleType::Float32, 48000, 1, true};

// Whether the server lists a client of this name.
bool clientListed(const std::string& name) {
  std::string cmd = "pactl list clients | grep -q 'application.name = \"" + name + "\"'";
  return std::system(cmd.c_str()) == 0;
}

TEST(PulseMicrophone, IsTheDefaultSourceButNeverAMonitor) {
  VANTOR_REQUIRE_SOUND_SERVER();
  auto sound = platform::makePulseAudioServices();
  EXPECT_EQ(sound.input->inputFormat(), kMicFormat);

  ASSERT_EQ(std::system("pactl set-default-source sysout.monitor"), 0);
  AudioFormat monitor = sound.input->inputFormat();
  ASSERT_EQ(std::system("pactl set-default-source vmic"), 0);
  EXPECT_EQ(monitor.sampleRate, 0);
  EXPECT_EQ(monitor.channels, 0u);
}

TEST(PulseMicrophone, AFailedStartLeavesNothingConnected) {
  VANTOR_REQUIRE_SOUND_SERVER();
  auto sound = platform::makePulseAudioServices();
  sound.input->prepare();
  ASSERT_TRUE(clientListed("Vantor Microphone"));
  sound.input->installTap(4096, {SampleType::Float32, 0, 1, true}, [](const PcmBuffer&) {});
  try {
    sound.input->start();
    FAIL() << "started with a rate of 0";
  } catch (const Error& e) {
    EXPECT_EQ(e.domain(), "PulseAudio");
    EXPECT_EQ(e.code(), PA_ERR_INVALID);
  }
  EXPECT_TRUE(waitFor([] { return !clientListed("Vantor Microphone"); }, 2s));
}

}  // namespace
}  // namespace vantor::pulsetest
