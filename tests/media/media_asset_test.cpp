// Media assets over FFmpeg: the tracks a file holds and its duration, for
// fragmented takes whole and torn, and for files that cannot be read.

#include <fstream>

#include "media_test_support.h"
#include "platform/ffmpeg/ffmpeg_media.h"
#include "platform/ffmpeg/media_error.h"
#include "support/movie_probe.h"

namespace vantor::mediatest {
namespace {

using platform::MediaType;

class MediaAssetTest : public ::testing::Test {
 protected:
  exec::MainLoop main;
  ScratchDir dir;
  std::unique_ptr<platform::MediaServices> services = platform::makeFfmpegMediaServices();
};

TEST_F(MediaAssetTest, AFragmentedTakeLastsUntilItsLastFrameEndsAndATornOneUntilItsLastWholeFrame) {
  // 2.5 s at 30 fps: fragments of a second, the last one short.
  auto path = dir / "take.mp4";
  writeMovie(main, *services, path, 75, 30);
  auto asset = services->openAsset(path);
  EXPECT_EQ(asset->loadTracks(MediaType::Video), 1);
  EXPECT_EQ(asset->loadTracks(MediaType::Audio), 0);
  auto duration = asset->loadDuration();
  EXPECT_EQ(duration.timescale, 90000);
  EXPECT_EQ(duration.value, 75 * 3000) << "the last frame lasts as long as the one before";

  // Torn inside the last fragment's samples, as a kill mid-write leaves it:
  // its moof still names samples the file no longer holds.
  auto packets = test::readPackets(path, "video");
  auto torn = dir / "torn.mp4";
  ASSERT_EQ(packets.size(), 75u);
  std::filesystem::copy_file(path, torn);
  std::filesystem::resize_file(torn, uintmax_t(packets[72].pos + 10));
  duration = services->openAsset(torn)->loadDuration();
  EXPECT_EQ(duration.timescale, 90000);
  EXPECT_EQ(duration.value, 72 * 3000) << "frame 71 is the last whole one";
}

TEST_F(MediaAssetTest, ACafFileHoldsOneAudioTrackAsLongAsItsSamples) {
  auto path = dir / "tone.caf";
  writeTone(path, 16001, 440);
  auto asset = services->openAsset(path);
  EXPECT_EQ(asset->loadTracks(MediaType::Audio), 1);
  EXPECT_EQ(asset->loadTracks(MediaType::Video), 0);
  auto duration = asset->loadDuration();
  EXPECT_EQ(duration.value, 16001);
  EXPECT_EQ(duration.timescale, 16000);
}

TEST_F(MediaAssetTest, FilesThatCannotBeReadFailOnLoadNotOnOpen) {
  auto text = dir / "notes.mp4";
  std::ofstream(text) << "not a movie\n";
  for (const auto& path : {text, dir / "missing.mp4"}) {
    auto asset = services->openAsset(path);
    for (auto load : {+[](platform::MediaAsset& a) { a.loadTracks(MediaType::Video); },
                      +[](platform::MediaAsset& a) { a.loadDuration(); }}) {
      try {
        load(*asset);
        ADD_FAILURE() << path << ": no error";
      } catch (const Error& e) {
        EXPECT_EQ(e.code(), platform::ffmpeg::kCannotRead) << e.description();
        EXPECT_NE(e.description().find(path.string()), std::string::npos) << e.description();
      }
    }
  }
}

}  // namespace
}  // namespace vantor::mediatest
