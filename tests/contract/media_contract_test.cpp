// The media seam's contract (platform/media.h, platform/recording_output.h),
// once for every backend: recording outputs, audio writers, assets and
// exports.

#include <cmath>
#include <fstream>

#include "contract/media_backends.h"
#include "output/video_audio_muxer.h"

namespace vantor::mediatest {
namespace {

using platform::MediaType;

constexpr double kTick = 1.0 / 90000;

class MediaContract : public ::testing::TestWithParam<MediaBackendKind> {
 protected:
  platform::MediaServices& media() { return backend->services(); }
  std::shared_ptr<platform::RecordingOutput> output(const std::filesystem::path& path) {
    return media().createRecordingOutput({path, 320, 240}, reports);
  }
  // Pictures from..to-1, picture n at `start` + n/30 s, each handed over
  // once what came before is written, so that none is dropped for coming early.
  void feed(platform::RecordingOutput& o, int from, int to, double start = 0) {
    for (int n = from; n < to; ++n) {
      backend->drain(o);
      o.streamDidOutputFrame(quadrantFrame(t0 + seconds(start + n / 30.0), n));
    }
    backend->drain(o);
  }
  void recordTake(const std::filesystem::path& path, int frames, double stopAt) {
    auto o = output(path);
    feed(*o, 0, frames);
    o->streamDidStop(t0 + seconds(stopAt));
    ASSERT_EQ(reports->waitForEnd(), std::vector<std::string>{"finish"});
    reports = std::make_shared<ReportLog>();
  }

