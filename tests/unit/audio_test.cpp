// The audio components on the simulated sound services: conversion,
// channel reduction, mixing, and the microphone's and system audio's start,
// stop and failure paths with their exact messages.

#include <gtest/gtest.h>

#include <cmath>
#include <numeric>
#include <regex>

#include "audio/audio_mixer.h"
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

// Frequency of a batch from its rising zero crossings.
double frequencyOf(const MonoBatch& s, double rate) {
  int crossings = 0;
  for (size_t i = 1; i < s.size(); ++i) crossings += (s[i - 1] < 0 && s[i] >= 0);
  return crossings * rate / double(s.size());
}

double rmsOf(const MonoBatch& s) {
  double sum = 0;
  for (int16_t v : s) sum += double(v) * v;
  return std::sqrt(sum / double(s.size())) / 32768.0;
}

PcmBuffer floatBuffer(const std::vector<float>& samples, uint32_t channels, bool interleaved = true,
                      double rate = 48000) {
  return {{SampleType::Float32, rate, channels, interleaved}, uint32_t(samples.size() / channels), samples, {}};
}

TEST(PCMConverterTest, ConvertsAContinuousStreamToSixteenKilohertzMono) {
  EXPECT_EQ(PCMConverter::outputCapacity(48000, 4800), 1664u);
  EXPECT_EQ(PCMConverter::outputCapacity(48000, 1000), 397u);

  PCMConverter converter;
  Tone tone(440, 0.5);
  MonoBatch all;
  for (int b = 0; b < 20; ++b) {
    std::vector<float> samples(4096);
    for (float& v : samples) v = tone.next(48000);
    MonoBatch out = converter.convert(floatBuffer(samples, 1));
    all.insert(all.end(), out.begin(), out.end());
  }
  // A third as many samples, less what the filter still holds back.
  EXPECT_NEAR(double(all.size()), 20 * 4096 / 3.0, 64);
  EXPECT_NEAR(frequencyOf(all, 16000), 440, 2);
  EXPECT_NEAR(rmsOf(MonoBatch(all.begin() + 100, all.end())), 0.5 / std::sqrt(2), 0.01);

  // Stereo planar float of the same tone on both sides: the average.
  std::vector<float> planar(2 * 4800);
  for (int i = 0; i < 4800; ++i) planar[i] = planar[4800 + i] = tone.next(48000);
  MonoBatch stereo = converter.convert(floatBuffer(planar, 2, false));
  EXPECT_NEAR(rmsOf(MonoBatch(stereo.begin() + 100, stereo.end())), 0.5 / std::sqrt(2), 0.01);

  // A format no converter can be built for yields nothing, and so does the next.
  std::vector<float> ten(10, 0.1f);
  EXPECT_TRUE(converter.convert(floatBuffer(ten, 1, true, 0)).empty());
  EXPECT_TRUE(converter.convert(floatBuffer(ten, 1, true, 0)).empty());
}

TEST(DownmixTest, AveragesAtMostTheFirstTwoChannels) {
  auto mono = [](const std::vector<float>& s, uint32_t ch) { return MicCapture::downmixToMono(floatBuffer(s, ch), 2); };
  auto opposite = mono({0.5f, -0.5f, 0.5f, -0.5f}, 2);
  ASSERT_TRUE(opposite);
  EXPECT_EQ(opposite->buffer().frameLength, 2u);
  EXPECT_EQ(opposite->buffer().floatSample(0, 0), 0.0f);
  EXPECT_EQ(mono({0.25f, 0.25f}, 2)->buffer().floatSample(0, 0), 0.25f);
  EXPECT_EQ(mono({1.0f, 0.5f, 9.0f, 9.0f}, 4)->buffer().floatSample(0, 0), 0.75f);

  std::vector<float> one{0.1f, 0.2f};
  auto passed = mono(one, 1);
  EXPECT_EQ(passed->buffer().floatData.data(), one.data());  // no copy for mono input

  std::vector<int16_t> ints{1, 2, 3, 4};
  PcmBuffer intStereo{{SampleType::Int16, 48000, 2, true}, 2, {}, ints};
  EXPECT_FALSE(MicCapture::downmixToMono(intStereo, 2));
  EXPECT_FALSE(mono({}, 2));
}

