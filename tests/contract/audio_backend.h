#pragma once
// The backends the sound contract runs on, each with a way to make a tone
// reach it, and what the tests hear of them.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <thread>
#include <vector>

#include "platform/audio.h"
#include "platform/sim/sim_audio.h"
#ifdef VANTOR_HAVE_PULSE
#include "platform/pulse/pulse_audio.h"
#include "support/tone_player.h"
#endif

namespace vantor::audiotest {

using namespace std::chrono_literals;
using namespace platform;

constexpr double kToneLevel = 0.5;  // the peak of every tone played

struct AudioBackend {
  virtual ~AudioBackend() = default;
  virtual AudioInput& input() = 0;
  virtual SystemAudioService& system() = 0;
  // A tone of `hz` into the microphone, or out of the speakers, while the result lives.
  virtual std::shared_ptr<void> intoMicrophone(double hz) = 0;
  virtual std::shared_ptr<void> outOfSpeakers(double hz) = 0;
};

// Plays the simulated engine's delivery thread while the result lives: a block of tone every 10 ms.
inline std::shared_ptr<void> feeding(std::function<void()> once) {
  return std::make_shared<std::jthread>([once](std::stop_token stop) {
    for (; !stop.stop_requested(); std::this_thread::sleep_for(10ms)) once();
  });
}

struct SimBackend final : AudioBackend {
  AudioInput& input() override { return mic; }
  SystemAudioService& system() override { return speakers; }
  std::shared_ptr<void> intoMicrophone(double hz) override {
    return feeding([this, tone = sim::Tone(hz, kToneLevel)]() mutable { mic.play(tone, 480); });
  }
  std::shared_ptr<void> outOfSpeakers(double hz) override {
    return feeding([this, tone = sim::Tone(hz, kToneLevel)]() mutable { speakers.play(tone, 480); });
  }
  sim::SimAudioInput mic;
  sim::SimSystemAudio speakers;
};

#ifdef VANTOR_HAVE_PULSE
// Why the private server of scripts/virtual-sound.sh cannot be used here, or nothing.
inline std::string missingPulseServer() {
  FILE* out = popen("pactl list short sinks 2>&1", "r");
  if (!out) return "cannot run pactl";
  std::string text;
  char buf[256];
  while (size_t n = std::fread(buf, 1, sizeof buf, out)) text.append(buf, n);
  if (pclose(out) != 0) return "no sound server answers; scripts/test.sh starts one";
  if (text.find("micfeed") == std::string::npos || text.find("sysout") == std::string::npos)
    return "the sound server is not the private one (no sinks micfeed and sysout)";
  return {};
}

struct PulseBackend final : AudioBackend {
  AudioInput& input() override { return *sound.input; }
  SystemAudioService& system() override { return *sound.systemAudio; }
  std::shared_ptr<void> intoMicrophone(double hz) override { return play("micfeed", hz, 1); }
  std::shared_ptr<void> outOfSpeakers(double hz) override { return play("@DEFAULT_SINK@", hz, 2); }
  std::shared_ptr<void> play(const char* sink, double hz, uint32_t channels) {
    std::string why;
    std::shared_ptr<test::TonePlayer> player = test::TonePlayer::start({sink, hz, kToneLevel, channels}, &why);
    EXPECT_TRUE(player) << why;
    return player;
  }
  PulseAudioServices sound = makePulseAudioServices();
};
#endif

inline bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  for (auto end = std::chrono::steady_clock::now() + timeout; !done(); std::this_thread::sleep_for(5ms))
    if (std::chrono::steady_clock::now() > end) return false;
  return true;
}

// What a backend delivered: samples of the first channel, and how often.
struct Heard {
  std::mutex mutex;
  std::vector<float> samples;
  int blocks = 0;

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
  // The last quarter second's frequency, from its rising zero crossings, and peak.
  std::pair<double, float> lastTone(double rate) {
    std::lock_guard lock(mutex);
    auto s = std::span(samples).last(std::min(samples.size(), size_t(rate / 4)));
    long first = -1, last = -1, crossings = 0;
    float peak = 0;
    for (size_t i = 1; i < s.size(); ++i) {
      peak = std::max(peak, std::abs(s[i]));
      if (s[i - 1] < 0 && s[i] >= 0) first = first < 0 ? long(i) : first, last = long(i), ++crossings;
    }
    return {crossings > 1 ? double(crossings - 1) * rate / double(last - first) : 0, peak};
  }
};

}  // namespace vantor::audiotest
