// The screen recorder on the simulated platform, on the recording-output
// path (the real platform's) and the writer path.

#include "recorder/screen_recorder.h"

#include <gtest/gtest.h>

#include "support/controller_fixture.h"

namespace vantor {
namespace {

using namespace std::chrono_literals;
using Report = platform::sim::SimMediaServices::Report;

const CaptureTargetMeta kDisplay{CaptureKind::display, "1", "Display 1"};

class Recorder : public test::ControllerFixture, public ::testing::WithParamInterface<bool> {
 public:
  Recorder() { sim.capabilities.recordingOutput = GetParam(); }
  ScreenRecorder& recorder() {
    if (!recorder_) recorder_ = std::make_unique<ScreenRecorder>(main, sim.platform(), 300ms);
    return *recorder_;
  }
  void startOn(CaptureTargetMeta target = kDisplay) { test::runOn(main, recorder().start(target, false, video)); }
  std::filesystem::path stop() { return test::runOn(main, recorder().stop()); }
  // Emits frames and lets the main loop deliver them.
  void frames(int n, bool valid = true) {
    for (int i = 0; i < n; ++i) sim.capture.lastStream()->emitFrame(valid);
    wait(5ms);
  }
  // How long a stop took.
  std::chrono::steady_clock::duration timedStop() {
    auto begun = std::chrono::steady_clock::now();
    stop();
    return std::chrono::steady_clock::now() - begun;
  }
  std::unique_ptr<ScreenRecorder> recorder_;
};

TEST_P(Recorder, StreamsTheTargetIntoOneMovieAndPausedFramesAreNotWritten) {
  startOn();
  const auto& config = sim.capture.lastStream()->configuration();
  EXPECT_EQ(std::tuple(config.width, config.height, config.queueDepth), std::tuple(1920, 1080, 6));
  EXPECT_EQ(config.minimumFrameInterval, std::chrono::nanoseconds(1s) / 60);
  frames(3);
  frames(2, /*valid=*/false);
  onMain([&] { recorder().setPaused(true); });
  frames(4);
  EXPECT_EQ(recorder().currentSampleBuffer()->index, 8u);  // screenshots still see the screen
  onMain([&] { recorder().setPaused(false); });
  frames(2);
  EXPECT_EQ(stop(), video);
  if (GetParam()) {
    ASSERT_EQ(sim.media.outputs().size(), 1u);
    EXPECT_EQ(sim.media.outputs()[0]->config.outputURL, video);
    EXPECT_EQ(sim.media.outputs()[0]->framesWritten.load(), 5);  // valid frames only, none while paused
    EXPECT_EQ(sim.media.outputs()[0]->framesSkipped.load(), 4);
  } else {
    ASSERT_EQ(sim.media.writers().size(), 1u);
    EXPECT_EQ(sim.media.writers()[0]->path, video);
    // The last image once more, stamped at the stop, so the movie lasts the whole take.
    EXPECT_EQ(sim.media.writers()[0]->appendedIndices, (std::vector<uint64_t>{0, 1, 2, 9, 10, 10}));
    EXPECT_GT(sim.media.writers()[0]->appendedTimes[5], sim.media.writers()[0]->appendedTimes[4]);
  }
  // The latest valid frame outlives the take, for screenshots.
  test::runOn(main, recorder().discard());
  EXPECT_EQ(recorder().currentSampleBuffer()->index, 10u);
}

INSTANTIATE_TEST_SUITE_P(BothPaths, Recorder, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "RecordingOutput" : "Writer"; });

using OutputPath = Recorder;

// The stop waits for the output's report (at most the 300 ms given here)
// and answers what it says; a timer of an earlier stop never ends a later wait.
TEST_P(OutputPath, StopAnswersTheOutputsReportOrWhatIsOnDiskWhenNoneComes) {
  sim.media.outputReportDelay = 50ms;
  startOn();
  EXPECT_GE(timedStop(), 50ms);
  EXPECT_TRUE(sim.media.outputs()[0]->stopped);
  sim.media.outputReportDelay = 0ms;
  sim.media.outputReport = Report::fail;
  startOn();
  try {
    stop();
    ADD_FAILURE() << "the stop returned a movie the output did not leave";
  } catch (const Error& e) {
    EXPECT_EQ(e.description(), "simulated recording failure");
  }
  sim.media.outputReport = Report::finish;
  startOn();
  stop();  // finished by its output; its timeout is still pending
  sim.media.outputReport = Report::never;
  startOn();
  wait(150ms);
  EXPECT_GE(timedStop(), 300ms);  // had the earlier timeout (due 150 ms in) ended it, shorter
  startOn();
  std::filesystem::remove(video);
  EXPECT_THROW(stop(), Error) << "a stop without a report or a file returned a movie";
  // A take thrown away has its output abandon it rather than finish it.
  startOn();
  test::runOn(main, recorder().discard());
  EXPECT_TRUE(sim.media.outputs().back()->abandoned);
  EXPECT_FALSE(sim.media.outputs()[0]->abandoned);
}

INSTANTIATE_TEST_SUITE_P(RecordingOutput, OutputPath, ::testing::Values(true));

}  // namespace
}  // namespace vantor
