// The FFmpeg video writer: what the file holds (size, frames, times,
// colours, tags, keyframes), which frames it refuses, and finishing.

#include <cmath>
#include <fstream>
#include <thread>

#include "media_test_support.h"
#include "platform/ffmpeg/ffmpeg_media.h"
#include "platform/ffmpeg/ffmpeg_video_writer.h"
#include "platform/ffmpeg/media_error.h"
#include "support/movie_probe.h"

namespace vantor::mediatest {
namespace {

using platform::VideoWriter;
using platform::ffmpeg::FfmpegVideoWriter;

constexpr double kTick = 1.0 / 90000;
// BT.601 limited range and back, plus CRF 23 on flat colour.
constexpr int kColourTolerance = 10;

class VideoWriterTest : public ::testing::Test {
 protected:
  std::unique_ptr<VideoWriter> writer(const std::filesystem::path& path, int width, int height) {
    return services->createVideoWriter(path, width, height);
  }
  static FfmpegVideoWriter& concrete(VideoWriter& w) { return dynamic_cast<FfmpegVideoWriter&>(w); }

  // Appends frame n at each offset, waiting for room first (a writer's
  // client does the same with isReadyForMoreMediaData).
  static void appendAll(VideoWriter& w, Clock::time_point t0, const std::vector<double>& offsets, int width,
                        int height) {
    for (size_t n = 0; n < offsets.size(); ++n) {
      while (!w.isReadyForMoreMediaData()) std::this_thread::yield();
      ASSERT_TRUE(w.append(frameAt(t0 + seconds(offsets[n]), quadrantImage(width, height, int(n)), n))) << n;
    }
  }

