// The sound chain's own arithmetic and bookkeeping, on the simulated sound
// services: conversion, channel reduction, mixing, and what the microphone
// and system-audio captures make and release. What they deliver is checked
// in takes (component/sound_take_test) and by the sound contract (contract/).

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <numeric>

#include "audio/audio_mixer.h"
#include "audio/drift_corrector.h"
#include "audio/mix_timeline.h"
#include "audio/mic_capture.h"
#include "audio/system_audio_capture.h"
#include "platform/sim/sim_audio.h"
#include "support/capture_sinks.h"

namespace vantor {
namespace {

using platform::AudioFormat;
using platform::PcmBuffer;
using platform::SampleType;
using platform::sim::Tone;

// RMS over full scale, past the converter's first 100 samples.
double rmsOf(const MonoBatch& s) {
  double sum = 0;
  for (size_t i = 100; i < s.size(); ++i) sum += double(s[i]) * s[i];
  return std::sqrt(sum / double(s.size() - 100)) / 32768.0;
}

PcmBuffer floatBuffer(const std::vector<float>& samples, uint32_t channels, bool interleaved = true, double rate = 48000) {
  return {{SampleType::Float32, rate, channels, interleaved}, uint32_t(samples.size() / channels), samples, {}};
}

// A mono stream's conversion shows in every take (component/sound_take_test).
TEST(PCMConverter, AveragesPlanarChannelsAndYieldsNothingForAFormatItCannotConvert) {
  PCMConverter converter;
  Tone tone(440, 0.5);
  std::vector<float> planar(2 * 4800);  // the same tone on both sides
  for (int i = 0; i < 4800; ++i) planar[i] = planar[4800 + i] = tone.next(48000);
  MonoBatch mono = converter.convert(floatBuffer(planar, 2, false));
  EXPECT_NEAR(double(mono.size()), 1600, 64);
  EXPECT_NEAR(rmsOf(mono), 0.5 / std::sqrt(2), 0.01);
  std::vector<float> ten(10, 0.1f);
  EXPECT_TRUE(converter.convert(floatBuffer(ten, 1, true, 0)).empty());
  EXPECT_TRUE(converter.convert(floatBuffer(ten, 1, true, 0)).empty());  // and so does the next
}

TEST(MicCapture, DownmixAveragesAtMostTheFirstTwoFloatChannels) {
  auto mono = [](const std::vector<float>& s, uint32_t ch) { return MicCapture::downmixToMono(floatBuffer(s, ch), 2); };
  auto opposite = mono({0.5f, -0.5f, 0.5f, -0.5f}, 2);
  ASSERT_TRUE(opposite);
  EXPECT_EQ(opposite->buffer().frameLength, 2u);
  EXPECT_EQ(opposite->buffer().floatSample(0, 0), 0.0f);
  EXPECT_EQ(mono({0.25f, 0.25f}, 2)->buffer().floatSample(0, 0), 0.25f);
  EXPECT_EQ(mono({1.0f, 0.5f, 9.0f, 9.0f}, 4)->buffer().floatSample(0, 0), 0.75f);
  EXPECT_EQ(mono({0.1f, 0.2f}, 1)->buffer().floatSample(0, 1), 0.2f);
  std::vector<int16_t> ints{1, 2, 3, 4};
  EXPECT_FALSE(MicCapture::downmixToMono(PcmBuffer{{SampleType::Int16, 48000, 2, true}, 2, {}, ints}, 2));
  EXPECT_FALSE(mono({}, 2));
}

// An hour's worth of the mixer's placement runs in a minute of simulated
// arrivals: the system audio every 20 ms, the microphone every 100 ms, each
// with up to 15 ms of jitter, while the microphone stalls 500 ms at a time.
// Paired by arrival order, the stream would grow by each stall that outlasts
// the wait for the other source; on the take's clock it lasts as long as the
// take, and the sources stay paired.
TEST(MixTimeline, KeepsTheStreamOnTheTakesClockThroughStallsAndLosses) {
  constexpr int64_t kRate = int64_t(PCMConverter::kCommonSampleRate), kSeconds = 60;
  constexpr int64_t kTolerance = kRate / 20;  // 50 ms
  enum Stall { none, backlog, lost, past };   // what the source does after each stall
  struct Row {
    const char* name;
    Stall stall;
    int64_t stallMs;
    int64_t silenced, dropped, alone;  // expected, in samples, within kTolerance each
  };
  const Row rows[] = {
      {"steady", none, 0, 0, 0, 0},
      // The backlog arrives at once after each of six stalls: nothing is lost.
      {"backlog", backlog, 500, 0, 0, 0},
      // The stalled span never arrives: six times 500 ms of silence, and as
      // much of the system audio alone.
      {"lost", lost, 500, 6 * kRate / 2, 0, 6 * kRate / 2},
      // 1.5 s, after 100 ms pieces: the 570 ms or so of each backlog whose place was
      // written a second behind the clock go, and the system audio is alone there.
      {"stalled past the hold", backlog, 1500, 0, 6 * kRate * 57 / 100, 6 * kRate * 57 / 100},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const auto t0 = MixTimeline::Clock::time_point() + std::chrono::hours(1);
    auto at = [&](int64_t us) { return t0 + std::chrono::microseconds(us); };
    MixTimeline timeline(t0);
    MonoBatch stream;
    auto keep = [&](MonoBatch b) { stream.insert(stream.end(), b.begin(), b.end()); };
    uint32_t jitter = 12345;
    auto late = [&] { return int64_t((jitter = jitter * 1664525 + 1013904223) >> 8) % 15000; };
    int64_t micHeld = 0;  // pieces the stalled microphone owes
    for (int64_t ms = 20; ms <= kSeconds * 1000; ms += 20) {
      timeline.add(MixTimeline::system, MonoBatch(size_t(kRate / 50), 20000), at(ms * 1000 + late()));
      if (ms % 100 == 0) {
        bool stalled = row.stall != none && ms % 10000 > 2000 && ms % 10000 <= 2000 + row.stallMs;
        micHeld = stalled ? micHeld + 1 : row.stall == lost ? 0 : micHeld;
        // What it owes comes in its usual pieces, all at once.
        for (auto t = at(ms * 1000 + late()); !stalled && micHeld >= 0; --micHeld)
          timeline.add(MixTimeline::mic, MonoBatch(size_t(kRate / 10), 20000), t);
        micHeld = std::max<int64_t>(micHeld, 0);
      }
      keep(timeline.take(at(ms * 1000 + 1000)));
    }
    keep(timeline.takeAll());
    EXPECT_NEAR(double(stream.size()), double(kSeconds * kRate), double(kTolerance)) << "the take lasts a minute";
    EXPECT_NEAR(double(timeline.silencedSamples()), double(row.silenced), double(kTolerance));
    EXPECT_NEAR(double(timeline.droppedSamples()), double(row.dropped), double(kTolerance));
    auto alone = std::count_if(stream.begin(), stream.end(), [](int16_t v) { return v != 32767; });  // both, saturated
    // Where a resumed source lands moves with its arrivals' jitter, up to 15 ms a stall.
    EXPECT_NEAR(double(alone), double(row.alone), double(2 * kTolerance)) << "samples not paired";
  }
}

struct MixerHarness {
  MixerHarness() {
    mixer.setOnFrame([this](MonoBatch b) {
      std::lock_guard lock(mutex);
      batches.push_back(std::move(b));
    });
  }
  std::vector<MonoBatch> taken() {
    std::lock_guard lock(mutex);
    return std::exchange(batches, {});
  }
  std::mutex mutex;
  std::vector<MonoBatch> batches;
  AudioMixer mixer;
};

TEST(AudioMixer, MixesOnItsTimerAndStopHandsOnEverythingPending) {
  MixerHarness h;
  h.mixer.feedMic(MonoBatch(500, 1));
  h.mixer.feedSystem(MonoBatch(300, 2));
  h.mixer.stop();  // never started: the pass still runs
  MonoBatch both(500, 1);
  std::fill_n(both.begin(), 300, int16_t(3));
  EXPECT_EQ(h.taken(), (std::vector<MonoBatch>{both}));

  h.mixer.start();
  h.mixer.feedMic(MonoBatch(320, 1));
  h.mixer.feedSystem(MonoBatch(320, 2));
  std::vector<MonoBatch> mixed;
  for (int i = 0; i < 500 && mixed.empty(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    mixed = h.taken();
  }
  EXPECT_EQ(mixed, (std::vector<MonoBatch>{MonoBatch(320, 3)})) << "the timer did not mix along the way";
  h.mixer.feedMic(MonoBatch(100, 1));
  h.mixer.stop();
  EXPECT_EQ(h.taken(), (std::vector<MonoBatch>{MonoBatch(100, 1)}));
  EXPECT_EQ(h.mixer.droppedSamples(), 0u);
}

// Two sources whose clocks run 0.1 % fast and 0.1 % slow, delivering every
// 20 ms with up to 15 ms of jitter, for an hour: each stays within 50 ms of
// the clock (uncorrected, they would be 3.6 s off, and the mixer would drop
// what the fast one runs ahead), and its 440 Hz tone comes out as 440 Hz
// of the clock without a click: no sample lost or repeated.
TEST(DriftCorrector, KeepsSourcesOnFastOrSlowClocksWithinFiftyMillisecondsOfTheClockForAnHour) {
  constexpr double kRate = PCMConverter::kCommonSampleRate, kAmplitude = 10000;
  const auto t0 = DriftCorrector::Clock::time_point() + std::chrono::hours(1);
  for (double speed : {1.001, 0.999}) {
    SCOPED_TRACE(speed);
    DriftCorrector drift;
    // The tone as the source samples it: 440 Hz of real time at its own rate.
    const double step = 2 * M_PI * 440 / (kRate * speed);
    std::complex<double> phase = 1, turn = std::polar(1.0, step);
    uint32_t jitter = 12345;
    int64_t made = 0, out = 0, worstLag = 0;
    int16_t y1 = 0, y2 = 0;
    double worstBend = 0;
    for (int64_t tick = 1; tick <= 180'000; ++tick) {  // 20 ms each
      double t = double(tick) * 0.02;
      MonoBatch batch(size_t(std::floor(t * kRate * speed) - double(made)));
      for (int16_t& v : batch) v = int16_t(std::lround(kAmplitude * phase.imag())), phase *= turn;
      made += int64_t(batch.size());
      jitter = jitter * 1664525 + 1013904223;
      auto at = t0 + std::chrono::duration_cast<DriftCorrector::Clock::duration>(
                         std::chrono::duration<double>(t + (jitter >> 8) % 15000 / 1e6));
      for (int16_t v : drift.correct(std::move(batch), at)) {
        // Where a sample was lost or repeated, the tone's curve bends at once.
        if (out++ >= 2) worstBend = std::max(worstBend, std::abs(double(v) - 2.0 * y1 + y2));
        y2 = y1, y1 = v;
      }
      worstLag = std::max(worstLag, std::abs(out - int64_t(t * kRate)));
    }
    EXPECT_LE(worstLag, int64_t(0.05 * kRate)) << "samples off the clock";
    EXPECT_NEAR(drift.stretch(), 1 / speed, 1e-5);
    // A clean 440 Hz bends by at most A·(2π·440/16000)² ≈ 300; a lost sample, by about 1700.
    EXPECT_LT(worstBend, 400);
  }
}

// What the microphone delivers, converted, is checked in takes (component/sound_take_test).
TEST(MicCapture, StartsOnceStopsDeliveringAndLeavesNoTapWhenItCannotStart) {
  test::CapturedOutput out;
  platform::sim::SimAudioInput input;
  MicCapture mic{input};
  size_t delivered = 0;  // on the test thread, which plays the input's thread
  mic.setOnFrame([&](MonoBatch b) { delivered += b.size(); });
  for (AudioFormat f : {AudioFormat{SampleType::Float32, 0, 1, true}, AudioFormat{SampleType::Float32, 48000, 0, true}}) {
    input.format = f;
    EXPECT_THROW(mic.start(), Error);
  }
  input.format = {SampleType::Float32, 48000, 1, true};
  input.startFailure = Error("PulseAudio", 6, "Connection refused");
  EXPECT_THROW(mic.start(), Error);
  EXPECT_FALSE(mic.isRunning());
  EXPECT_EQ(input.tapsInstalled() - input.tapsRemoved(), 0);
  input.startFailure.reset();
  mic.start();
  mic.start();
  EXPECT_EQ(input.tapsInstalled() - input.tapsRemoved(), 1);
  Tone tone(440, 0.25);
  input.play(tone, 4096);
  EXPECT_GT(delivered, 0u);
  mic.stop();
  mic.stop();
  size_t before = delivered;
  input.play(tone, 4096);
  EXPECT_EQ(delivered, before);
}

TEST(SystemAudioCapture, StartsOnceAndReleasesEverythingAtStopOrWhenAStepFails) {
  test::CapturedOutput out;
  const std::function<void(platform::sim::SimSystemAudio&)> faults[] = {
      [](auto& s) { s.tapStatus = -1; }, [](auto& s) { s.deviceStatus = -2; }, [](auto& s) { s.ioProcStatus = -3; },
      [](auto& s) { s.ioProcWithoutHandle = true; }, [](auto& s) { s.startStatus = -4; }};
  for (size_t i = 0; i < std::size(faults); ++i) {
    platform::sim::SimSystemAudio service;
    faults[i](service);
    SystemAudioCapture failing(service, true);
    EXPECT_THROW(failing.start(), Error) << i;
    EXPECT_EQ(service.liveTaps() + service.liveDevices() + service.liveProcs(), 0u) << i;
    EXPECT_FALSE(failing.isRunning());
  }
  platform::sim::SimSystemAudio service;
  SystemAudioCapture unavailable(service, false);
  EXPECT_THROW(unavailable.start(), Error);
  EXPECT_TRUE(service.tapDescriptions().empty());
  SystemAudioCapture capture(service, true);
  capture.start();
  capture.start();
  ASSERT_EQ(service.tapDescriptions().size(), 1u);
  EXPECT_EQ(service.deviceDescriptions()[0].name, "Ostrel Helper System Audio");  // what people see on the sound server
  EXPECT_TRUE(service.deviceRunning());
  capture.stop();
  capture.stop();
  EXPECT_EQ(service.liveTaps() + service.liveDevices() + service.liveProcs(), 0u);
}

}  // namespace
}  // namespace vantor
