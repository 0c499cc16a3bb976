// The screen recorder on the simulated platform, on the recording-output
// path (the real platform's) and the writer path.

#include "recorder/screen_recorder.h"

#include <gtest/gtest.h>

#include <fstream>

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
    EXPECT_EQ(sim.media.writers()[0]->appendedIndices, (std::vector<uint64_t>{0, 1, 2, 9, 10, 10}));
  }
  // The latest valid frame outlives the take, for screenshots.
  test::runOn(main, recorder().discard());
  EXPECT_EQ(recorder().currentSampleBuffer()->index, 10u);
}

// Each way a start fails passes its error on, leaves no stream capturing,
// and keeps an older movie only when the failure came before the take began.
TEST_P(Recorder, AFailedStartPassesItsErrorOnAndLeavesNothingRunning) {
  const Error created("Vantor.Media", 2, "cannot create take.mp4: Permission denied");
  struct Case {
    std::function<void()> arrange;
    CaptureTargetMeta target;
    std::string error;
    bool oldMovieKept;
  };
  const Case cases[] = {
      {[] {}, {CaptureKind::window, "99", "Window 99"}, "Capture target not found", true},
      {[&] { sim.capture.contentQueryFailure = Error("Vantor.X11", 3, "connection lost"); }, kDisplay, "connection lost", true},
      {[&] { (GetParam() ? sim.media.outputCreationFailure : sim.media.writerCreationFailure) = created; }, kDisplay,
       created.description(), false},
      {[&] { sim.capture.addOutputFailure = Error("Vantor.X11", 8, "no output"); }, kDisplay, "no output", false},
      {[&] { sim.capture.captureStartFailure = Error("Vantor.X11", 7, "grab refused"); }, kDisplay, "grab refused", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.error);
    sim.capture.contentQueryFailure.reset();
    sim.capture.addOutputFailure.reset();
    sim.capture.captureStartFailure.reset();
    sim.media.outputCreationFailure.reset();
    sim.media.writerCreationFailure.reset();
    c.arrange();
    std::ofstream(video) << "old";
    try {
      startOn(c.target);
      ADD_FAILURE() << "the start succeeded";
    } catch (const Error& e) {
      EXPECT_EQ(e.description(), c.error);
    }
    EXPECT_EQ(std::filesystem::exists(video), c.oldMovieKept);
    for (auto& s : sim.capture.streams()) EXPECT_FALSE(s->isCapturing());
    EXPECT_THROW(stop(), Error) << "a failed start left a take to stop";
  }
}

INSTANTIATE_TEST_SUITE_P(BothPaths, Recorder, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "RecordingOutput" : "Writer"; });

using WriterPath = Recorder;

TEST_P(WriterPath, StartsAtTheFirstFrameDropsWhenBusyAndHoldsTheLastImageUntilTheStop) {
  startOn();
  frames(2);
  auto writer = sim.media.writers()[0];
  EXPECT_EQ(writer->startWritingCalls, 1);
  ASSERT_TRUE(writer->sessionStart);
  writer->readyForMore = false;
  frames(2);
  writer->readyForMore = true;
  frames(1);
  stop();
  // The last written image once more, stamped at the stop, so the movie lasts the whole take.
  EXPECT_EQ(writer->appendedIndices, (std::vector<uint64_t>{0, 1, 4, 4}));
  EXPECT_GT(writer->appendedTimes[3], writer->appendedTimes[2]);
  EXPECT_TRUE(writer->markedFinished && writer->finished);
}

INSTANTIATE_TEST_SUITE_P(Writer, WriterPath, ::testing::Values(false));

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
}

INSTANTIATE_TEST_SUITE_P(RecordingOutput, OutputPath, ::testing::Values(true));

}  // namespace
}  // namespace vantor
