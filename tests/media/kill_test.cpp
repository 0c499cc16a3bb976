// Takes killed with SIGKILL mid-way leave files libavformat reads: a movie
// short of at most about its last second, a sound file up to its last append.

#include <signal.h>

#include "media_test_support.h"
#include "platform/ffmpeg/ffmpeg_media.h"
#include "platform/ffmpeg/ffmpeg_recording_output.h"
#include "support/child_process.h"
#include "support/movie_probe.h"

namespace vantor::mediatest {
namespace {

// Runs the kill helper with `args` and SIGKILLs it once `enough` says so of
// a line it wrote. Every line it wrote, those after the kill included.
std::vector<std::string> runAndKill(const std::vector<std::string>& args,
                                    const std::function<bool(const std::string&)>& enough) {
  std::vector<std::string> argv{VANTOR_KILL_HELPER};
  argv.insert(argv.end(), args.begin(), args.end());
  test::ChildProcess helper(argv);
  std::vector<std::string> lines;
  while (auto line = helper.readStdoutLine()) {
    lines.push_back(*line);
    if (enough(*line)) break;
  }
  kill(helper.pid(), SIGKILL);
  while (auto line = helper.readStdoutLine()) lines.push_back(*line);  // written before the kill
  EXPECT_EQ(helper.waitForExit().signal(), SIGKILL) << "the helper ended on its own";
  return lines;
}

// What survived must be the take's beginning, in order: each picture shows
// the frame its time names (repeats of the last picture come later and show
// that one). The index of the last frame that survived. A frame the helper
// dropped under load leaves a hole, which is no loss at the tail.
int lastSurvivingFrame(const std::filesystem::path& path, int sent) {
  int last = -1;
  double previous = -1;
  test::forEachVideoFrame(path, [&](const test::DecodedFrame& f) {
    int n = std::min(int(std::lround(f.pts * 30)), sent - 1);
    if (n > last) EXPECT_NEAR(f.pts, n / 30.0, 1.0 / 90000) << n;
    EXPECT_GT(f.pts, previous);
    EXPECT_LE(f.distanceAt(80, 60, quadrantColour(n, 0)), kColourTolerance) << n;
    previous = f.pts;
    last = std::max(last, n);
    return true;
  });
  return last;
}

TEST(KilledTake, LeavesAReadableMovieShortOfAtMostAboutTheLastSecond) {
  ScratchDir dir;
  auto path = dir / "killed.mp4";
  int seen = 0;
  auto lines = runAndKill({"take", path.string(), "30", "30"}, [&](const std::string&) { return ++seen >= 4 * 30; });
  int sent = int(lines.size());  // frames handed over, those reported after the kill included
  ASSERT_GE(sent, 4 * 30);
  EXPECT_EQ(test::probeMovie(path).video().codec, "h264");
  // Lost at the tail, at worst: the fragment still open (up to 1 s), the
  // packet held for its duration, and what sat in the output's queue.
  int last = lastSurvivingFrame(path, sent);
  EXPECT_LE(sent - 1 - last, 30 + 1 + int(platform::ffmpeg::FfmpegRecordingOutput::kQueueCapacity)) << sent;
}

TEST(KilledTake, KeepsEveryFrameBeforeAStillStretch) {
  // Two seconds of frames, then none for three (a still screen), then the
  // kill. Repeats of the last picture cut fragments meanwhile, so the last
  // second of frames before the stretch reaches the disk.
  ScratchDir dir;
  auto path = dir / "still.mp4";
  auto lines = runAndKill({"take", path.string(), "30", "2", "3"}, [](const std::string& l) { return l == "still"; });
  ASSERT_EQ(lines.size(), 2u * 30 + 1);
  EXPECT_EQ(lastSurvivingFrame(path, 2 * 30), 2 * 30 - 1) << "every frame";
  EXPECT_GT(test::probeMovie(path).video().duration, 2.0) << "the last frame lasts into the stretch";
}

TEST(KilledSound, LeavesAFileThatReadsUpToItsLastAppend) {
  ScratchDir dir;
  auto path = dir / "killed.caf";
  auto lines = runAndKill({"sound", path.string()}, [](const std::string& l) { return l == "24"; });
  ASSERT_GE(lines.size(), 25u);  // half a second
  auto sound = test::decodeAudio(path);
  std::vector<int16_t> pcm;
  for (float s : sound.samples) pcm.push_back(int16_t(std::lround(s * 32768)));
  // Every reported append is there; one more may have gone in before its line.
  EXPECT_GE(pcm.size(), lines.size() * 320);
  EXPECT_LE(pcm.size(), (lines.size() + 1) * 320);
  EXPECT_EQ(pcm, patternSamples(0, pcm.size()));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path), {}), 1) << "the encoded sound had no name";
  // The data chunk's size was never written: the duration counts what is there.
  auto duration = platform::makeFfmpegMediaServices()->openAsset(path)->loadDuration();
  EXPECT_EQ(duration.value, int64_t(pcm.size()));
  EXPECT_EQ(duration.timescale, 16000);
}

}  // namespace
}  // namespace vantor::mediatest
