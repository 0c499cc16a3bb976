// The screen recorder on the simulated platform, on both paths.

#include "recorder/screen_recorder.h"

#include <gtest/gtest.h>

#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>
#include <filesystem>
#include <fstream>

#include "support/capture_sinks.h"
#include "support/run_coroutine.h"
#include "support/sim_platform.h"

namespace vantor {
namespace {

using namespace std::chrono_literals;
using platform::sim::SimMediaServices;
using platform::sim::SimStream;

const CaptureTargetMeta kDisplay{CaptureKind::display, "1", "Display 1"};

class RecorderTest : public ::testing::TestWithParam<bool> {
 protected:
  RecorderTest() {
    sim.capabilities.recordingOutput = GetParam();
    std::filesystem::create_directories(dir);
  }
  ~RecorderTest() override { std::filesystem::remove_all(dir); }

  bool recordingOutputPath() const { return GetParam(); }
  ScreenRecorder& recorder() {
    if (!recorder_) recorder_ = std::make_unique<ScreenRecorder>(main, sim.platform(), 300ms);
    return *recorder_;
  }
  void start(CaptureTargetMeta target = kDisplay, bool includeMic = false) {
    test::runOn(main, recorder().start(target, includeMic, video));
  }
  std::filesystem::path stop() { return test::runOn(main, recorder().stop()); }
  SimStream& stream() { return *sim.capture.lastStream(); }
  // Emits frames and lets the main loop deliver them.
  void frames(int n, bool valid = true) {
    for (int i = 0; i < n; ++i) stream().emitFrame(valid);
    settle(5ms);
  }
  void settle(std::chrono::milliseconds d) {
    test::runOn(main, [d]() -> asio::awaitable<void> {
      asio::steady_timer t(co_await asio::this_coro::executor, d);
      co_await t.async_wait(asio::use_awaitable);
    }());
  }
  std::vector<std::string> logs() const { return out.logLines(); }

