// The controller on the simulated platform: start, stop, pause, resume,
// the timers and the level arithmetic.

#include "control/capture_state.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "support/controller_fixture.h"

namespace vantor {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using platform::sim::SimScreenCapture;

using test::errorEvent;
using test::statusEvent;

class CaptureStateTest : public test::ControllerFixture {
 protected:
  CaptureStateTest() : ControllerFixture("state") {}

  StartCommand command(std::string target = "", std::string file = "take.mp4") {
    return {std::move(target), false, (scratch / file).string(), ""};
  }
};

TEST_F(CaptureStateTest, CommandsThatNeedATakeAnswerNotRecording) {
  EXPECT_EQ(stop(), std::nullopt);
  onMain([&] { state.pause(); });
  onMain([&] { state.resume(); });
  test::runOn(main, state.restart());
  test::runOn(main, state.discard());
  test::runOn(main, state.screenshot());
  EXPECT_EQ(out.events(), (std::vector<json>{errorEvent("not recording"), errorEvent("not recording"), errorEvent("not recording"),
                                             errorEvent("not recording"), errorEvent("not recording"),
                                             errorEvent("screenshot: no active capture target")}));
  EXPECT_TRUE(out.logLines().empty());
}

TEST_F(CaptureStateTest, AStartThatCannotResolveItsTargetSaysWhyAfterStarting) {
  sim.capture.displays.clear();
  start(command("", "sub/take.mp4"));
  sim.capture.contentQueryFailure = Error("Vantor.X11", 2, "cannot connect to X server :5");
  start(command("main", "sub/take.mp4"));
  EXPECT_EQ(out.events(), (std::vector<json>{statusEvent("starting"), errorEvent("No displays found"), statusEvent("starting"),
                                             errorEvent("Failed to resolve capture target: cannot connect to X server :5")}));
  EXPECT_FALSE(state.lastStartCommand());
  EXPECT_FALSE(std::filesystem::exists(scratch / "sub"));
}

TEST_F(CaptureStateTest, ARecorderFailureKeepsTheCommandAndTargetForLater) {
  StartCommand c = command("window-42", "deep/er/take.mp4");
  start(c);
  EXPECT_EQ(out.events(), (std::vector<json>{statusEvent("starting"), errorEvent("recorder.start failed: Capture target not found")}));
  EXPECT_EQ(state.lastStartCommand(), c);
  EXPECT_EQ(state.lastTargetMeta(), (CaptureTargetMeta{CaptureKind::window, "42", "Window 42"}));
  EXPECT_TRUE(std::filesystem::is_directory(scratch / "deep/er"));
  EXPECT_FALSE(state.isRecording());
  EXPECT_EQ(stop(), std::nullopt);
}

TEST_F(CaptureStateTest, ATakeRunsFromStartToStopAndCannotStartTwice) {
  start(command("", "a/b/take.mp4"));
  EXPECT_TRUE(state.isRecording());
  start(command());
  EXPECT_EQ(out.events(), (std::vector<json>{statusEvent("starting"), statusEvent("recording"), errorEvent("already recording")}));
  out.clear();
  EXPECT_EQ(stop(), (scratch / "a/b/take.mp4").string());
  EXPECT_EQ(out.events(), std::vector<json>{statusEvent("stopping")});
  EXPECT_FALSE(state.isRecording());
  EXPECT_EQ(stop(), std::nullopt);
  // Stop keeps what restart and screenshots need.
  EXPECT_TRUE(state.lastStartCommand());
  EXPECT_TRUE(state.lastTargetMeta());
}

TEST_F(CaptureStateTest, ARecorderThatCannotStopReportsItAndLeavesTheTakeStopped) {
  sim.capabilities.recordingOutput = false;
  CaptureState writerState{main, sim.platform(), events};
  test::runOn(main, writerState.start(command()));
  sim.capture.captureStopFailure = Error("Vantor.X11", 3, "connection lost");
  out.clear();
  EXPECT_EQ(test::runOn(main, writerState.stop()), std::nullopt);
  EXPECT_EQ(out.events(), (std::vector<json>{statusEvent("stopping"), errorEvent("recorder.stop failed: connection lost")}));
  EXPECT_FALSE(writerState.isRecording());
}

TEST_F(CaptureStateTest, PauseAndResumeAnswerEachStateAndReachTheRecorder) {
  start(command());
  out.clear();
  onMain([&] { state.pause(); });
  EXPECT_TRUE(state.recorder().isPaused());
  onMain([&] { state.pause(); });
  onMain([&] { state.resume(); });
  EXPECT_FALSE(state.recorder().isPaused());
  onMain([&] { state.resume(); });
  EXPECT_EQ(out.events(), (std::vector<json>{statusEvent("paused"), errorEvent("already paused"), statusEvent("recording"),
                                             errorEvent("not paused")}));
  EXPECT_EQ(out.logLines(), (std::vector<std::string>{"[INFO] vantor: paused", "[INFO] vantor: resumed"}));
  stop();
}

TEST_F(CaptureStateTest, ElapsedTimeStandsStillWhilePausedAndAddsUpOverPauses) {
  start(command());
  double atPause = 0, duringPause = 0, total = 0;
  for (int cycle = 0; cycle < 2; ++cycle) {
    wait(50ms);
    onMain([&] {
      state.pause();
      atPause = state.elapsedSeconds();
    });
    wait(400ms);
    onMain([&] {
      duringPause = state.elapsedSeconds();
      state.resume();
    });
    EXPECT_EQ(duringPause, atPause);  // exactly: two screenshots in one pause carry one timestamp
  }
  wait(50ms);
  onMain([&] { total = state.elapsedSeconds(); });
  // Three 50 ms stretches of recording; the two 400 ms pauses do not count
  // (had they counted, the total would pass 0.95 s). Slack for a loaded machine.
  EXPECT_GE(total, 0.15);
  EXPECT_LT(total, 0.65);
  stop();
}

TEST_F(CaptureStateTest, ElapsedEventsComeEverySecondAndStopWithTheTake) {
  start(command());
  wait(1150ms);
  auto elapsed = eventsOfType("elapsed");
  ASSERT_EQ(elapsed.size(), 1u);
  EXPECT_NEAR(elapsed[0]["seconds"].get<double>(), 1.0, 0.3);
  stop();
  wait(1100ms);
  EXPECT_EQ(eventsOfType("elapsed").size(), 1u);
}

TEST_F(CaptureStateTest, LevelEventsReportTheSamplesSinceTheLastTickOnly) {
  start(command());
  wait(250ms);
  EXPECT_TRUE(eventsOfType("micLevel").empty());  // no microphone, no level
  state.appendMicSamples(std::vector<int16_t>(1600, 16384));
  wait(150ms);
  auto levels = eventsOfType("micLevel");
  ASSERT_EQ(levels.size(), 1u);
  EXPECT_DOUBLE_EQ(levels[0]["value"].get<double>(), 0.5);
  stop();
}

TEST(MicLevel, IsTheRmsOverFullScaleCappedAtOne) {
  EXPECT_EQ(CaptureState::micLevel(std::vector<int16_t>(160, 0)), 0.0);
  EXPECT_EQ(CaptureState::micLevel(std::vector<int16_t>(160, -32768)), 1.0);
  EXPECT_EQ(CaptureState::micLevel(std::vector<int16_t>(160, 16384)), 0.5);
  EXPECT_DOUBLE_EQ(CaptureState::micLevel({3, -4, 3, -4}), std::sqrt(12.5) / 32768);
}

}  // namespace
}  // namespace vantor
