// Restart and discard on the simulated platform: what each leaves behind,
// the files thrown away, and the timers across a restart.

#include <gtest/gtest.h>

#include <fstream>

#include "support/controller_fixture.h"

namespace vantor {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using platform::sim::SimScreenCapture;
using platform::sim::Tone;
using test::errorEvent;
using test::statusEvent;

class RestartDiscardTest : public test::ControllerFixture {
 protected:
  RestartDiscardTest() : ControllerFixture("restart") {
    sim.media.assetFiles[video] = platform::sim::SimAssetFile{1, 0, platform::MediaTime{3, 1}};
    sim.media.assetFiles[audio] = platform::sim::SimAssetFile{0, 1, platform::MediaTime{48000, 16000}};
  }

  StartCommand command(bool includeMic, std::string target = "") {
    return {std::move(target), includeMic, video.string(), ""};
  }
  void restart() { test::runOn(main, state.restart()); }
  void discard() { test::runOn(main, state.discard()); }
  // What the recorder would have written so far.
  void writeVideo() { std::ofstream(video) << "old take"; }

  std::filesystem::path video = scratch / "take.mp4";
  std::filesystem::path audio = scratch / "take.caf";
};

TEST_F(RestartDiscardTest, RestartOfAPausedTakeWithSoundStartsAFreshUnpausedTakeInPlace) {
  start(command(true));
  writeVideo();
  playSound();
  wait(1100ms);  // one elapsed event from the old take
  onMain([&] { state.pause(); });
  out.clear();

  restart();
  EXPECT_EQ(out.events(), (std::vector<json>{statusEvent("restarting"), statusEvent("recording")}));
  EXPECT_TRUE(state.isRecording());
  EXPECT_FALSE(state.isPaused());
  EXPECT_FALSE(state.recorder().isPaused());
  EXPECT_EQ(state.lastStartCommand(), command(true));
  // The old video went with the old stream, which is gone; a new one captures.
  EXPECT_EQ(std::filesystem::file_size(video), 0u);
  ASSERT_EQ(sim.capture.streams().size(), 1u);
  EXPECT_TRUE(sim.capture.lastStream()->isCapturing());
  // A new audio file at the same place, fed by sources started again.
  EXPECT_EQ(state.audioFileURL(), audio.string());
  ASSERT_EQ(sim.media.audioWriters().size(), 2u);
  EXPECT_TRUE(sim.microphone.running());
  EXPECT_TRUE(sim.systemAudio.deviceRunning());
  EXPECT_EQ(sim.microphone.tapsInstalled(), 2);

  // The timers ran on; elapsed counts from the restart, unpaused.
  onMain([&] { EXPECT_LT(state.elapsedSeconds(), 0.2); });
  wait(1100ms);
  auto elapsed = eventsOfType("elapsed");
  ASSERT_FALSE(elapsed.empty());
  for (auto& e : elapsed) EXPECT_LT(e["seconds"].get<double>(), 1.2);  // the old take had 1.1 s

  EXPECT_EQ(stop(), video.string());
  EXPECT_EQ(sim.media.exports().size(), 1u);  // only the new take is combined
}

TEST_F(RestartDiscardTest, RestartOfATakeWithoutSoundStartsNoSound) {
  start(command(false));
  restart();
  EXPECT_TRUE(state.isRecording());
  EXPECT_FALSE(state.audioFileURL());
  EXPECT_TRUE(sim.media.audioWriters().empty());
  EXPECT_EQ(sim.microphone.tapsInstalled(), 0);
  EXPECT_TRUE(sim.systemAudio.tapDescriptions().empty());
}

TEST_F(RestartDiscardTest, ARestartThatCannotStartAgainLeavesNothingRunning) {
  sim.capture.windows = {SimScreenCapture::window(42, "Notes", "Editor")};
  start(command(true, "window-42"));
  writeVideo();
  playSound();
  sim.capture.windows.clear();  // the window closed
  out.clear();

  restart();
  EXPECT_EQ(out.events(), (std::vector<json>{statusEvent("restarting"),
                                             errorEvent("recorder.start (restart) failed: Capture target not found")}));
  EXPECT_FALSE(state.isRecording());
  EXPECT_FALSE(state.audioFileURL());
  EXPECT_FALSE(std::filesystem::exists(video));
  EXPECT_FALSE(std::filesystem::exists(audio));
  EXPECT_FALSE(sim.microphone.running());
  EXPECT_EQ(state.lastStartCommand(), command(true, "window-42"));
  EXPECT_EQ(state.lastTargetMeta(), (CaptureTargetMeta{CaptureKind::window, "42", "Window 42"}));
  wait(1100ms);
  EXPECT_TRUE(eventsOfType("elapsed").empty());  // the timers stopped
  EXPECT_TRUE(eventsOfType("micLevel").empty());

  out.clear();
  restart();
  EXPECT_EQ(out.events(), std::vector<json>{errorEvent("not recording")});
  start(command(false));  // a new start is accepted
  EXPECT_TRUE(state.isRecording());
}

TEST_F(RestartDiscardTest, ARestartThatCannotResolveItsTargetKeepsTheOldTarget) {
  start(command(false, "main"));
  auto target = state.lastTargetMeta();
  sim.capture.contentQueryFailure = Error("Vantor.X11", 2, "cannot connect to X server :5");
  out.clear();
  restart();
  EXPECT_EQ(out.events(),
            (std::vector<json>{statusEvent("restarting"), errorEvent("Failed to resolve capture target for restart: "
                                                                     "cannot connect to X server :5")}));
  EXPECT_EQ(state.lastTargetMeta(), target);
  EXPECT_FALSE(state.isRecording());

  sim.capture.contentQueryFailure.reset();
  start(command(false, "main"));
  sim.capture.displays.clear();
  out.clear();
  restart();
  EXPECT_EQ(out.events(), (std::vector<json>{statusEvent("restarting"), errorEvent("No displays found for restart")}));
  EXPECT_FALSE(state.isRecording());
}

TEST_F(RestartDiscardTest, DiscardThrowsTheTakeAwayAndForgetsItsCommand) {
  start(command(true));
  writeVideo();
  playSound();
  onMain([&] { state.pause(); });
  out.clear();

  discard();
  EXPECT_EQ(out.events(), (std::vector<json>{statusEvent("discarding"), statusEvent("discarded")}));
  EXPECT_FALSE(std::filesystem::exists(video));
  EXPECT_FALSE(std::filesystem::exists(audio));
  EXPECT_TRUE(sim.media.exports().empty());
  EXPECT_FALSE(state.isRecording());
  EXPECT_FALSE(state.isPaused());
  EXPECT_FALSE(state.lastStartCommand());
  EXPECT_FALSE(state.audioFileURL());
  EXPECT_TRUE(state.lastTargetMeta());  // screenshots still know the target
  onMain([&] { EXPECT_EQ(state.elapsedSeconds(), 0); });
  EXPECT_FALSE(sim.microphone.running());
  EXPECT_TRUE(sim.capture.streams().empty());

  out.clear();
  EXPECT_EQ(stop(), std::nullopt);
  restart();
  discard();
  wait(1100ms);
  EXPECT_EQ(out.events(), (std::vector<json>{errorEvent("not recording"), errorEvent("not recording"),
                                             errorEvent("not recording")}));

  // A take stopped while paused, or discarded so, passes no pause to the next.
  start(command(false));
  EXPECT_FALSE(state.recorder().isPaused());
}

}  // namespace
}  // namespace vantor
