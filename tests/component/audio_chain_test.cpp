// Takes with sound on the simulated platform: file names, wiring, the
// paused span written as silence, the level events, teardown and the
// combination at stop with each of its outcomes.

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>

#include "support/controller_fixture.h"

namespace vantor {
namespace {

using namespace std::chrono_literals;
using platform::MediaTime;
using platform::sim::SimAssetFile;
using platform::sim::Tone;

class AudioChainTest : public test::ControllerFixture {
 protected:
  AudioChainTest() : ControllerFixture("chain") {
    sim.media.assetFiles[video] = SimAssetFile{1, 0, MediaTime{3, 1}};
    sim.media.assetFiles[audio] = SimAssetFile{0, 1, MediaTime{48000, 16000}};
  }

  void start(bool includeMic = true) { ControllerFixture::start({"", includeMic, video.string(), ""}); }
  // One second of both sources, in mic-sized buffers, then time to mix.
  void playSecond(Tone* mic, Tone* system) {
    for (int i = 0; i < 12; ++i) {
      if (mic) sim.microphone.play(*mic, 4000);
      if (system) sim.systemAudio.play(*system, 4000);
    }
    wait(150ms);
  }
  void playSecond(Tone& mic, Tone& system) { playSecond(&mic, &system); }
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

  std::filesystem::path video = scratch / "take.mov";
  std::filesystem::path audio = scratch / "take.caf";
};

TEST(AudioFileNames, FollowTheVideoPath) {
  EXPECT_EQ(CaptureState::audioFileFor("/r/take.mov"), "/r/take.caf");
  EXPECT_EQ(CaptureState::audioFileFor("/r/take"), "/r/take.caf");
  EXPECT_EQ(CaptureState::muxedFileFor("/r/take.mov"), "/r/take.muxed.mp4");
  EXPECT_EQ(CaptureState::muxedFileFor("/r/take"), "/r/take.muxed.mp4");
}

TEST_F(AudioChainTest, RecordsBothSourcesReportsTheLevelAndCombinesAtStop) {
  start();
  EXPECT_EQ(state.audioFileURL(), audio.string());
  EXPECT_TRUE(sim.microphone.running());
  EXPECT_TRUE(sim.systemAudio.deviceRunning());

  Tone mic(440, 0.25), system(1000, 0.25);
  playSecond(mic, system);
  auto finished = stop();
  EXPECT_EQ(finished, video.string());

  // Both sources reach the file: paired by arrival, a second of each makes
  // one second mixed (0.25 RMS), two unmixed (0.177), or anything between.
  auto samples = written();
  EXPECT_GE(samples.size(), 15800u);
  EXPECT_LE(samples.size(), 32200u);
  double sum = 0;
  for (size_t i = 200; i < samples.size(); ++i) sum += double(samples[i]) * samples[i];
  double rms = std::sqrt(sum / double(samples.size() - 200)) / 32768;
  EXPECT_NEAR(rms * std::sqrt(double(samples.size()) / 16000), 0.25, 0.02);  // the energy of both tones

  // The level is the microphone's alone (0.25 / √2).
  auto v = levels();
  ASSERT_FALSE(v.empty());
  EXPECT_NEAR(v.back(), 0.1768, 0.01);

  ASSERT_EQ(sim.media.exports().size(), 1u);
  EXPECT_EQ(sim.media.exports()[0].audio->duration.seconds(), 3.0);
  EXPECT_FALSE(std::filesystem::exists(audio));
  EXPECT_FALSE(std::filesystem::exists(CaptureState::muxedFileFor(video)));
  std::ifstream moved(video);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(moved), {}), "sim movie");
  EXPECT_FALSE(state.audioFileURL());

  EXPECT_TRUE(logged("[INFO] stop: mux succeeded \u2192 take.mov"));
  auto logs = out.logLines();
  auto stopped = std::find(logs.begin(), logs.end(), "[INFO] Mic capture stopped");
  auto finishedLine = std::find_if(logs.begin(), logs.end(), [](auto& l) { return l.find("finish: wrote") != l.npos; });
  EXPECT_LT(stopped, finishedLine);  // sources stop before the file is finished
}

