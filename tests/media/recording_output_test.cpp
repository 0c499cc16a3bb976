// The FFmpeg recording output: frames from a stream's thread into a movie,
// pauses kept in the timeline, the last frame lasting until the stop, drops
// while busy, and exactly one report per take.

#include <sys/resource.h>

#include <condition_variable>
#include <future>
#include <csignal>
#include <fstream>
#include <mutex>
#include <thread>

#include "media_test_support.h"
#include "platform/ffmpeg/ffmpeg_media.h"
#include "platform/ffmpeg/ffmpeg_recording_output.h"
#include "platform/ffmpeg/media_error.h"
#include "support/movie_probe.h"

namespace vantor::mediatest {
namespace {

using platform::RecordingOutput;
using platform::RecordingOutputConfiguration;
using platform::RecordingOutputDelegate;
using platform::ffmpeg::FfmpegRecordingOutput;

constexpr double kTick = 1.0 / 90000;
constexpr int kColourTolerance = 10;

// Counts every report and remembers where it came from.
class RecordingDelegate final : public RecordingOutputDelegate {
 public:
  void recordingOutputDidFinishRecording() override { report(std::nullopt); }
  void recordingOutputDidFail(const Error& error) override { report(error); }
  void recordingOutputDidStopWriting(const Error& error) override {
    std::lock_guard lock(mutex_);
    stoppedWriting_ = error;
  }
  std::optional<Error> stoppedWriting() const {
    std::lock_guard lock(mutex_);
    return stoppedWriting_;
  }

  // Waits for the first report; false if none came in a generous while.
  bool waitForReport() {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, 60s, [&] { return finishes_ + failures_ > 0; });
  }
  int finishes() const {
    std::lock_guard lock(mutex_);
    return finishes_;
  }
  int failures() const {
    std::lock_guard lock(mutex_);
    return failures_;
  }
  std::optional<Error> error() const {
    std::lock_guard lock(mutex_);
    return error_;
  }
  std::thread::id reportThread() const {
    std::lock_guard lock(mutex_);
    return thread_;
  }

  std::function<void()> onReport;  // runs on the reporting thread, before the report counts

 private:
  void report(std::optional<Error> error) {
    if (onReport) onReport();
    {
      std::lock_guard lock(mutex_);
      if (error) {
        ++failures_;
        error_ = std::move(error);
      } else {
        ++finishes_;
      }
      thread_ = std::this_thread::get_id();
    }
    changed_.notify_all();
  }

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  int finishes_ = 0, failures_ = 0;
  std::optional<Error> error_;
  std::optional<Error> stoppedWriting_;
  std::thread::id thread_;
};

class RecordingOutputTest : public ::testing::Test {
 protected:
  // Frames here carry made-up times, so repeats of the last picture (which
  // follow the real clock) are off, except where a test turns them on.
  std::shared_ptr<FfmpegRecordingOutput> output(const std::filesystem::path& path, int width = 320,
                                                int height = 240, std::chrono::milliseconds repeatAfter = 0ms) {
    RecordingOutputConfiguration config{path, width, height};
    return std::make_shared<FfmpegRecordingOutput>(config, delegate, repeatAfter);
  }

  // Hands frame n over as a stream would, but only once the output has room,
  // so no frame is dropped for being early.
  void feed(FfmpegRecordingOutput& o, int n, double at, int width = 320, int height = 240) {
    while (o.framesQueued() >= FfmpegRecordingOutput::kQueueCapacity) std::this_thread::yield();
    o.streamDidOutputFrame(frameAt(t0 + seconds(at), quadrantImage(width, height, n), uint64_t(n)));
  }