TEST(AudioMixerTest, MixesTheOverlapWithSaturationAndKeepsTheRest) {
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

TEST(AudioMixerTest, StopRunsOneLastPassAndTheTimerMixesEveryTwentyMilliseconds) {
  MixerHarness h;
  h.mixer.feedMic(MonoBatch(500, 1));
  h.mixer.feedSystem(MonoBatch(300, 2));
  h.mixer.stop();  // never started: the pass still runs
  auto batches = h.taken();
  ASSERT_EQ(batches.size(), 1u);
  EXPECT_EQ(batches[0], MonoBatch(300, 3));
  h.mixer.stop();
  EXPECT_EQ(h.taken(), (std::vector<MonoBatch>{MonoBatch(200, 1)}));
  h.mixer.stop();
  EXPECT_TRUE(h.taken().empty());

  h.mixer.start();
  h.mixer.start();
  h.mixer.feedSystem(MonoBatch(320, 4));
  std::vector<MonoBatch> ticked;
  for (int i = 0; i < 100 && ticked.empty(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ticked = h.taken();
  }
  EXPECT_EQ(ticked, (std::vector<MonoBatch>{MonoBatch(320, 4)}));
  h.mixer.stop();
}

TEST(AudioMixerTest, ASourceThatRunsAheadKeepsOnlyItsNewestTwoSeconds) {
  MixerHarness h;
  MonoBatch ramp(40000);
  std::iota(ramp.begin(), ramp.end(), int16_t(-20000));
  h.mixer.feedMic(ramp);
  h.mixer.feedSystem({1});
  h.mixer.stop();
  EXPECT_EQ(h.mixer.droppedSamples(), 40000u - AudioMixer::kMaxPendingSamples);
  auto first = h.taken();
  ASSERT_EQ(first.size(), 1u);
  EXPECT_EQ(first[0], (MonoBatch{int16_t(ramp[40000 - AudioMixer::kMaxPendingSamples] + 1)}));
}

TEST(AudioMixerTest, SourcesInPiecesOfDifferentSizesStayPairedAndTheStreamKeepsTheirLength) {
  // One second of each at the same rate, starting together: the microphone
  // in 100 ms pieces, the system audio in 20 ms ones. Written alone whenever
  // the other had nothing at a tick, the stream would grow longer than
  // either source.
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
  for (const MonoBatch& b : h.taken()) {
    total += b.size();
    for (int16_t v : b) alone += v != 3;
  }
  EXPECT_EQ(total, 16000u);
  EXPECT_EQ(alone, 0u);
}

class MicCaptureTest : public ::testing::Test {
 protected:
  MicCaptureTest() {
    mic.setOnFrame([this](MonoBatch b) { samples.insert(samples.end(), b.begin(), b.end()); });
  }
  test::CapturedOutput out;
  platform::sim::SimAudioInput input;
  MicCapture mic{input};
  MonoBatch samples;  // on the test thread, which plays the input's thread
};

TEST_F(MicCaptureTest, RecordsTheDefaultInputUntilStopped) {
  mic.start();
  mic.start();
  EXPECT_EQ(input.tapsInstalled(), 1);
  EXPECT_EQ(input.requestedBufferFrames(), 4096u);
  Tone tone(440, 0.25);
  for (int i = 0; i < 10; ++i) input.play(tone, 4096);
  EXPECT_NEAR(double(samples.size()), 10 * 4096 / 3.0, 64);
  EXPECT_NEAR(frequencyOf(samples, 16000), 440, 3);
  mic.stop();
  mic.stop();
  size_t before = samples.size();
  input.play(tone, 4096);
  EXPECT_EQ(samples.size(), before);
}

TEST_F(MicCaptureTest, AnUnusableInputOrAFailedStartLeavesNoTapBehind) {
  for (AudioFormat f : {AudioFormat{SampleType::Float32, 0, 1, true}, AudioFormat{SampleType::Float32, 48000, 0, true}}) {
    input.format = f;
    try {
      mic.start();
      ADD_FAILURE() << "started";
    } catch (const Error& e) {
      EXPECT_EQ(e.domain(), "Vantor.Audio");
      EXPECT_EQ(e.code(), 1);
      EXPECT_EQ(e.description(), "No usable microphone input");
    }
  }
  EXPECT_EQ(input.tapsInstalled(), 0);

  input.format = {SampleType::Float32, 48000, 1, true};
  input.startFailure = Error("PulseAudio", 6, "Connection refused");
  EXPECT_THROW(mic.start(), Error);
  EXPECT_FALSE(mic.isRunning());
  EXPECT_EQ(input.tapsInstalled() - input.tapsRemoved(), 0);
  input.startFailure.reset();
  mic.start();
  EXPECT_EQ(input.tapsInstalled() - input.tapsRemoved(), 1);
  EXPECT_EQ(out.logLines().size(), 1u);
}

class SystemAudioCaptureTest : public ::testing::Test {
 protected:
  std::vector<std::string> errorOfStart() {
    try {
      capture.start();
    } catch (const Error& e) {
      return {std::to_string(e.code()), e.domain(), e.description()};
    }
    return {};
  }
  test::CapturedOutput out;
  platform::sim::SimSystemAudio service;
  SystemAudioCapture capture{service, true};
};

TEST_F(SystemAudioCaptureTest, StartBuildsTapDeviceAndProcedureAndStopReleasesThem) {
  capture.start();
  capture.start();
  ASSERT_EQ(service.tapDescriptions().size(), 1u);
  auto tap = service.tapDescriptions()[0];
  auto device = service.deviceDescriptions()[0];
  std::regex uuid("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}");
  EXPECT_TRUE(std::regex_match(tap.uuid, uuid)) << tap.uuid;
  EXPECT_EQ(tap.name, "OstrelHelperSystemAudio");
  EXPECT_EQ(device.name, "Ostrel Helper System Audio");
  EXPECT_EQ(device.tapUIDs, std::vector<std::string>{tap.uuid});
  std::string prefix = "com.vantor.helper.tap-aggregate-";
  ASSERT_EQ(device.uid.substr(0, prefix.size()), prefix);
  EXPECT_TRUE(std::regex_match(device.uid.substr(prefix.size()), uuid));
  EXPECT_NE(device.uid.substr(prefix.size()), tap.uuid);
  EXPECT_TRUE(service.deviceRunning());

  capture.stop();
  capture.stop();
  EXPECT_EQ(service.liveTaps() + service.liveDevices() + service.liveProcs(), 0u);
}

TEST_F(SystemAudioCaptureTest, EachFailingStepReleasesWhatItMadeAndSaysWhich) {
  struct Case {
    std::function<void(platform::sim::SimSystemAudio&)> inject;
    std::string code, description;
  };
  std::vector<Case> cases{
      {[](auto& s) { s.tapStatus = -1; }, "-1",
       "System audio tap creation failed (OSStatus -1). Grant System Audio Recording in System Settings → "
       "Privacy & Security."},
      {[](auto& s) { s.deviceStatus = -2; }, "-2", "Failed to create aggregate device for system-audio tap (OSStatus -2)"},
      {[](auto& s) { s.ioProcStatus = -3; }, "-3",
       "Failed to create IOProc for system-audio aggregate device (OSStatus -3)"},
      {[](auto& s) { s.ioProcWithoutHandle = true; }, "0",
       "Failed to create IOProc for system-audio aggregate device (OSStatus 0)"},
      {[](auto& s) { s.startStatus = -4; }, "-4", "Failed to start IOProc for system-audio aggregate device (OSStatus -4)"},
  };
  for (const Case& c : cases) {
    platform::sim::SimSystemAudio fresh;
    c.inject(fresh);
    SystemAudioCapture failing(fresh, true);
    try {
      failing.start();
      ADD_FAILURE() << c.description;
    } catch (const Error& e) {
      EXPECT_EQ(std::to_string(e.code()), c.code);
      EXPECT_EQ(e.domain(), "Vantor.Audio");
      EXPECT_EQ(e.description(), c.description);
    }
    EXPECT_EQ(fresh.liveTaps() + fresh.liveDevices() + fresh.liveProcs(), 0u) << c.description;
    EXPECT_EQ(failing.tapID() + failing.aggregateDeviceID(), 0u);
    EXPECT_FALSE(failing.isRunning());
  }

  SystemAudioCapture unavailable(service, false);
  try {
    unavailable.start();
    ADD_FAILURE();
  } catch (const Error& e) {
    EXPECT_EQ(e.code(), 2);
    EXPECT_EQ(e.description(), "System audio capture requires macOS 14.2 or later");
  }
  EXPECT_TRUE(service.tapDescriptions().empty());
}

TEST_F(SystemAudioCaptureTest, DeliversTheFirstTwoChannelsOfTheFirstBufferOnItsQueue) {
  std::mutex mutex;
  MonoBatch got;
  capture.setOnFrame([&](MonoBatch b) {
    std::lock_guard lock(mutex);
    got.insert(got.end(), b.begin(), b.end());
  });
  capture.start();
  Tone tone(1000, 0.5);
  // Six channels: 0 and 1 carry the tone, the rest are loud and ignored; a
  // trailing partial frame is ignored too.
  for (int b = 0; b < 20; ++b) {
    std::vector<float> six(480 * 6 + 1, 0.9f);
    for (int i = 0; i < 480; ++i) six[i * 6] = six[i * 6 + 1] = tone.next(48000);
    service.deliver({six}, {6});
  }
  // Unusable first buffers yield nothing, whatever follows them.
  service.deliver({{}, std::vector<float>(960, 0.9f)}, {2, 2});
  service.deliver({std::vector<float>(960, 0.9f)}, {0});
  capture.stop();  // the sim queues nothing after this; wait for what is queued
  for (int i = 0; i < 200; ++i) {
    {
      std::lock_guard lock(mutex);
      if (got.size() >= 3000) break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  std::lock_guard lock(mutex);
  EXPECT_NEAR(double(got.size()), 20 * 160, 64);
  EXPECT_NEAR(frequencyOf(got, 16000), 1000, 10);
  EXPECT_NEAR(rmsOf(MonoBatch(got.begin() + 100, got.end())), 0.5 / std::sqrt(2), 0.01);
}

}  // namespace
}  // namespace vantor

