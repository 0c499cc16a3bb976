// The default source as the microphone, on the private sound server: its
// format, a tone played into micfeed arriving at the tap, stop and restart,
// and a failed start that leaves nothing connected.

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

struct Captured {
  std::mutex mutex;
  std::vector<float> samples;
  int blocks = 0;
  bool offThread = false;  // a block ran on another thread than the client's
  bool wrongFormat = false;

  platform::AudioInput::TapBlock tap(const AudioFormat& expected) {
    return [this, expected](const PcmBuffer& buffer) {
      std::lock_guard lock(mutex);
      ++blocks;
      offThread |= threadName() != "pulse-mic";
      wrongFormat |= buffer.format != expected || buffer.floatData.size() != buffer.frameLength;
      samples.insert(samples.end(), buffer.floatData.begin(), buffer.floatData.end());
    };
  }
  int blockCount() {
    std::lock_guard lock(mutex);
    return blocks;
  }
  // Samples since the tone was first heard.
  size_t toneFrames() {
    std::lock_guard lock(mutex);
    for (size_t i = 0; i < samples.size(); ++i)
      if (std::abs(samples[i]) > 0.1f) return samples.size() - i;
    return 0;
  }
};

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

TEST(PulseMicrophone, DeliversAToneOnItsOwnThreadUntilStoppedAndAgainAfterARestart) {
  VANTOR_REQUIRE_SOUND_SERVER();
  std::string why;
  auto tone = test::TonePlayer::start({.sink = "micfeed", .frequency = 440, .amplitude = 0.5}, &why);
  ASSERT_TRUE(tone) << why;
  auto sound = platform::makePulseAudioServices();
  Captured captured;
  sound.input->installTap(4096, kMicFormat, captured.tap(kMicFormat));
  sound.input->prepare();
  sound.input->start();
  bool heard = waitFor([&] { return captured.toneFrames() >= 48000; }, 10s);
  sound.input->stop();
  ASSERT_TRUE(heard) << "one second of the tone did not arrive";

  int atStop = captured.blockCount();
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(captured.blockCount(), atStop) << "a tap block ran after stop() returned";
  {
    std::lock_guard lock(captured.mutex);
    EXPECT_FALSE(captured.offThread);
    EXPECT_FALSE(captured.wrongFormat);
    std::span<const float> last(captured.samples.data() + captured.samples.size() - 24000, 24000);
    EXPECT_NEAR(frequencyOf(last, 48000), 440, 2);
    EXPECT_NEAR(rmsOf(last), 0.5 / std::sqrt(2), 0.05);
  }

  sound.input->start();
  EXPECT_TRUE(waitFor([&] { return captured.blockCount() > atStop; }, 3s)) << "no block after a restart";
  sound.input->stop();
}

// vmic is remapped from a null sink's monitor, which wakes up to 2 s late
// unless the input wakes its sink.
TEST(PulseMicrophone, FirstBlockComesSoonFromAnIdleVirtualMicrophone) {
  VANTOR_REQUIRE_SOUND_SERVER();
  auto sound = platform::makePulseAudioServices();
  Captured captured;
  sound.input->installTap(4096, kMicFormat, captured.tap(kMicFormat));
  for (int round = 0; round < 2; ++round) {
    // The second start finds the sink back at its long idle latency.
    auto started = Clock::now();
    sound.input->start();
    ASSERT_TRUE(waitFor([&] { return captured.blockCount() > round; }, 3s));
    EXPECT_LT(Clock::now() - started, 400ms) << "round " << round;
    sound.input->stop();
    std::this_thread::sleep_for(100ms);
  }
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
