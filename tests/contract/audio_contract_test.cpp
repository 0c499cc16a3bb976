// What every sound backend owes its callers, written once against AudioInput
// and SystemAudioService: run on the simulated backend always and on
// PulseAudio when the private server of scripts/virtual-sound.sh answers. A
// new backend is one more instantiation.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <span>
#include <thread>
#include <vector>

#include "exec/serial_queue.h"
#include "platform/audio.h"
#include "platform/sim/sim_audio.h"
#ifdef VANTOR_HAVE_PULSE
#include "platform/pulse/pulse_audio.h"
#include "support/tone_player.h"
#endif

namespace vantor {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using platform::AudioBufferView;
using platform::AudioFormat;
using platform::PcmBuffer;
using platform::SystemAudioService;

// A sound backend with a way to make sound reach it.
struct AudioBackend {
  virtual ~AudioBackend() = default;
  virtual platform::AudioInput& input() = 0;
  virtual SystemAudioService& system() = 0;
  // A tone of `hz` into the microphone, or out of the computer's speakers,
  // for as long as the returned object lives.
  virtual std::shared_ptr<void> intoMicrophone(double hz) = 0;
  virtual std::shared_ptr<void> outOfSpeakers(double hz) = 0;
};

// Plays the engine's delivery thread: a block of tone every 10 ms.
class Feeder {
 public:
  explicit Feeder(std::function<void()> once) : thread_([this, once] {
    while (!stop_) {
      once();
      std::this_thread::sleep_for(10ms);
    }
  }) {}
  ~Feeder() {
    stop_ = true;
    thread_.join();
  }

 private:
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

struct SimBackend final : AudioBackend {
  platform::AudioInput& input() override { return mic; }
  SystemAudioService& system() override { return speakers; }
  std::shared_ptr<void> intoMicrophone(double hz) override {
    return std::make_shared<Feeder>([this, tone = platform::sim::Tone(hz, 0.5)]() mutable { mic.play(tone, 480); });
  }
  std::shared_ptr<void> outOfSpeakers(double hz) override {
    return std::make_shared<Feeder>([this, tone = platform::sim::Tone(hz, 0.5)]() mutable { speakers.play(tone, 480); });
  }
  platform::sim::SimAudioInput mic;
  platform::sim::SimSystemAudio speakers;
};

#ifdef VANTOR_HAVE_PULSE
struct PulseBackend final : AudioBackend {
  platform::AudioInput& input() override { return *sound.input; }
  SystemAudioService& system() override { return *sound.systemAudio; }
  std::shared_ptr<void> intoMicrophone(double hz) override { return play("micfeed", hz, 1); }
  std::shared_ptr<void> outOfSpeakers(double hz) override { return play("@DEFAULT_SINK@", hz, 2); }
  std::shared_ptr<void> play(const char* sink, double hz, uint32_t channels) {
    std::string why;
    std::shared_ptr<test::TonePlayer> player = test::TonePlayer::start({sink, hz, 0.5, channels}, &why);
    EXPECT_TRUE(player) << why;
    return player;
  }
  platform::PulseAudioServices sound = platform::makePulseAudioServices();
};

// Why the private server cannot be used here, or nothing.
std::string missingPulseServer() {
  FILE* out = popen("pactl list short sinks 2>&1", "r");
  if (!out) return "cannot run pactl";
  std::string text;
  char buf[256];
  while (size_t n = std::fread(buf, 1, sizeof buf, out)) text.append(buf, n);
  if (pclose(out) != 0) return "no sound server answers; scripts/test.sh starts one";
  if (text.find("micfeed") == std::string::npos) return "the sound server is not the private one (no sink micfeed)";
  return {};
}
#endif

struct Maker {
  const char* name;
  std::function<std::unique_ptr<AudioBackend>(std::string* why)> make;
  friend void PrintTo(const Maker& m, std::ostream* out) { *out << m.name; }
};

// The frequency of a tone from its rising zero crossings.
double frequencyOf(std::span<const float> s, double rate) {
  long first = -1, last = -1, crossings = 0;
  for (size_t i = 1; i < s.size(); ++i)
    if (s[i - 1] < 0 && s[i] >= 0) {
      if (first < 0) first = long(i);
      last = long(i);
      ++crossings;
    }
  return crossings > 1 ? (crossings - 1) * rate / double(last - first) : 0;
}

// What a backend delivered: samples of the first channel, and how often.
struct Heard {
  std::mutex mutex;
  std::vector<float> samples;
  int blocks = 0;
  bool wrongFormat = false;