  std::filesystem::path dir = std::filesystem::temp_directory_path() / ("vantor-rec-" + std::to_string(getpid()));
  std::filesystem::path video = dir / "take.mp4";
  test::CapturedOutput out;
  exec::MainLoop main;
  test::SimPlatform sim;
  std::unique_ptr<ScreenRecorder> recorder_;
};

TEST_P(RecorderTest, StartsAFixedStreamOnThePathOfThePlatformAndLogsEachStep) {
  start(kDisplay, /*includeMic=*/true);
  const auto& config = stream().configuration();
  EXPECT_EQ(config.width, 1920);
  EXPECT_EQ(config.height, 1080);
  EXPECT_EQ(config.minimumFrameInterval, std::chrono::nanoseconds(1s) / 60);
  EXPECT_EQ(config.queueDepth, 6);
  EXPECT_TRUE(stream().isCapturing());
  std::vector<std::string> expected{
      "[INFO] recorder.start: target=display/1 includeMic=true",
      R"([INFO] filter: requested kind=display id=1; available displays=["1"] windows=0)",
      recordingOutputPath() ? "[INFO] recorder.start: using SCRecordingOutput (macOS 15+) → take.mp4"
                            : "[INFO] recorder.start: using AVAssetWriter fallback (macOS 13–14)",
      "[INFO] recorder.start: capture started OK"};
  EXPECT_EQ(logs(), expected);
  if (recordingOutputPath()) {
    ASSERT_EQ(sim.media.outputs().size(), 1u);
    EXPECT_EQ(sim.media.outputs()[0]->config.outputURL, video);
    EXPECT_EQ(stream().recordingOutput(), sim.media.outputs()[0]);
  } else {
    ASSERT_EQ(sim.media.writers().size(), 1u);
    EXPECT_EQ(sim.media.writers()[0]->width, 1920);
    EXPECT_EQ(sim.media.writers()[0]->height, 1080);
    EXPECT_EQ(sim.media.writers()[0]->path, video);
  }
}

TEST_P(RecorderTest, ATargetWithoutAFilterFailsWithCodeOneAndLeavesTheOldFile) {
  std::ofstream(video) << "old";
  try {
    start({CaptureKind::window, "99", "Window 99"});
    FAIL() << "start should fail";
  } catch (const Error& e) {
    EXPECT_EQ(e.domain(), "Vantor.ScreenRecorder");
    EXPECT_EQ(e.code(), 1);
    EXPECT_EQ(e.description(), "Capture target not found");
  }
  EXPECT_EQ(logs().back(), "[ERROR] recorder.start: capture target not found (filter nil) — aborting");
  EXPECT_TRUE(std::filesystem::exists(video));
  EXPECT_TRUE(sim.capture.streams().empty());
}

TEST_P(RecorderTest, ACaptureStartFailureAdvisesARelaunchAfterTheOldFileIsGone) {
  std::ofstream(video) << "old";
  sim.capture.captureStartFailure = Error("Vantor.X11", 7, "the server refused the grab");
  EXPECT_THROW(start(), Error);
  EXPECT_FALSE(std::filesystem::exists(video));
  EXPECT_EQ(logs().back(),
            "[ERROR] recorder.start: stream.startCapture() failed: the server refused the grab. If you just granted "
            "Screen Recording, QUIT and relaunch — the grant only applies to a fresh launch.");
}

TEST_P(RecorderTest, FailuresToAttachOutputsPassThePlatformErrorWithoutALogLine) {
  sim.capture.addOutputFailure = Error("Vantor.X11", 8, "no output");
  EXPECT_THROW(start(), Error);
  EXPECT_EQ(logs().size(), 2u);  // the start line and the filter line only
}

TEST_P(RecorderTest, FailuresToMakeTheWriterOrOutputPassThePlatformErrorOn) {
  std::ofstream(video) << "old";
  Error failure("Vantor.Media", 2, "cannot create take.mp4: Permission denied");
  if (recordingOutputPath()) sim.media.outputCreationFailure = failure;
  else sim.media.writerCreationFailure = failure;
  try {
    start();
    FAIL() << "start should fail";
  } catch (const Error& e) {
    EXPECT_EQ(e.description(), failure.description());
  }
  EXPECT_FALSE(std::filesystem::exists(video));  // removed before the stream was built
  EXPECT_EQ(logs().size(), 2u);
}

TEST_P(RecorderTest, AFailedFilterLookupPassesThroughAndChangesNothing) {
  std::ofstream(video) << "old";
  sim.capture.contentQueryFailure = Error("Vantor.X11", 3, "connection lost");
  EXPECT_THROW(start(), Error);
  EXPECT_TRUE(std::filesystem::exists(video));
  EXPECT_EQ(logs(), std::vector<std::string>{"[INFO] recorder.start: target=display/1 includeMic=false"});
}

TEST_P(RecorderTest, StopWithoutATakeFailsWithCodeTwoEveryTime) {
  for (int i = 0; i < 2; ++i) {
    try {
      stop();
      FAIL();
    } catch (const Error& e) {
      EXPECT_EQ(e.code(), 2);
      EXPECT_EQ(e.domain(), "Vantor.ScreenRecorder");
    }
    if (i == 0) {
      start();
      EXPECT_EQ(stop(), video);
    }
  }
}

TEST_P(RecorderTest, KeepsTheLatestValidFrameAcrossStopsAndIgnoresInvalidOnes) {
  start();
  frames(3);
  frames(2, /*valid=*/false);
  ASSERT_TRUE(recorder().currentSampleBuffer());
  EXPECT_EQ(recorder().currentSampleBuffer()->index, 2u);
  stop();
  EXPECT_EQ(recorder().currentSampleBuffer()->index, 2u);
  test::runOn(main, recorder().discard());
  EXPECT_EQ(recorder().currentSampleBuffer()->index, 2u);
}

TEST_P(RecorderTest, APausedTakeWritesNoNewFrames) {
  start();
  frames(3);
  test::runOn(main, [&]() -> asio::awaitable<void> {
    recorder().setPaused(true);
    co_return;
  }());
  frames(4);
  EXPECT_EQ(recorder().currentSampleBuffer()->index, 6u);  // the still path goes on
  test::runOn(main, [&]() -> asio::awaitable<void> {
    recorder().setPaused(false);
    co_return;
  }());
  frames(2);
  if (recordingOutputPath()) {
    auto output = sim.media.outputs()[0];
    EXPECT_EQ(output->framesWritten.load(), 5);
    EXPECT_EQ(output->framesSkipped.load(), 4);
  } else {
    EXPECT_EQ(sim.media.writers()[0]->appendedIndices, (std::vector<uint64_t>{0, 1, 2, 7, 8}));
  }
  stop();
}

TEST_P(RecorderTest, DiscardStopsCaptureAndDeletesTheFile) {
  start();
  frames(2);
  std::ofstream(video) << "movie";
  test::runOn(main, recorder().discard());
  EXPECT_FALSE(std::filesystem::exists(video));
  EXPECT_THROW(stop(), Error);
  test::runOn(main, recorder().discard());  // nothing set up: harmless
}

INSTANTIATE_TEST_SUITE_P(BothPaths, RecorderTest, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "RecordingOutput" : "Writer"; });

class WriterPathTest : public RecorderTest {};

TEST_P(WriterPathTest, StartsTheSessionAtTheFirstFrameDropsWhenNotReadyAndHoldsTheLastFrameAtStop) {
  start();
  frames(2);
  auto writer = sim.media.writers()[0];
  EXPECT_EQ(writer->startWritingCalls, 1);
  ASSERT_TRUE(writer->sessionStart);
  writer->readyForMore = false;
  frames(2);
  writer->readyForMore = true;
  frames(1);
  EXPECT_EQ(writer->appendedIndices, (std::vector<uint64_t>{0, 1, 4}));
  stop();
  // The last written image once more, stamped at the stop, so the movie lasts the whole take.
  EXPECT_EQ(writer->appendedIndices, (std::vector<uint64_t>{0, 1, 4, 4}));
  EXPECT_GT(writer->appendedTimes[3], writer->appendedTimes[2]);
  EXPECT_TRUE(writer->markedFinished);
  EXPECT_TRUE(writer->finished);
}

TEST_P(WriterPathTest, AStreamThatFailsToStopLeavesTheTakeAsItWas) {
  start();
  sim.capture.captureStopFailure = Error("Vantor.X11", 3, "connection lost");
  EXPECT_THROW(stop(), Error);
  EXPECT_FALSE(sim.media.writers()[0]->finished);
  sim.capture.captureStopFailure.reset();
  EXPECT_EQ(stop(), video);
}

TEST_P(WriterPathTest, AStopBeforeAnyFrameCompletesAndReturnsTheFile) {
  start();
  EXPECT_EQ(stop(), video);
}

INSTANTIATE_TEST_SUITE_P(Writer, WriterPathTest, ::testing::Values(false));

class RecordingOutputPathTest : public RecorderTest {
 protected:
  std::string finalized(const char* source) {
    return std::string("[INFO] recorder.stop: SCRecordingOutput finalized (source=") + source + ")";
  }
};

TEST_P(RecordingOutputPathTest, StopWaitsForTheOutputsFinishReport) {
  sim.media.outputReportDelay = 50ms;
  start();
  frames(2);
  auto begun = std::chrono::steady_clock::now();
  EXPECT_EQ(stop(), video);
  EXPECT_GE(std::chrono::steady_clock::now() - begun, 50ms);
  EXPECT_TRUE(sim.media.outputs()[0]->stopped);
  EXPECT_EQ(logs().back(), finalized("delegate.finish"));
  settle(400ms);  // the timeout of that stop wakes and logs nothing
  EXPECT_EQ(logs().back(), finalized("delegate.finish"));
}

TEST_P(RecordingOutputPathTest, AnOutputThatLeftNoMovieFailsTheStop) {
  sim.media.outputReport = SimMediaServices::Report::fail;
  start();
  try {
    stop();
    ADD_FAILURE() << "the stop returned a movie";
  } catch (const Error& e) {
    EXPECT_EQ(e.description(), "simulated recording failure");
  }
  EXPECT_EQ(logs().back(), finalized("delegate.fail"));
}

TEST_P(RecordingOutputPathTest, AnOutputThatNeverReportsTimesOut) {
  sim.media.outputReport = SimMediaServices::Report::never;
  start();
  auto begun = std::chrono::steady_clock::now();
  EXPECT_EQ(stop(), video);
  EXPECT_GE(std::chrono::steady_clock::now() - begun, 300ms);
  EXPECT_EQ(logs().back(), finalized("timeout"));
}

TEST_P(RecordingOutputPathTest, AnEarlierStopsTimeoutNeverEndsALaterStopsWait) {
  start();
  stop();  // finished by its output; its timeout is still pending
  sim.media.outputReport = SimMediaServices::Report::never;
  start();
  settle(150ms);
  auto begun = std::chrono::steady_clock::now();
  stop();
  // Had the first stop's timeout (due 150 ms into this wait) ended it, this would be shorter.
  EXPECT_GE(std::chrono::steady_clock::now() - begun, 300ms);
}

INSTANTIATE_TEST_SUITE_P(RecordingOutput, RecordingOutputPathTest, ::testing::Values(true));

}  // namespace
}  // namespace vantor