TEST_F(AudioChainTest, APausedSpanIsSilentInTheFileWhileTheLevelStaysLive) {
  // One source at a time, so that where each second lands in the file does
  // not depend on how the two interleave at the mixer.
  start();
  Tone mic(440, 0.5), system(1000, 0.5);
  playSecond(&mic, nullptr);
  onMain([&] { state.pause(); });
  size_t before = out.events().size();
  playSecond(&mic, nullptr);
  playSecond(nullptr, &system);
  auto pausedLevels = levels();
  onMain([&] { state.resume(); });
  playSecond(&mic, nullptr);
  stop();

  auto samples = written();
  ASSERT_NEAR(double(samples.size()), 64000, 100);
  auto loudness = [&](size_t from, size_t to) {
    double s = 0;
    for (size_t i = from; i < to; ++i) s += std::abs(samples[i]);
    return s / double(to - from);
  };
  EXPECT_GT(loudness(200, 15800), 5000);
  EXPECT_EQ(loudness(16200, 47800), 0);  // the paused second of each source
  EXPECT_GT(loudness(48200, 63800), 5000);
  EXPECT_GT(out.events().size(), before);
  EXPECT_NEAR(pausedLevels.back(), 0.3536, 0.01);
}

TEST_F(AudioChainTest, AnAudioFileThatCannotBeOpenedLeavesAVideoOnlyTake) {
  sim.media.audioWriterCreationFailure = Error("Vantor.Media", 4, "Permission denied");
  start();
  EXPECT_EQ(sim.microphone.tapsInstalled(), 0);
  EXPECT_TRUE(sim.systemAudio.tapDescriptions().empty());
  wait(250ms);
  EXPECT_EQ(stop(), video.string());
  EXPECT_TRUE(levels().empty());
  EXPECT_TRUE(sim.media.exports().empty());
  auto logs = out.logLines();
  EXPECT_TRUE(logged("[ERROR] audioWriter.start failed: Permission denied; continuing without audio file"));
  for (auto& l : logs) EXPECT_EQ(l.find("mux"), l.npos) << l;
}

TEST_F(AudioChainTest, AFailedCombinationKeepsTheVideoAndTheSoundFile) {
  sim.media.exportOutcome = {platform::ExportOutcome::kFailed, Error("Vantor.Media", 7, "disk full")};
  start();
  std::ofstream(video) << "video only";  // what the simulated recorder would have written
  Tone mic(440, 0.5), system(1000, 0.5);
  playSecond(mic, system);
  EXPECT_EQ(stop(), video.string());
  EXPECT_TRUE(logged("[ERROR] stop: mux failed (disk full); using video-only file"));
  EXPECT_TRUE(std::filesystem::exists(audio));
  std::ifstream kept(video);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), "video only");
}

TEST_F(AudioChainTest, SourcesThatCannotStartOrAreMissingLeaveTheOthersRecording) {
  sim.capabilities.systemAudio = false;
  CaptureState micOnly{main, sim.platform(), events};
  test::runOn(main, micOnly.start({"", true, video.string(), ""}));
  EXPECT_TRUE(sim.microphone.running());
  EXPECT_TRUE(sim.systemAudio.tapDescriptions().empty());
  test::runOn(main, micOnly.stop());

  out.clear();
  sim.microphone.startFailure = Error("PulseAudio", 6, "Connection refused");
  sim.systemAudio.tapStatus = -1;
  start();
  EXPECT_TRUE(state.isRecording());
  Tone mic(440, 0.5), system(1000, 0.5);
  playSecond(mic, system);
  EXPECT_EQ(stop(), video.string());
  // Neither failure is reported by the take itself.
  for (auto& e : out.events()) EXPECT_NE(e["type"], "error");
  EXPECT_TRUE(logged("[INFO] stop: mux succeeded \u2192 take.mov"));
}

TEST_F(AudioChainTest, ATakeWithoutSoundStartsNoSourceAndCombinesNothing) {
  start(false);
  EXPECT_FALSE(state.audioFileURL());
  EXPECT_EQ(sim.microphone.tapsInstalled(), 0);
  EXPECT_EQ(stop(), video.string());
  EXPECT_TRUE(sim.media.audioWriters().empty());
  EXPECT_TRUE(sim.media.exports().empty());
}

}  // namespace
}  // namespace vantor
