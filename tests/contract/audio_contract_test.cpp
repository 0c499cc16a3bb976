// What every sound backend owes its callers, written once against AudioInput
// and SystemAudioService: run on the simulated backend always and on
// PulseAudio when the private server of scripts/virtual-sound.sh answers. A
// new backend is one more instantiation at the end.

#include <future>

#include "contract/audio_backend.h"
#include "exec/serial_queue.h"

namespace vantor::audiotest {
namespace {

struct Maker {
  const char* name;
  std::unique_ptr<AudioBackend> (*make)(std::string* why);  // null, and why, when it cannot
  friend void PrintTo(const Maker& m, std::ostream* out) { *out << m.name; }
};

class AudioContract : public ::testing::TestWithParam<Maker> {
 protected:
  void SetUp() override {
    std::string why;
    if (!(b = GetParam().make(&why))) GTEST_SKIP() << "SKIPPED: " << why;
  }
  // Starts a source and hears half a second of its tone, at its pitch and
  // level, on the right thread; after `stop` (and `settle`: what was queued
  // before it has run) nothing more comes; started again, it delivers again.
  void hearsUntilStopped(double rate, double hz, const std::function<void()>& start,
                         const std::function<void()>& stop, const std::function<void()>& settle) {
    start();
    bool got = waitFor([&] { return heard.toneFrames() >= size_t(rate / 2); }, 10s);
    stop(), settle();
    ASSERT_TRUE(got) << "half a second of the tone did not arrive";
    auto [pitch, peak] = heard.lastTone(rate);
    EXPECT_NEAR(pitch, hz, hz / 100);
    EXPECT_NEAR(peak, kToneLevel, 0.05) << "the level it was played at";
    EXPECT_FALSE(wrongThread);
    int atStop = heard.count();
    std::this_thread::sleep_for(200ms);
    settle();
    EXPECT_EQ(heard.count(), atStop) << "a block came after the stop";
    start();
    EXPECT_TRUE(waitFor([&] { return heard.count() > atStop; }, 3s)) << "nothing after starting again";
    stop(), settle();
  }

  std::unique_ptr<AudioBackend> b;
  Heard heard;
  std::atomic<bool> wrongThread{false};
};

TEST_P(AudioContract, TheMicrophoneDeliversWhatItHearsInItsFormatOnItsOwnThreadUntilStopped) {
  AudioFormat format = b->input().inputFormat();
  ASSERT_GT(format.sampleRate, 0);
  ASSERT_GT(format.channels, 0u);
  auto tone = b->intoMicrophone(440);
  b->input().installTap(4096, format, [&, caller = std::this_thread::get_id()](const PcmBuffer& buffer) {
    wrongThread = wrongThread || buffer.format != format || std::this_thread::get_id() == caller;
    heard.take(buffer.floatData.data(), buffer.frameLength, buffer.format.channels);
  });
  b->input().prepare();
  hearsUntilStopped(format.sampleRate, 440, [&] { b->input().start(); }, [&] { b->input().stop(); }, [] {});
  b->input().removeTap();
}

TEST_P(AudioContract, TheSystemAudioChainDeliversWhatIsPlayedOnItsQueueUntilStopped) {
  SystemAudioService& s = b->system();
  exec::SerialQueue queue{".test.systemaudio"};
  uint32_t tap = 0, device = 0;
  SystemAudioService::IOProcHandle proc = 0;
  const std::string uuid = "5C0FFEE0-0000-4000-8000-000000000001";
  ASSERT_EQ(s.createProcessTap({.uuid = uuid, .name = "contract"}, tap), 0);
  ASSERT_EQ(s.createAggregateDevice({.uid = "vantor.contract", .name = "contract", .tapUIDs = {uuid}}, device), 0);
  auto io = [&](std::span<const AudioBufferView> input) {
    wrongThread = wrongThread || !queue.isCurrent();
    for (const AudioBufferView& v : input)
      heard.take(static_cast<const float*>(v.data), v.byteSize / 4 / v.channels, v.channels);
  };
  ASSERT_EQ(s.createIOProc(device, queue, io, proc), 0);
  auto tone = b->outOfSpeakers(1000);
  auto drain = [&] {
    std::promise<void> done;
    queue.post([&] { done.set_value(); });
    done.get_future().wait();
  };
  hearsUntilStopped(48000, 1000, [&] { EXPECT_EQ(s.startDevice(device, proc), 0); },
                    [&] { s.stopDevice(device, proc); }, drain);
  s.destroyIOProc(device, proc);
  s.destroyAggregateDevice(device);
  s.destroyProcessTap(tap);
  drain();
}

std::unique_ptr<AudioBackend> simulated(std::string*) { return std::make_unique<SimBackend>(); }
std::unique_ptr<AudioBackend> pulse(std::string* why) {
#ifdef VANTOR_HAVE_PULSE
  if ((*why = missingPulseServer()).empty()) return std::make_unique<PulseBackend>();
#else
  *why = "built without the PulseAudio backend";
#endif
  return nullptr;
}

INSTANTIATE_TEST_SUITE_P(Sim, AudioContract, ::testing::Values(Maker{"Sim", &simulated}),
                         [](const auto& info) { return std::string(info.param.name); });
INSTANTIATE_TEST_SUITE_P(Pulse, AudioContract, ::testing::Values(Maker{"Pulse", &pulse}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vantor::audiotest