  std::unique_ptr<MediaBackend> backend = GetParam().make();
  ScratchDir dir;
  std::shared_ptr<ReportLog> reports = std::make_shared<ReportLog>();
  // Frames carry made-up times an hour ahead of the clock, so the FFmpeg
  // output's repeats of a still picture (kill_test), which go by the clock, never come.
  Clock::time_point t0 = Clock::now() + 1h;
};

TEST_P(MediaContract, ATakeReportsExactlyOnceFromTheOutputsOwnThreadWhoeverListens) {
  auto o = output(dir / "once.mp4");
  feed(*o, 0, 5);
  o->streamDidStop(t0 + 1s);
  o->streamDidStop(t0 + 2s);  // a second stop changes nothing
  reports->waitForEnd();

  // The delegate lets go of the last reference to its output while it is told.
  auto told = std::make_shared<ReportLog>();
  auto held = media().createRecordingOutput({dir / "released.mp4", 320, 240}, told);
  told->onEnd = [&] { held.reset(); };  // waitForEnd returns after it
  o = held;
  feed(*o, 0, 5);
  o->streamDidStop(t0 + 1s);
  o.reset();
  EXPECT_EQ(told->waitForEnd(), std::vector<std::string>{"finish"});
  EXPECT_FALSE(held);

  // A delegate that is gone hears nothing; the movie is whole all the same.
  auto gone = std::make_shared<ReportLog>();
  o = media().createRecordingOutput({dir / "orphan.mp4", 320, 240}, gone);
  feed(*o, 0, 5);
  gone.reset();
  o->streamDidStop(t0 + 1s);
  o.reset();
  for (auto name : {"once.mp4", "orphan.mp4"}) {
    auto frames = backend->shownFrames(dir / name);
    ASSERT_EQ(frames.size(), 5u) << name;
    EXPECT_NEAR(frames.back().pts + frames.back().duration, 1.0, kTick) << name;
  }
  backend.reset();  // its threads are gone: any late report is in
  EXPECT_EQ(reports->sofar(), std::vector<std::string>{"finish"});
  EXPECT_NE(reports->thread, std::this_thread::get_id());
}

TEST_P(MediaContract, APausedSpanStaysInTheTimelineShowingTheLastFrameAndTheLastFrameLastsUntilTheStop) {
  // The stream ran for 10 s before its first frame: the movie starts at that frame.
  auto path = dir / "paused.mp4";
  auto o = output(path);
  feed(*o, 0, 30, 10);
  o->setPaused(true);
  feed(*o, 30, 60, 10);  // never written
  o->setPaused(false);
  feed(*o, 60, 90, 10);
  o->streamDidStop(t0 + seconds(13.5));
  EXPECT_EQ(reports->waitForEnd(), std::vector<std::string>{"finish"});
  auto frames = backend->shownFrames(path);
  ASSERT_EQ(frames.size(), 60u);
  for (size_t i = 0; i < frames.size(); ++i) {
    int n = i < 30 ? int(i) : int(i) + 30;
    EXPECT_NEAR(frames[i].pts, n / 30.0, kTick) << n;
    EXPECT_TRUE(frames[i].shows(n)) << n;
  }
  EXPECT_NEAR(frames[29].duration, 2.0 - 29 / 30.0, kTick) << "frame 29 stays through the pause";
  EXPECT_NEAR(frames.back().duration, 3.5 - 89 / 30.0, kTick) << "the last frame lasts until the stop";
}

TEST_P(MediaContract, FramesThatFindTheOutputBusyAreDroppedNotWaitedFor) {
  auto path = dir / "busy.mp4";
  auto o = output(path);
  auto hold = backend->holdWriting(*o);
  if (!hold) GTEST_SKIP() << "this backend writes each frame as it comes: it is never busy";
  auto fed = std::async(std::launch::async, [&] {
    for (int n = 0; n < 20; ++n) o->streamDidOutputFrame(quadrantFrame(t0 + seconds(n / 30.0), n));
  });
  bool waited = fed.wait_for(60s) != std::future_status::ready;
  hold.reset();
  ASSERT_FALSE(waited) << "the stream waited for the output";
  backend->drain(*o);
  // Frames that cannot be used go the same way: none, too small, not after the one before.
  o->streamDidOutputFrame(nullptr);
  o->streamDidOutputFrame(quadrantFrame(t0 + 1s, 40, 318, 240));
  o->streamDidOutputFrame(quadrantFrame(t0 + 10ms, 41));
  feed(*o, 45, 46);
  o->streamDidStop(t0 + 2s);
  EXPECT_EQ(reports->waitForEnd(), std::vector<std::string>{"finish"});
  auto frames = backend->shownFrames(path);
  ASSERT_GE(frames.size(), 2u);
  EXPECT_LT(frames.size(), 21u) << "none dropped";
  for (size_t i = 0; i + 1 < frames.size(); ++i) EXPECT_TRUE(frames[i].shows(int(i))) << i;
  EXPECT_TRUE(frames.back().shows(45));
}

// A take thrown away (a restart): nothing more is written to its file (the
// caller deletes it), the stop after it changes nothing, no report comes.
TEST_P(MediaContract, AnAbandonedTakeWritesNothingMoreAndReportsNothing) {
  auto path = dir / "thrown.mp4";
  auto o = output(path);
  feed(*o, 0, 5);
  const auto size = std::filesystem::exists(path) ? std::filesystem::file_size(path) : 0;
  o->abandon();
  feed(*o, 5, 10);
  o->streamDidStop(t0 + 1s);
  backend->drain(*o);
  EXPECT_EQ(std::filesystem::exists(path) ? std::filesystem::file_size(path) : 0, size);
  o.reset();
  backend.reset();  // its threads are gone: any late report is in
  EXPECT_EQ(reports->sofar(), std::vector<std::string>{});
}

// A full disk: writing ends at once, the delegate hears of it, and the
// movie keeps what plays to its end.
TEST_P(MediaContract, AFailedWriteKeepsWhatPlaysToItsEnd) {
  auto path = dir / "full.mp4";
  auto o = output(path);
  feed(*o, 0, 75);
  int n = 75;
  {
    auto full = backend->fillDisk(path);
    for (; n < 300 && reports->sofar().empty(); ++n) feed(*o, n, n + 1);
    ASSERT_EQ(reports->sofar(), std::vector<std::string>{"stoppedWriting"});
  }
  feed(*o, n, n + 30);  // room again, but writing has ended
  o->streamDidStop(t0 + 12s);
  EXPECT_EQ(reports->waitForEnd(), (std::vector<std::string>{"stoppedWriting", "finish"}));
  EXPECT_EQ(reports->error->domain(), "Vantor.Media");
  auto frames = backend->shownFrames(path);
  ASSERT_GE(frames.size(), 1u);
  EXPECT_LE(frames.size(), 75u) << "nothing after the disk filled";
  for (size_t i = 0; i < frames.size(); ++i) {
    EXPECT_NEAR(frames[i].pts, double(i) / 30, kTick) << i;
    EXPECT_TRUE(frames[i].shows(int(i))) << i;
  }
}

TEST_P(MediaContract, AFileThatCannotBeCreatedThrowsWhenItsWriterIsMade) {
  std::ofstream(dir / "plain-file") << "x";
  for (auto [where, movie] :
       {std::pair{"plain-file", true}, {"no-such-dir", true}, {"plain-file", false}, {"no-such-dir", false}}) {
    auto path = dir / where / (movie ? "take.mp4" : "take.caf");
    try {
      movie ? void(output(path)) : void(media().createAudioFileWriter(path, 16000));
      ADD_FAILURE() << "made a writer for " << path;
    } catch (const Error& e) {
      EXPECT_EQ(e.domain(), "Vantor.Media");
      EXPECT_NE(e.description().find(path.string()), std::string::npos) << e.description();
    }
  }
}

// Samples go back to back, appended from another thread than start and
// finish; appends out of turn are refused; a write that fails (a full disk)
// ends writing, keeps what came before and fails the finish with it.
TEST_P(MediaContract, AnAudioWriterPutsItsSamplesBackToBackAndEndsAtAFailedWrite) {
  auto path = dir / "take.caf";
  std::ofstream(path) << std::string(100000, 'x');  // an older file: replaced
  auto w = media().createAudioFileWriter(path, 16000);
  EXPECT_FALSE(w->append(patternSamples(0, 160), 0)) << "before writing starts";
  EXPECT_TRUE(w->canAddInput());
  w->addInput();
  ASSERT_TRUE(w->startWriting());
  EXPECT_FALSE(w->append(patternSamples(0, 160), 0)) << "before the session";
  w->startSession(0);
  EXPECT_TRUE(w->isReadyForMoreMediaData());
  std::thread([&] {
    for (int64_t n = 0; n < 10; ++n) EXPECT_TRUE(w->append(patternSamples(n * 320, 320), n * 320));
    EXPECT_FALSE(w->writeFailure());
    auto full = backend->fillDisk(path);
    EXPECT_FALSE(w->append(patternSamples(3200, 320), 3200));
  }).join();
  ASSERT_TRUE(w->writeFailure());
  EXPECT_EQ(w->writeFailure()->domain(), "Vantor.Media");
  EXPECT_FALSE(w->append(patternSamples(3200, 320), 3200)) << "room again, but writing has ended";
  w->markAsFinished();
  auto report = finish(*w);
  EXPECT_NE(report.thread, std::this_thread::get_id());
  try {
    std::rethrow_exception(report.failure);
  } catch (const Error& e) {
    EXPECT_EQ(e.description(), w->writeFailure()->description());
  }
  EXPECT_EQ(w->outputURL(), path);
  auto kept = backend->samplesIn(path);
  ASSERT_GE(kept.size(), 3200u);
  EXPECT_LT(kept.size(), 3200u + 320) << "no more than the batch it failed in";
  EXPECT_EQ(kept, patternSamples(0, kept.size())) << "back to back";
}

// Assets know their tracks and durations, and fail on load when unreadable.
// The muxer at a take's end (the component above the seam) asks for the
// picture as encoded and the sound cut to it, or no sound.
TEST_P(MediaContract, AssetsKnowTheirTracksAndAnExportCopiesThePictureAndEncodesTheSoundCutToIt) {
  auto movie = dir / "take.mp4", text = dir / "notes.mp4";
  recordTake(movie, 45, 2.0);  // its last frame lasts half a second
  ASSERT_FALSE(writeSound(media(), dir / "long.caf", toneSamples(3 * 16000, 440)).failure);
  ASSERT_FALSE(writeSound(media(), dir / "short.caf", toneSamples(16001, 660)).failure);
  std::ofstream(text) << "not a movie\n";
  for (auto [path, video, audio, seconds] : {std::tuple{movie, 1, 0, 2.0}, {dir / "short.caf", 0, 1, 16001 / 16000.0}}) {
    auto asset = media().openAsset(path);
    EXPECT_EQ(std::pair(asset->loadTracks(MediaType::Video), asset->loadTracks(MediaType::Audio)), std::pair(video, audio));
    EXPECT_NEAR(asset->loadDuration().seconds(), seconds, 1e-6) << path;
  }
  for (const auto& path : {text, dir / "missing.mp4"}) {
    auto asset = media().openAsset(path);
    EXPECT_THROW(asset->loadTracks(MediaType::Video), Error) << path;
    EXPECT_THROW(asset->loadDuration(), Error) << path;
  }
  struct Case {
    std::filesystem::path sound;
    double seconds, hz;  // what the movie keeps of it
  };
  for (const auto& c : {Case{dir / "long.caf", 2.0, 440}, Case{dir / "short.caf", 1.0, 660}, Case{movie, 0, 0},
                        Case{dir / "missing.caf", 0, 0}}) {
    SCOPED_TRACE(c.sound);
    auto out = dir / "out.mp4";
    std::ofstream(out) << std::string(100000, 'x');  // an older file: replaced
    VideoAudioMuxer::muxNow(media(), movie, c.sound, out);
    auto asset = media().openAsset(out);
    EXPECT_EQ(std::pair(asset->loadTracks(MediaType::Video), asset->loadTracks(MediaType::Audio)),
              std::pair(1, c.seconds > 0 ? 1 : 0));
    EXPECT_NEAR(asset->loadDuration().seconds(), 2.0, 1e-3);
    if (!backend->decodes()) continue;
    auto source = test::readPackets(movie, "video"), copied = test::readPackets(out, "video");
    ASSERT_EQ(copied.size(), source.size());
    for (size_t i = 0; i < source.size(); ++i)
      EXPECT_TRUE(copied[i].data == source[i].data && std::abs(copied[i].pts - source[i].pts) < kTick) << i;
    EXPECT_EQ(test::probeMovie(out).video().colorSpace, "smpte170m");
    if (c.seconds == 0) continue;
    auto sound = test::decodeAudio(out);
    EXPECT_EQ(sound.codec, "aac");
    EXPECT_NEAR(sound.seconds(), c.seconds, 1024.0 / 16000);  // to within the encoder's last frame
    EXPECT_NEAR(test::dominantFrequency(sound.samples, sound.sampleRate), c.hz, 2);
  }
}

INSTANTIATE_TEST_SUITE_P(Backends, MediaContract, ::testing::ValuesIn(kMediaBackends),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vantor::mediatest
