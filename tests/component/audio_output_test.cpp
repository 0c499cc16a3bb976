// The mixed audio writer and the muxer on the simulated media services:
// sample-counted times, the failure-log cap, the finish line, and the
// muxer's order of checks, cutting and log lines.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "output/mixed_audio_writer.h"
#include "output/video_audio_muxer.h"
#include "platform/sim/sim_media.h"
#include "support/capture_sinks.h"
#include "support/run_coroutine.h"

namespace vantor {
namespace {

using platform::MediaTime;
using platform::sim::SimAssetFile;

class MixedAudioWriterTest : public ::testing::Test {
 protected:
  ~MixedAudioWriterTest() override { std::filesystem::remove_all(scratch); }
  void finish() { test::runOn(main, writer.finish()); }
  std::shared_ptr<platform::sim::SimAudioFileLog> file(size_t i = 0) { return media.audioWriters().at(i); }

  std::filesystem::path scratch = [] {
    auto p = std::filesystem::temp_directory_path() / ("vantor-caf-" + std::to_string(getpid()));
    std::filesystem::create_directories(p);
    return p;
  }();
  test::CapturedOutput out;
  exec::MainLoop main;
  platform::sim::SimMediaServices media;
  MixedAudioWriter writer{media};
};

TEST_F(MixedAudioWriterTest, PlacesEachBatchAfterTheSamplesBeforeIt) {
  writer.appendFrame(MonoBatch(10, 1));  // before start: dropped, not logged
  writer.start(scratch / "take.caf");
  writer.appendFrame({});
  writer.appendFrame(MonoBatch(320, 2));
  writer.appendFrame(MonoBatch(160, 3));
  EXPECT_EQ(writer.sampleCount(), 480);
  finish();
  EXPECT_EQ(file()->presentationSamples, (std::vector<int64_t>{0, 320}));
  EXPECT_EQ(file()->sessionStart, 0);
  EXPECT_TRUE(file()->markedFinished);
  EXPECT_TRUE(file()->finished);
  writer.appendFrame(MonoBatch(10, 1));  // after finish: dropped, not logged
  finish();                              // nothing open: no line
  EXPECT_EQ(writer.sampleCount(), 480);
  EXPECT_EQ(out.logLines(),
            (std::vector<std::string>{"[INFO] MixedAudioWriter.finish: wrote 480 sample-batches, caf=0 bytes"}));
}

TEST_F(MixedAudioWriterTest, DroppedBatchesLeaveNoGapAndFailuresAreLoggedFiveTimesInItsLife) {
  writer.start(scratch / "a.caf");
  writer.appendFrame(MonoBatch(100, 1));
  EXPECT_EQ(writer.sampleCount(), 100);  // written before the input turns busy
  file()->readyForMore = false;
  writer.appendFrame(MonoBatch(100, 2));
  writer.appendFrame(MonoBatch(100, 2));
  EXPECT_EQ(writer.sampleCount(), 100);
  file()->readyForMore = true;
  file()->refuseAppends = true;
  for (int i = 0; i < 4; ++i) writer.appendFrame(MonoBatch(100, 3));
  EXPECT_EQ(writer.sampleCount(), 100);
  file()->refuseAppends = false;
  writer.appendFrame(MonoBatch(100, 4));
  finish();
  // The batch after the drops takes the time the first dropped one had.
  EXPECT_EQ(file()->presentationSamples, (std::vector<int64_t>{0, 100}));

  // A later take: refused again, but the cap is spent.
  writer.start(scratch / "b.caf");
  file(1)->refuseAppends = true;
  writer.appendFrame(MonoBatch(100, 5));
  finish();

  std::vector<std::string> expected{
      "[ERROR] MixedAudioWriter._appendFrame: not ready for media data (count=1); frame dropped",
      "[ERROR] MixedAudioWriter._appendFrame: not ready for media data (count=2); frame dropped",
      "[ERROR] MixedAudioWriter._appendFrame: AVAssetWriterInput.append returned false (count=3)",
      "[ERROR] MixedAudioWriter._appendFrame: AVAssetWriterInput.append returned false (count=4)",
      "[ERROR] MixedAudioWriter._appendFrame: AVAssetWriterInput.append returned false (count=5)",
      "[INFO] MixedAudioWriter.finish: wrote 200 sample-batches, caf=0 bytes",
      "[INFO] MixedAudioWriter.finish: wrote 0 sample-batches, caf=0 bytes"};
  EXPECT_EQ(out.logLines(), expected);
}

TEST_F(MixedAudioWriterTest, StartMakesAFreshFileAndThrowsWhenNoWriterCanBeMade) {
  std::filesystem::path url = scratch / "old.caf";
  std::ofstream(url) << "an older take";
  writer.start(url);
  EXPECT_EQ(std::filesystem::file_size(url), 0u);
  finish();
  media.audioWriterCreationFailure = Error("Vantor.Media", 4, "cannot create /nowhere/x.caf");
  EXPECT_THROW(writer.start("/nowhere/x.caf"), Error);
}

class MuxerTest : public ::testing::Test {
 protected:
  void mux() {
    test::runOn(main, VideoAudioMuxer::mux(media, worker, "/r/take.mov", "/r/take.caf", "/r/take.muxed.mp4"));
  }
  int muxCode() {
    try {
      mux();
    } catch (const Error& e) {
      EXPECT_EQ(e.domain(), "Vantor.Mux");
      return e.code();
    }
    return 0;
  }