  exec::MainLoop main;  // first in, last out: writers' threads are gone before it
  ScratchDir dir;
  std::unique_ptr<platform::MediaServices> services = platform::makeFfmpegMediaServices();
  Clock::time_point t0 = Clock::now();
};

TEST_F(VideoWriterTest, SixtyFramesASecondComeBackWithTheirSizeTimesColoursAndTags) {
  constexpr int W = 640, H = 360, N = 90;
  auto path = dir / "take.mp4";
  auto w = writer(path, W, H);
  ASSERT_TRUE(w->startWriting());
  w->startSession(t0);
  std::vector<double> offsets;
  for (int n = 0; n < N; ++n) offsets.push_back(n / 60.0);
  appendAll(*w, t0, offsets, W, H);
  w->markAsFinished();
  finishWriting(main, *w);
  EXPECT_EQ(concrete(*w).counts().written, uint64_t(N));

  auto facts = test::probeMovie(path);
  EXPECT_NE(facts.format.find("mp4"), std::string::npos);
  ASSERT_EQ(facts.streams.size(), 1u);
  const auto& v = facts.video();
  EXPECT_EQ(v.codec, "h264");
  EXPECT_EQ(v.width, W);
  EXPECT_EQ(v.height, H);
  EXPECT_EQ(v.pixelFormat, "yuv420p");
  EXPECT_EQ(v.colorSpace, "smpte170m");
  EXPECT_EQ(v.colorPrimaries, "smpte170m");
  EXPECT_EQ(v.colorTransfer, "smpte170m");
  EXPECT_EQ(v.colorRange, "tv");
  EXPECT_EQ(v.decodedFrames, N);
  // The last frame lasts as long as the interval before it.
  EXPECT_NEAR(v.duration, N / 60.0, 1.0 / 60);
  EXPECT_NEAR(v.lastPts, (N - 1) / 60.0, kTick);

  auto frames = test::decodeVideoFrames(path);
  ASSERT_EQ(frames.size(), size_t(N));
  for (int n = 0; n < N; ++n) {
    const auto& f = frames[size_t(n)];
    EXPECT_NEAR(f.pts, offsets[size_t(n)], kTick) << n;
    for (int q = 0; q < 4; ++q) {
      auto [x, y] = quadrantCentre(W, H, q);
      EXPECT_LE(f.distanceAt(x, y, quadrantColour(n, q)), kColourTolerance)
          << "frame " << n << " quadrant " << q << std::hex << " got " << f.rgbAt(x, y) << " want "
          << quadrantColour(n, q);
    }
  }
  EXPECT_TRUE(frames.front().keyFrame);
}

TEST_F(VideoWriterTest, IrregularTimesAreKeptAndKeyframesComeAtLeastEveryTwoSeconds) {
  constexpr int W = 320, H = 240;
  // Bursts, near-coincident frames, and gaps longer than the keyframe bound.
  std::vector<double> offsets = {0.0,  0.004, 0.0401, 0.1,  0.35, 0.36, 0.9,  1.25, 1.9,  2.05, 2.3,
                                 3.1,  3.6,   4.15,   4.16, 4.2,  6.9,  7.0,  7.5,  8.2,  8.9,  9.6};
  for (int n = 0; n < 30; ++n) offsets.push_back(10.0 + n * 0.1);  // 10 fps: 3 s without a forced reason
  auto path = dir / "irregular.mp4";
  auto w = writer(path, W, H);
  ASSERT_TRUE(w->startWriting());
  w->startSession(t0);
  appendAll(*w, t0, offsets, W, H);
  finishWriting(main, *w);

  auto frames = test::decodeVideoFrames(path);
  ASSERT_EQ(frames.size(), offsets.size());
  double lastKey = -1;
  for (size_t n = 0; n < frames.size(); ++n) {
    EXPECT_NEAR(frames[n].pts, offsets[n], kTick) << n;
    if (frames[n].keyFrame) lastKey = frames[n].pts;
    ASSERT_GE(lastKey, 0) << "the first frame is not a keyframe";
    EXPECT_LT(frames[n].pts - lastKey, 2.0) << "frame " << n << " is too far from a keyframe";
    EXPECT_LE(frames[n].distanceAt(W / 4, H / 4, quadrantColour(int(n), 0)), kColourTolerance) << n;
  }
  for (size_t n = 0; n + 1 < frames.size(); ++n)
    EXPECT_NEAR(frames[n].duration, offsets[n + 1] - offsets[n], kTick) << n;
}

TEST_F(VideoWriterTest, AFirstFrameAfterTheSessionStartIsShownFromTheStartAndTheRestKeepTheirTimes) {
  constexpr int W = 320, H = 240;
  auto path = dir / "late-first.mp4";
  auto w = writer(path, W, H);
  ASSERT_TRUE(w->startWriting());
  w->startSession(t0 - 500ms);
  appendAll(*w, t0, {0.0, 0.1, 0.25}, W, H);
  finishWriting(main, *w);
  auto frames = test::decodeVideoFrames(path);
  ASSERT_EQ(frames.size(), 3u);
  EXPECT_NEAR(frames[0].pts, 0.0, kTick);
  EXPECT_NEAR(frames[1].pts, 0.6, kTick);
  EXPECT_NEAR(frames[2].pts, 0.75, kTick);
  for (int n = 0; n < 3; ++n)
    EXPECT_LE(frames[size_t(n)].distanceAt(W / 4, H / 4, quadrantColour(n, 0)), kColourTolerance) << n;
}

TEST_F(VideoWriterTest, OddSizesLoseTheirLastColumnAndRow) {
  auto path = dir / "odd.mp4";
  auto w = writer(path, 321, 241);
  ASSERT_TRUE(w->startWriting());
  w->startSession(t0);
  appendAll(*w, t0, {0.0, 0.1}, 321, 241);
  finishWriting(main, *w);
  auto facts = test::probeMovie(path);
  EXPECT_EQ(facts.video().width, 320);
  EXPECT_EQ(facts.video().height, 240);
  EXPECT_EQ(facts.video().decodedFrames, 2);
}

TEST_F(VideoWriterTest, RefusesFramesOutOfTurnAndWhileTheQueueIsFull) {
  constexpr int W = 320, H = 240;
  auto path = dir / "refusals.mp4";
  auto w = writer(path, W, H);
  auto& cw = concrete(*w);
  auto image = quadrantImage(W, H, 0);

  // Not started, then started but without a session.
  EXPECT_FALSE(w->isReadyForMoreMediaData());
  EXPECT_FALSE(w->append(frameAt(t0, image)));
  ASSERT_TRUE(w->startWriting());
  EXPECT_FALSE(w->startWriting()) << "a second start";
  EXPECT_FALSE(w->isReadyForMoreMediaData());
  EXPECT_FALSE(w->append(frameAt(t0, image)));
  w->startSession(t0);
  EXPECT_TRUE(w->isReadyForMoreMediaData());

  // Unusable frames.
  EXPECT_FALSE(w->append(nullptr));
  EXPECT_FALSE(w->append(frameAt(t0, nullptr)));
  EXPECT_FALSE(w->append(frameAt(t0, quadrantImage(W - 2, H, 0)))) << "smaller than the writer's size";
  auto invalid = std::make_shared<platform::VideoFrame>(*frameAt(t0, image));
  invalid->isValid = false;
  EXPECT_FALSE(w->append(invalid));
  EXPECT_FALSE(w->append(frameAt(t0 - 1ms, image))) << "before the session";

  // Order: each frame strictly after the one before.
  ThreadHold hold(cw.thread());
  EXPECT_TRUE(w->append(frameAt(t0, image)));
  EXPECT_FALSE(w->append(frameAt(t0, image))) << "the same time again";
  EXPECT_FALSE(w->append(frameAt(t0 + 5us, image))) << "within one 1/90000 s tick";
  EXPECT_TRUE(w->append(frameAt(t0 + 20ms, image)));
  EXPECT_FALSE(w->append(frameAt(t0 + 10ms, image))) << "earlier than the previous";

  // The encoder is held: the queue fills at its capacity and refuses more.
  int accepted = 2;
  for (int n = 2; n < 20 && w->isReadyForMoreMediaData(); ++n, ++accepted)
    ASSERT_TRUE(w->append(frameAt(t0 + n * 20ms, image)));
  EXPECT_EQ(accepted, int(FfmpegVideoWriter::kQueueCapacity));
  EXPECT_FALSE(w->isReadyForMoreMediaData());
  EXPECT_FALSE(w->append(frameAt(t0 + 1s, image))) << "a full queue";

  // Released, it drains and takes frames again.
  hold.release();
  while (!w->isReadyForMoreMediaData()) std::this_thread::yield();
  EXPECT_TRUE(w->append(frameAt(t0 + 2s, image)));
  ++accepted;

  w->markAsFinished();
  EXPECT_FALSE(w->isReadyForMoreMediaData());
  EXPECT_FALSE(w->append(frameAt(t0 + 3s, image))) << "after markAsFinished";
  finishWriting(main, *w);
  EXPECT_FALSE(w->append(frameAt(t0 + 4s, image))) << "after finishWriting";

  auto counts = cw.counts();
  EXPECT_EQ(counts.accepted, uint64_t(accepted));
  EXPECT_EQ(counts.written, uint64_t(accepted));
  EXPECT_EQ(counts.refused, 13u);
  EXPECT_EQ(test::probeMovie(path).video().decodedFrames, accepted);
}

TEST_F(VideoWriterTest, FinishingWithoutFrames) {
  {
    SCOPED_TRACE("never started: reports at once, no file");
    auto path = dir / "never.mp4";
    auto w = writer(path, 320, 240);
    finishWriting(main, *w);
    EXPECT_FALSE(std::filesystem::exists(path));
  }
  {
    SCOPED_TRACE("started without frames: a valid movie with an empty video track");
    auto path = dir / "empty.mp4";
    auto w = writer(path, 320, 240);
    ASSERT_TRUE(w->startWriting());
    w->startSession(t0);
    finishWriting(main, *w);
    auto facts = test::probeMovie(path);
    EXPECT_EQ(facts.video().codec, "h264");
    EXPECT_EQ(facts.video().decodedFrames, 0);
  }
  {
    SCOPED_TRACE("finishing twice reports twice, the file stays complete");
    auto path = dir / "twice.mp4";
    auto w = writer(path, 320, 240);
    ASSERT_TRUE(w->startWriting());
    w->startSession(t0);
    ASSERT_TRUE(w->append(frameAt(t0, quadrantImage(320, 240, 0))));
    finishWriting(main, *w);
    finishWriting(main, *w);
    EXPECT_EQ(test::probeMovie(path).video().decodedFrames, 1);
  }
}

TEST_F(VideoWriterTest, FailuresAreMediaErrorsPeopleCanRead) {
  {
    SCOPED_TRACE("a path under a regular file");
    auto blocker = dir / "plain-file";
    std::ofstream(blocker) << "x";
    auto path = blocker / "take.mp4";
    auto w = writer(path, 320, 240);
    EXPECT_FALSE(w->startWriting());
    const auto& error = concrete(*w).startError();
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->domain(), "Vantor.Media");
    EXPECT_EQ(error->code(), platform::ffmpeg::kCannotCreate);
    EXPECT_EQ(error->description(), "cannot create " + path.string() + ": Not a directory");
    EXPECT_FALSE(w->isReadyForMoreMediaData());
    EXPECT_FALSE(w->append(frameAt(t0, quadrantImage(320, 240, 0))));
    finishWriting(main, *w);  // never started: succeeds at once
  }
  {
    SCOPED_TRACE("sizes that cannot be encoded");
    for (auto [width, height] : {std::pair{0, 1080}, {1920, 1}, {-2, 2}, {20000, 100}}) {
      try {
        writer(dir / "bad.mp4", width, height);
        ADD_FAILURE() << width << "x" << height << " was accepted";
      } catch (const Error& e) {
        EXPECT_EQ(e.domain(), "Vantor.Media");
        EXPECT_EQ(e.code(), platform::ffmpeg::kInvalidSize);
        EXPECT_EQ(e.description(),
                  "cannot encode frames of " + std::to_string(width) + "x" + std::to_string(height) + " pixels");
      }
    }
    EXPECT_FALSE(std::filesystem::exists(dir / "bad.mp4"));
  }
}

TEST_F(VideoWriterTest, AWriterDroppedMidTakeLeavesAReadableFile) {
  constexpr int W = 320, H = 240;
  auto path = dir / "dropped.mp4";
  auto w = writer(path, W, H);
  ASSERT_TRUE(w->startWriting());
  w->startSession(t0);
  appendAll(*w, t0, {0.0, 0.1, 0.2, 0.3}, W, H);
  w.reset();  // frames may still be queued
  auto frames = test::decodeVideoFrames(path);
  ASSERT_LE(frames.size(), 4u);
  for (size_t n = 0; n < frames.size(); ++n) EXPECT_NEAR(frames[n].pts, n * 0.1, kTick);
}

}  // namespace
}  // namespace vantor::mediatest
