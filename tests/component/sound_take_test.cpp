// Takes with sound on the simulated platform: both sources mixed into the
// file, the paused span written as silence, the level, the sound file's
// name, and the combination at stop with each of its outcomes.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fstream>

#include "output/mixed_audio_writer.h"
#include "support/controller_fixture.h"

namespace vantor {
namespace {

using namespace std::chrono_literals;
using platform::MediaTime;
using platform::sim::SimAssetFile;
using platform::sim::Tone;

std::string contentOf(const std::filesystem::path& p) {
  std::ifstream in(p);
  return {std::istreambuf_iterator<char>(in), {}};
}

class SoundTake : public test::ControllerFixture {
 public:
  // About a second of either source, in microphone-sized buffers.
  void playSecond(Tone* mic, Tone* system) { playSound(mic, system, 12); }
  std::vector<double> levels() {
    std::vector<double> v;
    for (auto& e : eventsOfType("micLevel")) v.push_back(e["value"]);
    return v;
  }
  std::vector<int16_t> written() {
    auto log = sim.media.audioWriters().at(0);
    std::lock_guard lock(log->mutex);
    return log->samples;
  }
};

TEST_F(SoundTake, MixesBothSourcesReportsTheMicrophonesLevelAndCombinesTheFilesAtStop) {
  // The sound file is named after the movie, but never is the movie, even
  // before the movie is on disk (a file already there is kept: system/take_test).
  EXPECT_EQ(CaptureState::freeAudioFileFor(scratch / "movie.caf"), scratch / "movie-1.caf");
  start(true);
  EXPECT_EQ(state->audioFileURL(), audio.string());
  Tone mic(440, 0.25), system(1000, 0.25);
  playSecond(&mic, &system);
  EXPECT_EQ(test::runOn(main, state->stop()), video.string());

  // Paired by arrival, a second of each makes one second mixed (0.25 RMS),
  // two unmixed (0.177), or anything between: either way the energy of both.
  auto samples = written();
  EXPECT_GE(samples.size(), 15800u);
  EXPECT_LE(samples.size(), 32200u);
  double sum = 0;
  for (size_t i = 200; i < samples.size(); ++i) sum += double(samples[i]) * samples[i];
  double rms = std::sqrt(sum / double(samples.size() - 200)) / 32768;
  EXPECT_NEAR(rms * std::sqrt(double(samples.size()) / 16000), 0.25, 0.02);
  ASSERT_FALSE(levels().empty());
  EXPECT_NEAR(levels().back(), 0.25 / std::sqrt(2), 0.01);  // the microphone's alone

  ASSERT_EQ(sim.media.exports().size(), 1u);
  EXPECT_EQ(sim.media.exports()[0].audio->duration.seconds(), 3.0);
  EXPECT_FALSE(std::filesystem::exists(audio));
  EXPECT_FALSE(std::filesystem::exists(CaptureState::muxedFileFor(video)));
  EXPECT_EQ(contentOf(video), "sim movie");
  EXPECT_TRUE(logged("[INFO] stop: mux succeeded \u2192 take.mp4"));
}

TEST_F(SoundTake, APausedSpanIsSilentInTheFileWhileTheLevelStaysLive) {
  // Both sources throughout; the simulated ones play faster than the clock,
  // so each lays its three seconds end to end from where its first landed.
  start(true);
  Tone mic(440, 0.5), system(1000, 0.5);
  playSecond(&mic, &system);
  send(R"({"type":"pause"})");
  size_t before = levels().size();
  playSecond(&mic, &system);
  auto pausedLevels = levels();
  send(R"({"type":"resume"})");
  playSecond(&mic, &system);
  test::runOn(main, state->stop());

  auto samples = written();
  // Where the sound begins depends on how soon after the start it came.
  size_t at = size_t(std::find_if(samples.begin(), samples.end(), [](int16_t v) { return v != 0; }) - samples.begin());
  ASSERT_NEAR(double(samples.size() - at), 48000, 100);
  auto loudness = [&](size_t from, size_t to) {
    double s = 0;
    for (size_t i = at + from; i < at + to; ++i) s += std::abs(samples[i]);
    return s / double(to - from);
  };
  EXPECT_GT(loudness(200, 15800), 5000);
  EXPECT_EQ(loudness(16200, 31800), 0);  // the paused second of both sources
  EXPECT_GT(loudness(32200, 47800), 5000);
  ASSERT_GT(pausedLevels.size(), before);
  EXPECT_NEAR(pausedLevels.back(), 0.5 / std::sqrt(2), 0.01);
}

TEST_F(SoundTake, ATakeWithoutSoundRecordsNoneAlsoAfterARestart) {
  start(false);
  send(R"({"type":"restart"})");
  playSound();
  EXPECT_EQ(test::runOn(main, state->stop()), video.string());
  EXPECT_EQ(sim.microphone.tapsInstalled(), 0);
  EXPECT_TRUE(sim.systemAudio.tapDescriptions().empty());
  EXPECT_TRUE(sim.media.audioWriters().empty());
  EXPECT_TRUE(sim.media.exports().empty());
  EXPECT_TRUE(eventsOfType("micLevel").empty());
}

// What stop makes of the files when the combination, the sound file or a
// source fails: a take never fails because of sound.
TEST_F(SoundTake, WhateverFailsWithTheSoundTheVideoIsKept) {
  struct Case {
    const char* name;
    std::function<void()> fault;
    const char* logLine;  // the mux result, or nothing when no sound file was written
    bool soundKept;
  };
  const Case cases[] = {
      {"the export fails", [&] { sim.media.exportOutcome = {platform::ExportOutcome::kFailed, Error("Vantor.Media", 7, "disk full")}; },
       "[ERROR] stop: mux failed (disk full); using video-only file", true},
      {"the video has no picture", [&] { sim.media.assetFiles[video] = SimAssetFile{0, 1, MediaTime{3, 1}}; },
       "[ERROR] stop: mux failed (The operation couldn\u2019t be completed. (Vantor.Mux error 1.)); using video-only file",
       true},
      {"neither source starts",
       [&] {
         sim.microphone.startFailure = Error("PulseAudio", 6, "Connection refused");
         sim.systemAudio.tapStatus = -1;
       },
       "[INFO] stop: mux succeeded \u2192 take.mp4", false},
      {"the sound file cannot be opened",
       [&] { sim.media.audioWriterCreationFailure = Error("Vantor.Media", 4, "Permission denied"); }, nullptr, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    c.fault();
    start(true);
    std::ofstream(video) << "video only";  // what the simulated recorder would have written
    playSound();
    EXPECT_EQ(test::runOn(main, state->stop()), video.string());
    for (auto& e : out.events()) EXPECT_NE(e["type"], "error");
    auto logs = out.logLines();
    if (c.logLine) EXPECT_TRUE(logged(c.logLine));
    else for (auto& l : logs) EXPECT_EQ(l.find("mux"), l.npos) << l;
    EXPECT_EQ(std::filesystem::exists(audio), c.soundKept);
    if (c.soundKept) EXPECT_EQ(contentOf(video), "video only");
    std::filesystem::remove(audio);
    sim.media.exportOutcome = {platform::ExportOutcome::kCompleted, std::nullopt};
    sim.media.assetFiles[video] = SimAssetFile{1, 0, MediaTime{3, 1}};
    sim.microphone.startFailure.reset();
    sim.systemAudio.tapStatus = 0;
    out.clear();
  }
}

TEST_F(SoundTake, ASourceThatFallsQuietIsLoggedOnceAndTheTakeGoesOn) {
  start(true);
  playSound();
  auto said = [&](const char* source) {  // nothing delivered since
    auto lines = out.logLines();
    return std::count_if(lines.begin(), lines.end(),
                         [&](auto& l) { return l.starts_with("[ERROR] ") && l.find(source) != l.npos; });
  };
  for (int i = 0; i < 50 && !(said("the microphone") && said("the system audio")); ++i) wait(100ms);
  wait(300ms);  // three more looks
  EXPECT_EQ(said("the microphone"), 1);
  EXPECT_EQ(said("the system audio"), 1);
  EXPECT_TRUE(state->isRecording());
}

// The writer places each batch right after the samples before it, so
// batches it had to drop leave no gap, and it writes only during a take.
TEST_F(SoundTake, TheWriterCountsTimeInSamplesWrittenNotBatchesOffered) {
  MixedAudioWriter writer{sim.media};
  writer.appendFrame(MonoBatch(10, 1));  // before start: dropped
  writer.start(scratch / "w.caf");
  auto file = sim.media.audioWriters().at(0);
  writer.appendFrame(MonoBatch(100, 2));
  EXPECT_EQ(writer.sampleCount(), 100);  // waits for the batches before it
  file->readyForMore = false;
  writer.appendFrame(MonoBatch(100, 3));
  file->readyForMore = true;
  file->refuseAppends = true;
  writer.appendFrame(MonoBatch(100, 4));
  EXPECT_EQ(writer.sampleCount(), 100);
  file->refuseAppends = false;
  writer.appendFrame(MonoBatch(50, 5));
  test::runOn(main, writer.finish());
  writer.appendFrame(MonoBatch(10, 1));  // after finish: dropped
  test::runOn(main, writer.finish());
  EXPECT_EQ(file->presentationSamples, (std::vector<int64_t>{0, 100}));
  MonoBatch expected(100, 2);
  expected.resize(150, 5);
  EXPECT_EQ(file->samples, expected);
  EXPECT_TRUE(file->finished);
}

}  // namespace
}  // namespace vantor