  ScratchDir dir;
  std::unique_ptr<platform::MediaServices> services = platform::makeFfmpegMediaServices();
  std::shared_ptr<RecordingDelegate> delegate = std::make_shared<RecordingDelegate>();
  Clock::time_point t0 = Clock::now();
};

TEST_F(RecordingOutputTest, APausedSpanShowsTheLastFrameBeforeItAndFramesResumeAfter) {
  auto path = dir / "paused.mp4";
  auto o = output(path);
  for (int n = 0; n < 30; ++n) feed(*o, n, n / 30.0);
  o->setPaused(true);
  for (int n = 30; n < 60; ++n) feed(*o, n, n / 30.0);  // never written
  o->setPaused(false);
  for (int n = 60; n < 90; ++n) feed(*o, n, n / 30.0);
  o->streamDidStop(t0 + 3s);
  ASSERT_TRUE(delegate->waitForReport());
  EXPECT_EQ(delegate->finishes(), 1);

  auto counts = o->counts();
  EXPECT_EQ(counts.received, 90u);
  EXPECT_EQ(counts.written, 60u);
  EXPECT_EQ(counts.droppedPaused, 30u);
  EXPECT_EQ(counts.droppedBusy, 0u);

  auto frames = test::decodeVideoFrames(path);
  ASSERT_EQ(frames.size(), 60u);
  for (size_t i = 0; i < frames.size(); ++i) {
    int n = i < 30 ? int(i) : int(i) + 30;
    EXPECT_NEAR(frames[i].pts, n / 30.0, kTick) << n;
    for (int q = 0; q < 4; ++q) {
      auto [x, y] = quadrantCentre(320, 240, q);
      EXPECT_LE(frames[i].distanceAt(x, y, quadrantColour(n, q)), kColourTolerance) << n;
    }
  }
  // Frame 29 stays on screen from 29/30 s until frame 60 at 2 s.
  EXPECT_NEAR(frames[29].duration, 2.0 - 29 / 30.0, kTick);
  EXPECT_EQ(test::distinctFramesPerSecond(path), (std::vector<int>{30, 0, 30}));
  EXPECT_NEAR(test::probeMovie(path).video().duration, 3.0, 1.0 / 30);
}

TEST_F(RecordingOutputTest, TheLastFrameLastsUntilTheStop) {
  {
    SCOPED_TRACE("a stop well after the last frame");
    auto path = dir / "held.mp4";
    auto o = output(path);
    for (int n = 0; n < 10; ++n) feed(*o, n, n / 30.0);
    o->streamDidStop(t0 + 2s);
    ASSERT_TRUE(delegate->waitForReport());
    auto facts = test::probeMovie(path);
    EXPECT_EQ(facts.video().decodedFrames, 10);
    EXPECT_NEAR(facts.video().duration, 2.0, 1.0 / 30);
    EXPECT_NEAR(facts.video().lastPts, 9 / 30.0, kTick);
    auto frames = test::decodeVideoFrames(path);
    EXPECT_NEAR(frames.back().duration, 2.0 - 9 / 30.0, kTick);
  }
  {
    SCOPED_TRACE("a session starts at the first frame, whenever the stream started");
    auto path = dir / "late.mp4";
    auto o = output(path);
    for (int n = 0; n < 5; ++n) feed(*o, n, 10.0 + n / 30.0);
    o->streamDidStop(t0 + 11s);
    o.reset();  // waits for the report
    auto frames = test::decodeVideoFrames(path);
    ASSERT_EQ(frames.size(), 5u);
    EXPECT_NEAR(frames.front().pts, 0.0, kTick);
    EXPECT_NEAR(test::probeMovie(path).video().duration, 1.0, 1.0 / 30);
  }
}

TEST_F(RecordingOutputTest, FramesThatFindTheQueueFullOrCannotBeUsedAreDroppedAndCounted) {
  auto path = dir / "drops.mp4";
  auto o = output(path);
  {
    ThreadHold hold(o->thread());
    for (int n = 0; n < 12; ++n)
      o->streamDidOutputFrame(frameAt(t0 + seconds(n / 30.0), quadrantImage(320, 240, n), uint64_t(n)));
    EXPECT_EQ(o->framesQueued(), FfmpegRecordingOutput::kQueueCapacity);
  }
  // Unusable: no frame, no image, too small, not after the previous one.
  o->streamDidOutputFrame(nullptr);
  o->streamDidOutputFrame(frameAt(t0 + 1s, nullptr));
  feed(*o, 20, 1.1, 318, 240);
  feed(*o, 21, 0.1);
  feed(*o, 22, 1.2);
  o->streamDidStop(t0 + 2s);
  o->streamDidOutputFrame(frameAt(t0 + 3s, quadrantImage(320, 240, 23)));  // after the stop
  ASSERT_TRUE(delegate->waitForReport());
  EXPECT_EQ(delegate->finishes(), 1);

  auto counts = o->counts();
  EXPECT_EQ(counts.received, 18u);
  EXPECT_EQ(counts.written, 9u);
  EXPECT_EQ(counts.droppedBusy, 4u);
  EXPECT_EQ(counts.droppedUnusable, 5u);
  auto frames = test::decodeVideoFrames(path);
  ASSERT_EQ(frames.size(), 9u);
  for (int n = 0; n < 8; ++n) EXPECT_LE(frames[size_t(n)].distanceAt(80, 60, quadrantColour(n, 0)), kColourTolerance);
  EXPECT_LE(frames[8].distanceAt(80, 60, quadrantColour(22, 0)), kColourTolerance);
}

TEST_F(RecordingOutputTest, EachTakeReportsExactlyOnceFromTheOutputsThread) {
  {
    SCOPED_TRACE("finish");
    auto o = output(dir / "once.mp4");
    for (int n = 0; n < 5; ++n) feed(*o, n, n / 30.0);
    o->streamDidStop(t0 + 1s);
    o->streamDidStop(t0 + 2s);  // a second stop changes nothing
    ASSERT_TRUE(delegate->waitForReport());
    o.reset();  // joins the output's thread: any late report would be in by now
    EXPECT_EQ(delegate->finishes(), 1);
    EXPECT_EQ(delegate->failures(), 0);
    EXPECT_NE(delegate->reportThread(), std::this_thread::get_id());
    EXPECT_NEAR(test::probeMovie(dir / "once.mp4").video().duration, 1.0, 1.0 / 30);
  }
  {
    SCOPED_TRACE("the file cannot be created: the output is not made");
    auto blocker = dir / "plain-file";
    std::ofstream(blocker) << "x";
    auto path = blocker / "take.mp4";
    try {
      output(path);
      ADD_FAILURE() << "an output was made for " << path;
    } catch (const Error& error) {
      EXPECT_EQ(error.code(), platform::ffmpeg::kCannotCreate);
      EXPECT_EQ(error.description(), "cannot create " + path.string() + ": Not a directory");
    }
  }
  {
    SCOPED_TRACE("failure: stopped before any frame, and no file left");
    delegate = std::make_shared<RecordingDelegate>();
    auto path = dir / "nothing.mp4";
    auto o = output(path);
    o->setPaused(true);
    feed(*o, 0, 0.0);  // paused: not written
    o->streamDidStop(t0 + 1s);
    ASSERT_TRUE(delegate->waitForReport());
    o.reset();
    EXPECT_EQ(delegate->finishes(), 0);
    ASSERT_EQ(delegate->failures(), 1);
    EXPECT_EQ(delegate->error()->code(), platform::ffmpeg::kNoFrames);
    EXPECT_EQ(delegate->error()->description(), "no frames were recorded");
    EXPECT_FALSE(std::filesystem::exists(path));
  }
}

// A write that fails mid-take (here the process's file-size limit, which
// fails a write as a full disk does) ends writing at once; what the file
// keeps plays to its end, and a cut anywhere goes back to a fragment's end.
TEST_F(RecordingOutputTest, AFailedWriteKeepsWhatPlaysToItsEnd) {
  auto path = dir / "limited.mp4";
  constexpr rlim_t kLimit = 60'000;
  {
    auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit old{};
    getrlimit(RLIMIT_FSIZE, &old);
    rlimit limited = old;
    limited.rlim_cur = kLimit;
    setrlimit(RLIMIT_FSIZE, &limited);
    auto o = output(path);
    for (int n = 0; n < 300 && !delegate->stoppedWriting(); ++n) feed(*o, n, n / 30.0);
    std::promise<void> drained;  // every frame handed over is written (or refused) under the limit
    o->thread().post([&] { drained.set_value(); });
    drained.get_future().wait();
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);
    o->streamDidStop(t0 + 10s);
    ASSERT_TRUE(delegate->waitForReport());
    o.reset();
  }
  ASSERT_TRUE(delegate->stoppedWriting());
  EXPECT_EQ(delegate->stoppedWriting()->code(), platform::ffmpeg::kCannotWrite);
  EXPECT_EQ(delegate->finishes(), 1);
  EXPECT_LE(std::filesystem::file_size(path), kLimit);
  auto kept = test::probeMovie(path).video().decodedFrames;
  EXPECT_GT(kept, 10);
  EXPECT_LT(kept, 300);
}

