// The screen recorder on the simulated platform, on both paths.

#include "recorder/screen_recorder.h"

#include <gtest/gtest.h>

#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>
#include <filesystem>
#include <fstream>
#include <functional>

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

TEST_P(RecorderTest, StartsAFixedStreamFeedingTheOutputOfThePlatformsPath) {
  start(kDisplay, /*includeMic=*/true);
  const auto& config = stream().configuration();
  EXPECT_EQ(config.width, 1920);
  EXPECT_EQ(config.height, 1080);
  EXPECT_EQ(config.minimumFrameInterval, std::chrono::nanoseconds(1s) / 60);
  EXPECT_EQ(config.queueDepth, 6);
  EXPECT_TRUE(stream().isCapturing());
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

// Each way a start fails passes its error on, leaves no stream capturing,
// and keeps an older movie only when the failure came before the take began.
TEST_P(RecorderTest, AFailedStartPassesItsErrorOnAndLeavesNothingRunning) {
  const Error created("Vantor.Media", 2, "cannot create take.mp4: Permission denied");
  struct Case {
    const char* name;
    std::function<void()> arrange;
    CaptureTargetMeta target;
    std::string error;
    bool oldMovieKept;
  };
  std::vector<Case> cases{
      {"no such target", [] {}, {CaptureKind::window, "99", "Window 99"}, "Capture target not found", true},
      {"the target list cannot be read", [&] { sim.capture.contentQueryFailure = Error("Vantor.X11", 3, "connection lost"); },
       kDisplay, "connection lost", true},
      {"the file cannot be made",
       [&] {
         if (recordingOutputPath()) sim.media.outputCreationFailure = created;
         else sim.media.writerCreationFailure = created;
       },
       kDisplay, created.description(), false},
      {"the output cannot be attached", [&] { sim.capture.addOutputFailure = Error("Vantor.X11", 8, "no output"); },
       kDisplay, "no output", false},
      {"capture cannot start", [&] { sim.capture.captureStartFailure = Error("Vantor.X11", 7, "grab refused"); },
       kDisplay, "grab refused", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sim.capture.contentQueryFailure.reset();
    sim.capture.addOutputFailure.reset();
    sim.capture.captureStartFailure.reset();
    sim.media.outputCreationFailure.reset();
    sim.media.writerCreationFailure.reset();
    c.arrange();
    std::ofstream(video) << "old";
    try {
      start(c.target);
      ADD_FAILURE() << "the start succeeded";
    } catch (const Error& e) {
      EXPECT_EQ(e.description(), c.error);
    }
    EXPECT_EQ(std::filesystem::exists(video), c.oldMovieKept);
    for (auto& s : sim.capture.streams()) EXPECT_FALSE(s->isCapturing());
    EXPECT_THROW(stop(), Error) << "a failed start left a take to stop";
  }
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

class RecordingOutputPathTest : public RecorderTest {};

TEST_P(RecordingOutputPathTest, StopWaitsForTheOutputsReportAndAnswersWhatItSays) {
  sim.media.outputReportDelay = 50ms;
  start();
  frames(2);
  auto begun = std::chrono::steady_clock::now();
  EXPECT_EQ(stop(), video);
  EXPECT_GE(std::chrono::steady_clock::now() - begun, 50ms);
  EXPECT_TRUE(sim.media.outputs()[0]->stopped);

  sim.media.outputReportDelay = 0ms;
  sim.media.outputReport = SimMediaServices::Report::fail;
  start();
  try {
    stop();
    ADD_FAILURE() << "the stop returned a movie the output did not leave";
  } catch (const Error& e) {
    EXPECT_EQ(e.description(), "simulated recording failure");
  }
}

TEST_P(RecordingOutputPathTest, AnOutputThatNeverReportsTimesOutWithWhatIsOnDisk) {
  sim.media.outputReport = SimMediaServices::Report::never;
  start();
  auto begun = std::chrono::steady_clock::now();
  EXPECT_EQ(stop(), video);
  EXPECT_GE(std::chrono::steady_clock::now() - begun, 300ms);

  start();
  std::filesystem::remove(video);
  try {
    stop();
    ADD_FAILURE() << "a stop without a report or a file returned a movie";
  } catch (const Error& e) {
    EXPECT_EQ(e.code(), 3);
  }
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
