// The mixed audio writer and the muxer on the simulated media services:
// sample-counted times, drops that leave no gap, a write failure handed on
// once, and the muxer's failures (its movies: media_contract_test).

#include <gtest/gtest.h>

#include <filesystem>

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

// sampleCount() waits for the batches before it, so each step is written
// before the file's answers change.
TEST_F(MixedAudioWriterTest, EachBatchGoesRightAfterTheSamplesWrittenBeforeItAndOnlyDuringATake) {
  writer.appendFrame(MonoBatch(10, 1));  // before start: dropped
  writer.start(scratch / "take.caf");
  writer.appendFrame({});
  writer.appendFrame(MonoBatch(100, 2));
  EXPECT_EQ(writer.sampleCount(), 100);
  file()->readyForMore = false;
  writer.appendFrame(MonoBatch(100, 3));
  EXPECT_EQ(writer.sampleCount(), 100);
  file()->readyForMore = true;
  file()->refuseAppends = true;
  for (int i = 0; i < 4; ++i) writer.appendFrame(MonoBatch(100, 4));
  EXPECT_EQ(writer.sampleCount(), 100);
  file()->refuseAppends = false;
  writer.appendFrame(MonoBatch(50, 5));
  finish();
  writer.appendFrame(MonoBatch(10, 1));  // after finish: dropped
  finish();                              // nothing open: nothing happens
  EXPECT_EQ(file()->sessionStart, 0);
  EXPECT_EQ(file()->presentationSamples, (std::vector<int64_t>{0, 100}));  // no gap where batches were dropped
  MonoBatch expected(100, 2);
  expected.resize(150, 5);
  EXPECT_EQ(file()->samples, expected);
  EXPECT_TRUE(file()->markedFinished && file()->finished);

  writer.start(scratch / "b.caf");  // a later take: refused again, but the five failure lines are spent
  file(1)->refuseAppends = true;
  writer.appendFrame(MonoBatch(100, 5));
  finish();
  auto logs = out.logLines();
  EXPECT_EQ(std::count_if(logs.begin(), logs.end(), [](auto& l) { return l.starts_with("[ERROR]"); }), 5);
}

TEST_F(MixedAudioWriterTest, AWriteFailureIsHandedOnOnceAndEndsTheFile) {
  std::vector<std::string> told;
  writer.setOnFailure([&](const Error& e) { told.push_back(e.description()); });
  writer.start(scratch / "full.caf");
  writer.appendFrame(MonoBatch(100, 1));
  EXPECT_EQ(writer.sampleCount(), 100);
  {
    std::lock_guard lock(file()->mutex);
    file()->writeFailure = Error("Vantor.Media", 5, "disk full");
  }
  for (int i = 0; i < 3; ++i) writer.appendFrame(MonoBatch(100, 2));
  EXPECT_EQ(writer.sampleCount(), 100);
  EXPECT_THROW(finish(), Error);
  EXPECT_EQ(told, std::vector<std::string>{"disk full"});

  media.audioWriterCreationFailure = Error("Vantor.Media", 4, "cannot create /nowhere/x.caf");
  EXPECT_THROW(writer.start("/nowhere/x.caf"), Error);
}

class MuxerTest : public ::testing::Test {
 protected:
  void mux() {
    test::runOn(main, VideoAudioMuxer::mux(media, worker, "/r/take.mov", "/r/take.caf", "/r/take.muxed.mp4"));
  }
  test::CapturedOutput out;
  exec::MainLoop main;
  platform::sim::SimMediaServices media;
  exec::SerialQueue worker{".test.mux"};
};

TEST_F(MuxerTest, FailuresInTheirOrder) {
  auto failure = [&]() -> std::tuple<std::string, int, std::string> {
    try {
      mux();
    } catch (const Error& e) {
      return {e.domain(), e.code(), e.description()};
    }
    return {};
  };
  EXPECT_EQ(std::get<0>(failure()), "Vantor.Media");  // unreadable video: the platform's error, unchanged
  media.assetFiles["/r/take.mov"] = SimAssetFile{0, 1, MediaTime{1, 1}};
  EXPECT_EQ(std::get<1>(failure()), 1);  // no video track
  EXPECT_TRUE(media.exports().empty());

  media.assetFiles["/r/take.mov"] = SimAssetFile{1, 0, MediaTime{1, 1}};
  media.assetFiles["/r/take.caf"] = SimAssetFile{0, 1, MediaTime{1, 1}};
  media.exportOutcome = {platform::ExportOutcome::kCancelled, std::nullopt};
  EXPECT_EQ(failure(), std::tuple("Vantor.Mux", 3, "The operation couldn\u2019t be completed. (Vantor.Mux error 3.)"));
  media.exportOutcome = {platform::ExportOutcome::kFailed, Error("Vantor.Media", 7, "disk full")};
  EXPECT_EQ(failure(), std::tuple("Vantor.Media", 7, "disk full"));
}

}  // namespace
}  // namespace vantor
