// Without a sound server both services say so at once: no microphone, a
// clear start failure, and negative statuses for every step.

#include <pulse/def.h>

#include "platform/pulse/pulse_audio.h"
#include "pulse_harness.h"
#include "util/error.h"

namespace vantor::pulsetest {
namespace {

using platform::AudioFormat;
using platform::SampleType;

constexpr auto kQuick = 250ms;  // libpulse answers in a few ms; a spawn or a timeout would take seconds

TEST(PulseUnreachable, AnswersNoMicrophoneAndNegativeStatusesQuickly) {
  auto sound = platform::makePulseAudioServices("unix:/nonexistent/native");

  auto t0 = Clock::now();
  AudioFormat format = sound.input->inputFormat();
  EXPECT_LT(Clock::now() - t0, kQuick);
  EXPECT_EQ(format.sampleRate, 0);
  EXPECT_EQ(format.channels, 0u);

  sound.input->installTap(4096, {SampleType::Float32, 48000, 1, true}, [](const platform::PcmBuffer&) {});
  try {
    sound.input->start();
    FAIL() << "started without a server";
  } catch (const Error& e) {
    EXPECT_EQ(e.domain(), "PulseAudio");
    EXPECT_EQ(e.code(), PA_ERR_CONNECTIONREFUSED);
    EXPECT_EQ(e.description(), "Cannot connect to the sound server: Connection refused");
  }

  uint32_t tap = 0, device = 0;
  t0 = Clock::now();
  EXPECT_EQ(sound.systemAudio->createProcessTap({.uuid = "A"}, tap), -PA_ERR_CONNECTIONREFUSED);
  EXPECT_LT(Clock::now() - t0, kQuick);
  EXPECT_EQ(sound.systemAudio->createAggregateDevice({.tapUIDs = {"A"}}, device), -PA_ERR_NOENTITY);
  EXPECT_EQ(sound.systemAudio->startDevice(1, 0), -PA_ERR_NOENTITY);
}

}  // namespace
}  // namespace vantor::pulsetest