TEST_F(RecordingOutputTest, ADelegateThatIsGoneHearsNothingAndTheMovieIsStillComplete) {
  auto path = dir / "orphan.mp4";
  auto o = output(path);
  std::weak_ptr<RecordingDelegate> watch = delegate;
  for (int n = 0; n < 5; ++n) feed(*o, n, n / 30.0);
  delegate.reset();
  ASSERT_TRUE(watch.expired());
  o->streamDidStop(t0 + 1s);
  o.reset();
  auto facts = test::probeMovie(path);
  EXPECT_EQ(facts.video().decodedFrames, 5);
  EXPECT_NEAR(facts.video().duration, 1.0, 1.0 / 30);
}

TEST_F(RecordingOutputTest, ADelegateMayReleaseTheOutputWhileBeingTold) {
  auto path = dir / "released.mp4";
  auto o = output(path);
  std::shared_ptr<FfmpegRecordingOutput> held = o;
  std::mutex m;
  delegate->onReport = [&] {
    std::lock_guard lock(m);
    held.reset();  // the last reference, on the output's own thread
  };
  for (int n = 0; n < 5; ++n) feed(*o, n, n / 30.0);
  o->streamDidStop(t0 + 1s);
  o.reset();
  ASSERT_TRUE(delegate->waitForReport());
  {
    std::lock_guard lock(m);
    EXPECT_FALSE(held);
  }
  EXPECT_EQ(delegate->finishes(), 1);
  EXPECT_EQ(test::probeMovie(path).video().decodedFrames, 5);
}

