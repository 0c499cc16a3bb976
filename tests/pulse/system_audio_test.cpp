// What the computer plays, through the four-step chain on the private sound
// server: blocks on the given queue soon after the start even from an idle
// sink, a tone played into the default sink, stop and restart.

#include <future>
#include <mutex>
#include <vector>

#include "exec/serial_queue.h"
#include "platform/pulse/pulse_audio.h"
#include "pulse_harness.h"
#include "support/tone_player.h"

namespace vantor::pulsetest {
namespace {

using platform::AudioBufferView;
using platform::SystemAudioService;

class PulseSystemAudioChain : public ::testing::Test {
 protected:
  void SetUp() override {
    VANTOR_REQUIRE_SOUND_SERVER();
    sound = platform::makePulseAudioServices();
    SystemAudioService& s = *sound.systemAudio;
    ASSERT_EQ(s.createProcessTap({.uuid = "5C0FFEE0-0000-4000-8000-000000000001", .name = "Ostrel Helper System Audio"}, tap), 0);
    ASSERT_EQ(s.createAggregateDevice({.uid = "vantor.test.device", .name = "Ostrel Helper System Audio",
                                       .tapUIDs = {"5C0FFEE0-0000-4000-8000-000000000001"}},
                                      device),
              0);
    ASSERT_EQ(s.createIOProc(device, queue, [this](std::span<const AudioBufferView> input) { onBlock(input); }, proc), 0);
    EXPECT_NE(tap, 0u);
    EXPECT_NE(device, 0u);
    EXPECT_NE(proc, 0u);
  }

  void TearDown() override {
    if (!sound.systemAudio) return;
    SystemAudioService& s = *sound.systemAudio;
    s.stopDevice(device, proc);
    s.destroyIOProc(device, proc);
    s.destroyAggregateDevice(device);
    s.destroyProcessTap(tap);
    drainQueue();
  }

  void onBlock(std::span<const AudioBufferView> input) {
    std::lock_guard lock(mutex);
    if (blocks++ == 0) firstBlock = Clock::now();
    offQueue |= !queue.isCurrent();
    for (const AudioBufferView& b : input) {
      malformed |= input.size() != 1 || b.channels != 2 || b.byteSize % 8 != 0;
      auto* f = static_cast<const float*>(b.data);
      for (uint32_t i = 0; i + 1 < b.byteSize / 4; i += 2) {
        left.push_back(f[i]);
        right.push_back(f[i + 1]);
      }
    }
  }
  int blockCount() {
    std::lock_guard lock(mutex);
    return blocks;
  }
  size_t toneFrames() {
    std::lock_guard lock(mutex);
    for (size_t i = 0; i < left.size(); ++i)
      if (std::abs(left[i]) > 0.1f) return left.size() - i;
    return 0;
  }
  // Runs what is queued so far.
  void drainQueue() {
    std::promise<void> done;
    queue.post([&] { done.set_value(); });
    done.get_future().wait();
  }

  exec::SerialQueue queue{".helper.systemaudio.test"};
  platform::PulseAudioServices sound;
  uint32_t tap = 0, device = 0;
  SystemAudioService::IOProcHandle proc = 0;

  std::mutex mutex;
  int blocks = 0;
  Clock::time_point firstBlock;
  bool offQueue = false, malformed = false;
  std::vector<float> left, right;
};

TEST_F(PulseSystemAudioChain, FirstBlockComesSoonFromAnIdleSinkAndNoneAfterStop) {
  auto started = Clock::now();
  ASSERT_EQ(sound.systemAudio->startDevice(device, proc), 0);
  ASSERT_TRUE(waitFor([&] { return blockCount() > 0; }, 3s)) << "no block at all";
  {
    std::lock_guard lock(mutex);
    EXPECT_LT(firstBlock - started, 200ms);
  }

  sound.systemAudio->stopDevice(device, proc);
  drainQueue();
  int atStop = blockCount();
  std::this_thread::sleep_for(300ms);
  drainQueue();
  EXPECT_EQ(blockCount(), atStop) << "a block was queued after stopDevice returned";

  // The sink went back to its long idle latency meanwhile: this start is
  // the slow case, whatever the tests before left behind.
  started = Clock::now();
  ASSERT_EQ(sound.systemAudio->startDevice(device, proc), 0);
  ASSERT_TRUE(waitFor([&] { return blockCount() > atStop; }, 3s)) << "no block after a restart";
  std::lock_guard lock(mutex);
  EXPECT_LT(Clock::now() - started, 200ms);
  EXPECT_FALSE(offQueue);
  EXPECT_FALSE(malformed);
}

TEST_F(PulseSystemAudioChain, DeliversAToneFromTheDefaultSink) {
  std::string why;
  auto tone = test::TonePlayer::start({.frequency = 1000, .amplitude = 0.5, .channels = 2}, &why);
  ASSERT_TRUE(tone) << why;
  ASSERT_EQ(sound.systemAudio->startDevice(device, proc), 0);
  bool heard = waitFor([&] { return toneFrames() >= 48000; }, 10s);
  sound.systemAudio->stopDevice(device, proc);
  drainQueue();
  ASSERT_TRUE(heard) << "one second of the tone did not arrive";

  std::lock_guard lock(mutex);
  EXPECT_FALSE(offQueue);
  EXPECT_FALSE(malformed);
  for (auto* channel : {&left, &right}) {
    std::span<const float> last(channel->data() + channel->size() - 24000, 24000);
    EXPECT_NEAR(frequencyOf(last, 48000), 1000, 4);
    EXPECT_NEAR(rmsOf(last), 0.5 / std::sqrt(2), 0.05);
  }
}

}  // namespace
}  // namespace vantor::pulsetest
