// A take killed with SIGKILL mid-way leaves a movie libavformat reads, which
// misses at most about the last second of frames.

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "helper_process.h"
#include "media_test_support.h"
#include "platform/ffmpeg/ffmpeg_recording_output.h"
#include "support/movie_probe.h"

namespace vantor::mediatest {
namespace {

// Runs the take writer on `path` with `args` and SIGKILLs it once it has
// written `killAfter` lines (or the line "still"). The frames it handed over.
int recordAndKill(const std::filesystem::path& path, std::vector<std::string> args, int killAfter) {
  args.insert(args.begin(), {VANTOR_TAKE_WRITER, path.string()});
  int seen = 0;
  auto lines = runAndKill(args, [&](const std::string& line) { return line == "still" || ++seen >= killAfter; });
  int handedOver = -1;
  for (const auto& line : lines)
    if (line != "still") handedOver = std::atoi(line.c_str());
  return handedOver + 1;
}

// What survived must be the take's beginning, in order: each picture shows
// the frame its time names (repeats of the last picture come later and show
// that one). Returns the index of the last frame that survived. A frame the
// child dropped under load leaves a hole, which is no loss at the tail.
int lastSurvivingFrame(const std::filesystem::path& path, int fps, int width, int height, int contentFrames) {
  int last = -1;
  double previous = -1;
  test::forEachVideoFrame(path, [&](const test::DecodedFrame& f) {
    int n = std::min(int(std::lround(f.pts * fps)), contentFrames - 1);
    if (n > last) EXPECT_NEAR(f.pts, n / double(fps), 1.0 / 90000) << n;
    EXPECT_GT(f.pts, previous);
    EXPECT_LE(f.distanceAt(width / 4, height / 4, quadrantColour(n, 0)), 10) << n;
    previous = f.pts;
    last = std::max(last, n);
    return true;
  });
  return last;
}

TEST(KilledTake, LeavesAReadableMovieShortOfAtMostAboutTheLastSecond) {
  constexpr int W = 320, H = 240, kFps = 30;
  constexpr int kKillAfter = 4 * kFps;  // frames handed over before the kill
  ScratchDir dir;
  auto path = dir / "killed.mp4";
  int sent = recordAndKill(path, {std::to_string(W), std::to_string(H), std::to_string(kFps), "30"}, kKillAfter);
  ASSERT_GE(sent, kKillAfter);

  auto facts = test::probeMovie(path);
  const auto& v = facts.video();
  EXPECT_EQ(v.codec, "h264");
  EXPECT_EQ(v.width, W);
  // Lost at the tail, at worst: the fragment still open (up to 1 s), the
  // packet held for its duration, and what sat in the output's queue.
  int last = lastSurvivingFrame(path, kFps, W, H, sent);
  EXPECT_LE(sent - 1 - last, kFps + 1 + int(platform::ffmpeg::FfmpegRecordingOutput::kQueueCapacity))
      << "sent " << sent;
  std::printf("killed after %d frames; %lld decodable, the last frame %d\n", sent,
              static_cast<long long>(v.decodedFrames), last);
}

TEST(KilledTake, KeepsEveryFrameBeforeAStillStretch) {
  // Two seconds of frames, then none for three (a still screen), then the
  // kill. Repeats of the last picture cut fragments meanwhile, so the last
  // second of frames before the stretch reaches the disk.
  constexpr int W = 320, H = 240, kFps = 30;
  ScratchDir dir;
  auto path = dir / "still.mp4";
  int sent = recordAndKill(path, {std::to_string(W), std::to_string(H), std::to_string(kFps), "2", "3"}, 1 << 30);
  ASSERT_EQ(sent, 2 * kFps);
  auto facts = test::probeMovie(path);
  // Without repeats the fragment holding the second second stays in memory.
  EXPECT_EQ(lastSurvivingFrame(path, kFps, W, H, sent), sent - 1) << "every frame";
  // The last frame lasts until the first repeat, into the stretch.
  EXPECT_GT(facts.video().duration, 2.0);
  std::printf("still stretch: %d frames sent; %lld decodable, movie %.2f s\n", sent,
              static_cast<long long>(facts.video().decodedFrames), facts.video().duration);
}

}  // namespace
}  // namespace vantor::mediatest