  test::CapturedOutput out;
  exec::MainLoop main;
  platform::sim::SimMediaServices media;
  exec::SerialQueue worker{".test.mux"};
};

TEST_F(MuxerTest, CutsTheAudioToTheShorterDurationAndLogsBoth) {
  media.assetFiles["/r/take.mov"] = SimAssetFile{1, 0, MediaTime{25, 2}};
  media.assetFiles["/r/take.caf"] = SimAssetFile{0, 1, MediaTime{192000, 16000}};
  mux();
  media.assetFiles["/r/take.caf"].duration = MediaTime{208000, 16000};  // longer than the video
  mux();
  auto exports = media.exports();
  ASSERT_EQ(exports.size(), 2u);
  EXPECT_EQ(exports[0].audio->duration.seconds(), 12.0);
  EXPECT_EQ(exports[1].audio->duration.seconds(), 12.5);
  EXPECT_EQ(exports[1].video->duration.seconds(), 12.5);
  EXPECT_EQ(out.logLines()[0], "[INFO] mux: audioTrack=true aDur=12.0s vDur=12.5s video=take.mov audio=take.caf");
  EXPECT_EQ(out.logLines()[1], "[INFO] mux: export status=3 err=nil");
  EXPECT_EQ(out.logLines()[2], "[INFO] mux: audioTrack=true aDur=13.0s vDur=12.5s video=take.mov audio=take.caf");
}

TEST_F(MuxerTest, AnAudioFileWithoutSoundGivesASilentMovie) {
  media.assetFiles["/r/take.mov"] = SimAssetFile{1, 0, MediaTime{10, 3}};
  mux();  // the audio file cannot be read at all
  media.assetFiles["/r/take.caf"] = SimAssetFile{0, 0, MediaTime{1, 1}};
  mux();
  EXPECT_FALSE(media.exports()[0].audio);
  std::vector<std::string> once{
      "[INFO] mux: audioTrack=false aDur=0.0s vDur=3.3333333333333335s video=take.mov audio=take.caf",
      "[ERROR] mux: audio file has NO audio track \u2014 output will be silent", "[INFO] mux: export status=3 err=nil"};
  auto twice = once;
  twice.insert(twice.end(), once.begin(), once.end());
  EXPECT_EQ(out.logLines(), twice);
}

TEST_F(MuxerTest, FailuresInTheirOrder) {
  EXPECT_THROW(mux(), Error);  // unreadable video: the platform's error, unchanged
  media.assetFiles["/r/take.mov"] = SimAssetFile{0, 1, MediaTime{1, 1}};
  EXPECT_EQ(muxCode(), 1);
  EXPECT_TRUE(out.logLines().empty());

  media.assetFiles["/r/take.mov"] = SimAssetFile{1, 0, MediaTime{1, 1}};
  media.assetFiles["/r/take.caf"] = SimAssetFile{0, 1, MediaTime{1, 1}};
  media.exportOutcome = {platform::ExportOutcome::kCancelled, std::nullopt};
  EXPECT_EQ(muxCode(), 3);
  EXPECT_EQ(out.logLines().back(), "[INFO] mux: export status=5 err=nil");

  media.exportOutcome = {platform::ExportOutcome::kFailed, Error("Vantor.Media", 7, "disk full")};
  try {
    mux();
    ADD_FAILURE();
  } catch (const Error& e) {
    EXPECT_EQ(e.description(), "disk full");
  }
  EXPECT_EQ(out.logLines().back(), "[INFO] mux: export status=4 err=Optional(Error Domain=Vantor.Media Code=7 \"disk full\")");
}

TEST(MuxerFormat, SecondsReadBackExactlyWithAFractionalDigit) {
  EXPECT_EQ(VideoAudioMuxer::formatSeconds(0.0), "0.0");
  EXPECT_EQ(VideoAudioMuxer::formatSeconds(12.5), "12.5");
  EXPECT_EQ(VideoAudioMuxer::formatSeconds(12), "12.0");
  EXPECT_EQ(VideoAudioMuxer::formatSeconds(10.0 / 3), "3.3333333333333335");
  EXPECT_EQ(VideoAudioMuxer::formatSeconds(MediaTime{}.seconds()), "nan");
}

}  // namespace
}  // namespace vantor
