// What only PulseAudio has, beyond the contract in tests/contract: the
// microphone is the default source but never a monitor, a failed start
// leaves nothing connected, and without a server every step says so.

#include <pulse/def.h>

#include <cstdlib>

#include "contract/audio_backend.h"
#include "util/error.h"

namespace vantor::audiotest {
namespace {

#define VANTOR_REQUIRE_SOUND_SERVER() \
  if (std::string why = missingPulseServer(); !why.empty()) GTEST_SKIP() << "SKIPPED: " << why

// The domain, code and description of the Error `f` throws; fails when it throws none.
std::tuple<std::string, int, std::string> failure(const std::function<void()>& f) {
  try {
    f();
    ADD_FAILURE() << "did not fail";
  } catch (const Error& e) {
    return {e.domain(), e.code(), e.description()};
  }
  return {};
}

bool clientListed(const std::string& name) {
  return std::system(("pactl list clients | grep -q 'application.name = \"" + name + "\"'").c_str()) == 0;
}

TEST(PulseMicrophone, IsTheDefaultSourceNeverAMonitorAndAFailedStartLeavesNothingConnected) {
  VANTOR_REQUIRE_SOUND_SERVER();
  auto sound = makePulseAudioServices();
  EXPECT_EQ(sound.input->inputFormat(), (AudioFormat{SampleType::Float32, 48000, 1, true}));
  ASSERT_EQ(std::system("pactl set-default-source sysout.monitor"), 0);
  AudioFormat monitor = sound.input->inputFormat();
  ASSERT_EQ(std::system("pactl set-default-source vmic"), 0);
  EXPECT_EQ(std::pair(monitor.sampleRate, monitor.channels), std::pair(0.0, 0u));

  sound.input->prepare();
  ASSERT_TRUE(clientListed("Vantor Microphone"));
  sound.input->installTap(4096, {SampleType::Float32, 0, 1, true}, [](const PcmBuffer&) {});
  EXPECT_EQ(failure([&] { sound.input->start(); }), std::tuple("PulseAudio", int(PA_ERR_INVALID),
                                                               "Cannot record in this format: Invalid argument"))
      << "started with a rate of 0";
  EXPECT_TRUE(waitFor([] { return !clientListed("Vantor Microphone"); }, 2s));
}

TEST(PulseUnreachable, AnswersNoMicrophoneAFailedStartAndNegativeStatuses) {
  auto sound = makePulseAudioServices("unix:/nonexistent/native");
  AudioFormat format = sound.input->inputFormat();
  EXPECT_EQ(std::pair(format.sampleRate, format.channels), std::pair(0.0, 0u));
  sound.input->installTap(4096, {SampleType::Float32, 48000, 1, true}, [](const PcmBuffer&) {});
  EXPECT_EQ(failure([&] { sound.input->start(); }), std::tuple("PulseAudio", int(PA_ERR_CONNECTIONREFUSED),
                                                               "Cannot connect to the sound server: Connection refused"));
  uint32_t tap = 0, device = 0;
  EXPECT_EQ(sound.systemAudio->createProcessTap({.uuid = "A"}, tap), -PA_ERR_CONNECTIONREFUSED);
  EXPECT_EQ(sound.systemAudio->createAggregateDevice({.tapUIDs = {"A"}}, device), -PA_ERR_NOENTITY);
  EXPECT_EQ(sound.systemAudio->startDevice(1, 0), -PA_ERR_NOENTITY);
}

}  // namespace
}  // namespace vantor::audiotest