TEST_F(RecordingOutputTest, TheFactoryMakesAnOutputThatRepeatsTheLastPictureThroughAStillStretch) {
  auto path = dir / "still.mp4";
  auto made = services->createRecordingOutput({path, 320, 240}, delegate);
  auto o = std::dynamic_pointer_cast<FfmpegRecordingOutput>(made);
  ASSERT_TRUE(o);
  // Real times now: repeats follow the clock.
  auto start = Clock::now();
  for (int n = 0; n < 5; ++n)
    o->streamDidOutputFrame(frameAt(start + n * 20ms, quadrantImage(320, 240, n), uint64_t(n)));
  // Nothing comes for a while; wait (generously) until two repeats are in.
  for (int i = 0; i < 600 && o->counts().repeated < 2; ++i) std::this_thread::sleep_for(50ms);
  ASSERT_GE(o->counts().repeated, 2u);
  auto late = Clock::now();
  o->streamDidOutputFrame(frameAt(late, quadrantImage(320, 240, 5), 5));
  o->streamDidStop(late + 100ms);
  ASSERT_TRUE(delegate->waitForReport());
  EXPECT_EQ(delegate->finishes(), 1);
  auto counts = o->counts();
  EXPECT_EQ(counts.written, 6u);

  auto frames = test::decodeVideoFrames(path);
  ASSERT_EQ(frames.size(), 6 + counts.repeated);
  for (size_t i = 0; i < frames.size(); ++i) {
    int n = i < 5 ? int(i) : i + 1 == frames.size() ? 5 : 4;  // repeats show frame 4
    EXPECT_LE(frames[i].distanceAt(80, 60, quadrantColour(n, 0)), kColourTolerance) << i;
    EXPECT_LE(frames[i].distanceAt(240, 180, quadrantColour(n, 3)), kColourTolerance) << i;
    if (i > 0) EXPECT_GT(frames[i].pts, frames[i - 1].pts) << i;
  }
  double lateAt = std::chrono::duration<double>(late - start).count();
  EXPECT_NEAR(frames.back().pts, lateAt, kTick);
  EXPECT_LT(frames[frames.size() - 2].pts, lateAt);
  // Repeats are the same picture: no change shows between frame 4 and frame 5.
  int changes = 0;
  for (int c : test::distinctFramesPerSecond(path)) changes += c;
  EXPECT_EQ(changes, 6);
}

TEST_F(RecordingOutputTest, AStreamThreadFeedsWhileTheMainThreadPausesAndResumes) {
  auto path = dir / "busy.mp4";
  auto o = output(path);
  constexpr int N = 180;
  std::atomic<bool> fed{false};
  std::thread stream([&] {
    for (int n = 0; n < N; ++n)
      o->streamDidOutputFrame(frameAt(t0 + seconds(n / 60.0), quadrantImage(320, 240, n), uint64_t(n)));
    fed = true;
  });
  for (int i = 0; !fed; ++i) {
    o->setPaused(i % 2 == 0);
    std::this_thread::yield();
  }
  stream.join();
  o->setPaused(false);
  o->streamDidStop(t0 + seconds(N / 60.0));
  ASSERT_TRUE(delegate->waitForReport());
  auto counts = o->counts();
  EXPECT_EQ(counts.received, uint64_t(N));
  EXPECT_EQ(counts.written + counts.droppedBusy + counts.droppedPaused + counts.droppedUnusable, uint64_t(N));
  EXPECT_EQ(counts.droppedUnusable, 0u);
  if (counts.written == 0) {
    EXPECT_EQ(delegate->failures(), 1);
  } else {
    EXPECT_EQ(delegate->finishes(), 1);
    EXPECT_EQ(test::probeMovie(path).video().decodedFrames, int64_t(counts.written));
  }
}

}  // namespace
}  // namespace vantor::mediatest
