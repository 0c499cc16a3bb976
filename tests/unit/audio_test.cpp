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

TEST(AudioMixer, AddsTheOverlapWithSaturationAndKeepsTheRest) {
  auto r = AudioMixer::mix({1000, -1000, 30000}, {500, -500, 5000, 7});
  EXPECT_EQ(r.mixed, (MonoBatch{1500, -1500, 32767}));
  EXPECT_TRUE(r.micRemainder.empty());
  EXPECT_EQ(r.sysRemainder, (MonoBatch{7}));
  EXPECT_EQ(AudioMixer::mix({-20000}, {-20000}).mixed, (MonoBatch{-32768}));
  EXPECT_EQ(AudioMixer::mix({}, {5, 6}).mixed, (MonoBatch{5, 6}));
  EXPECT_EQ(AudioMixer::mix({5, 6}, {}).mixed, (MonoBatch{5, 6}));
  EXPECT_TRUE(AudioMixer::mix({}, {}).mixed.empty());
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

TEST(AudioMixer, StopMixesWhatIsPendingAndASourceThatRunsAheadKeepsItsNewestTwoSeconds) {
  MixerHarness h;
  h.mixer.feedMic(MonoBatch(500, 1));
  h.mixer.feedSystem(MonoBatch(300, 2));
  h.mixer.stop();  // never started: the pass still runs
  EXPECT_EQ(h.taken(), (std::vector<MonoBatch>{MonoBatch(300, 3)}));
  h.mixer.stop();
  EXPECT_EQ(h.taken(), (std::vector<MonoBatch>{MonoBatch(200, 1)}));

  MonoBatch ramp(40000);
  std::iota(ramp.begin(), ramp.end(), int16_t(-20000));
  h.mixer.feedMic(ramp);
  h.mixer.feedSystem({1});
  h.mixer.stop();
  EXPECT_EQ(h.mixer.droppedSamples(), 40000u - AudioMixer::kMaxPendingSamples);
  auto first = h.taken();
  ASSERT_FALSE(first.empty());
  EXPECT_EQ(first[0], (MonoBatch{int16_t(ramp[40000 - AudioMixer::kMaxPendingSamples] + 1)}));
}

TEST(AudioMixer, SourcesInPiecesOfDifferentSizesStayPairedAndTheStreamKeepsTheirLength) {
  // One second of each, starting together: the microphone in 100 ms pieces,
  // the system audio in 20 ms ones. Written alone whenever the other had
  // nothing at a tick, the stream would grow longer than either source.
  MixerHarness h;
  h.mixer.start();
  auto next = std::chrono::steady_clock::now();
  for (int i = 1; i <= 50; ++i) {
    h.mixer.feedSystem(MonoBatch(320, 1));
    if (i % 5 == 1) h.mixer.feedMic(MonoBatch(1600, 2));
    next += std::chrono::milliseconds(20);
    std::this_thread::sleep_until(next);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(60));
  h.mixer.stop();
  size_t total = 0, alone = 0;
  auto batches = h.taken();
  EXPECT_GT(batches.size(), 5u) << "the timer did not mix along the way";
  for (const MonoBatch& b : batches) {
    total += b.size();
    for (int16_t v : b) alone += v != 3;
  }
  EXPECT_EQ(total, 16000u);
  EXPECT_EQ(alone, 0u);
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