  void take(const float* data, size_t frames, uint32_t channels) {
    std::lock_guard lock(mutex);
    ++blocks;
    for (size_t i = 0; i < frames; ++i) samples.push_back(data[i * channels]);
  }
  int count() {
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
  double lastFrequency(double rate) {
    std::lock_guard lock(mutex);
    size_t n = std::min(samples.size(), size_t(rate / 4));
    return frequencyOf(std::span(samples).last(n), rate);
  }
};

bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  for (auto end = Clock::now() + timeout; !done(); std::this_thread::sleep_for(5ms))
    if (Clock::now() > end) return false;
  return true;
}

class AudioContract : public ::testing::TestWithParam<Maker> {
 protected:
  void SetUp() override {
    std::string why;
    if (!(b = GetParam().make(&why))) GTEST_SKIP() << "SKIPPED: " << why;
  }
  std::unique_ptr<AudioBackend> b;
  Heard heard;
};

TEST_P(AudioContract, TheMicrophoneDeliversWhatItHearsInItsFormatUntilStopped) {
  AudioFormat format = b->input().inputFormat();
  ASSERT_GT(format.sampleRate, 0);
  ASSERT_GT(format.channels, 0u);
  auto tone = b->intoMicrophone(440);
  const auto caller = std::this_thread::get_id();
  b->input().installTap(4096, format, [&](const PcmBuffer& buffer) {
    // The engine's own thread delivers, never the one that started it.
    if (buffer.format != format || std::this_thread::get_id() == caller) heard.wrongFormat = true;
    heard.take(buffer.floatData.data(), buffer.frameLength, buffer.format.channels);
  });
  b->input().prepare();
  b->input().start();
  bool got = waitFor([&] { return heard.toneFrames() >= size_t(format.sampleRate / 2); }, 10s);
  b->input().stop();
  ASSERT_TRUE(got) << "half a second of the tone did not arrive";
  EXPECT_NEAR(heard.lastFrequency(format.sampleRate), 440, 5);
  EXPECT_FALSE(heard.wrongFormat);

  int atStop = heard.count();
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(heard.count(), atStop) << "a block came after stop() returned";
  b->input().start();
  EXPECT_TRUE(waitFor([&] { return heard.count() > atStop; }, 3s)) << "nothing after starting again";
  b->input().stop();
  b->input().removeTap();
}

TEST_P(AudioContract, TheSystemAudioChainDeliversWhatIsPlayedOnItsQueueUntilStopped) {
  SystemAudioService& s = b->system();
  exec::SerialQueue queue{".test.systemaudio"};
  auto drain = [&] {
    std::promise<void> done;
    queue.post([&] { done.set_value(); });
    done.get_future().wait();
  };
  uint32_t tap = 0, device = 0;
  SystemAudioService::IOProcHandle proc = 0;
  const std::string uuid = "5C0FFEE0-0000-4000-8000-000000000001";
  ASSERT_EQ(s.createProcessTap({.uuid = uuid, .name = "contract"}, tap), 0);
  ASSERT_EQ(s.createAggregateDevice({.uid = "vantor.contract", .name = "contract", .tapUIDs = {uuid}}, device), 0);
  bool offQueue = false;
  ASSERT_EQ(s.createIOProc(device, queue,
                           [&](std::span<const AudioBufferView> input) {
                             offQueue |= !queue.isCurrent();
                             for (const AudioBufferView& v : input)
                               heard.take(static_cast<const float*>(v.data), v.byteSize / 4 / v.channels, v.channels);
                           },
                           proc),
            0);
  auto tone = b->outOfSpeakers(1000);
  ASSERT_EQ(s.startDevice(device, proc), 0);
  bool got = waitFor([&] { return heard.toneFrames() >= 24000; }, 10s);
  s.stopDevice(device, proc);
  drain();
  ASSERT_TRUE(got) << "half a second of the tone did not arrive";
  EXPECT_NEAR(heard.lastFrequency(48000), 1000, 10);
  EXPECT_FALSE(offQueue);

  int atStop = heard.count();
  std::this_thread::sleep_for(200ms);
  drain();
  EXPECT_EQ(heard.count(), atStop) << "a block was queued after stopDevice returned";
  ASSERT_EQ(s.startDevice(device, proc), 0);
  EXPECT_TRUE(waitFor([&] { return heard.count() > atStop; }, 3s)) << "nothing after starting again";
  s.stopDevice(device, proc);
  s.destroyIOProc(device, proc);
  s.destroyAggregateDevice(device);
  s.destroyProcessTap(tap);
  drain();
}

INSTANTIATE_TEST_SUITE_P(Sim, AudioContract,
                         ::testing::Values(Maker{"Sim", [](std::string*) -> std::unique_ptr<AudioBackend> {
                           return std::make_unique<SimBackend>();
                         }}),
                         [](const auto& info) { return std::string(info.param.name); });
#ifdef VANTOR_HAVE_PULSE
INSTANTIATE_TEST_SUITE_P(Pulse, AudioContract,
                         ::testing::Values(Maker{"Pulse", [](std::string* why) -> std::unique_ptr<AudioBackend> {
                           if ((*why = missingPulseServer()).empty()) return std::make_unique<PulseBackend>();
                           return nullptr;
                         }}),
                         [](const auto& info) { return std::string(info.param.name); });
#endif

}  // namespace
}  // namespace vantor
