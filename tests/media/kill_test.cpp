// Takes killed with SIGKILL mid-way leave files libavformat reads: a movie
// short of at most about its last second, a sound file up to its last append.

#include <signal.h>

#include "media_test_support.h"
#include "platform/ffmpeg/ffmpeg_media.h"
#include "platform/ffmpeg/ffmpeg_recording_output.h"
#include "support/child_process.h"

namespace vantor::mediatest {
namespace {

// Runs the kill helper in `mode` on `path` and SIGKILLs it once `enough` says
// so of a line it wrote. Every line it wrote, those after the kill included.
std::vector<std::string> runAndKill(const char* mode, const std::filesystem::path& path,
                                    const std::function<bool(const std::string&)>& enough) {
  test::ChildProcess helper({VANTOR_KILL_HELPER, mode, path.string()});
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
// that one). The index of the last frame that survived.
int lastSurvivingFrame(const std::filesystem::path& path, int sent) {
  int last = -1;
  double previous = -1;
  test::forEachVideoFrame(path, [&](const test::DecodedFrame& f) {
    int n = std::min(int(std::lround(f.pts * 30)), sent - 1);
    if (n > last) EXPECT_NEAR(f.pts, n / 30.0, 1.0 / 90000) << n;
    EXPECT_GT(f.pts, previous);
    EXPECT_EQ(pictureOf(f), n % int(kPalette.size())) << n;
    previous = f.pts, last = std::max(last, n);
    return true;
  });
  return last;
}

// Two seconds of frames, then none for three (a still screen), then the
// kill. What is on disk as the last frame is handed over is what a kill at
// that moment would leave: all but about the last second. Repeats of the
// last picture cut fragments during the still stretch, so at the kill every
// frame before it is there.
TEST(KilledTake, MissesAtMostAboutTheLastSecondWhileFramesComeAndNothingAfterAStillStretch) {
  ScratchDir dir;
  auto path = dir / "killed.mp4", flowing = dir / "flowing.mp4";
  auto lines = runAndKill("take", path, [&](const std::string& l) {
    if (l == "59") std::filesystem::copy_file(path, flowing);
    return l == "still";
  });
  ASSERT_EQ(lines.size(), 2u * 30 + 1);
  // Lost at the tail, at worst: the fragment still open (up to 1 s), the
  // packet held for its duration, and what sat in the output's queue.
  EXPECT_GE(lastSurvivingFrame(flowing, 60), 59 - 30 - 1 - int(platform::ffmpeg::FfmpegRecordingOutput::kQueueCapacity));
  EXPECT_EQ(lastSurvivingFrame(path, 60), 59) << "every frame";
  EXPECT_GT(test::probeMovie(path).video().duration, 2.0) << "the last frame lasts into the stretch";
}

TEST(KilledSound, LeavesAFileThatReadsUpToItsLastAppend) {
  ScratchDir dir;
  auto path = dir / "killed.caf";
  auto lines = runAndKill("sound", path, [](const std::string& l) { return l == "24"; });
  ASSERT_GE(lines.size(), 25u);  // half a second
  auto pcm = pcmIn(path);
  // Every reported append is there; one more may have gone in before its line.
  EXPECT_GE(pcm.size(), lines.size() * 320);
  EXPECT_LE(pcm.size(), (lines.size() + 1) * 320);
  EXPECT_EQ(pcm, patternSamples(0, pcm.size()));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1) << "the encoded sound had no name";
  // The data chunk's size was never written: the duration counts what is there.
  auto duration = platform::makeFfmpegMediaServices()->openAsset(path)->loadDuration();
  EXPECT_EQ(std::pair(duration.value, duration.timescale), std::pair(int64_t(pcm.size()), 16000));
}

}  // namespace
}  // namespace vantor::mediatest
