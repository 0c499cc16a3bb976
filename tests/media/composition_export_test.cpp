// Exporting compositions over FFmpeg: the take's video copied packet for
// packet, the sound encoded as AAC and cut or kept whole, and failures.

#include <fstream>

#include "media_test_support.h"
#include "output/video_audio_muxer.h"
#include "platform/ffmpeg/ffmpeg_media.h"
#include "platform/ffmpeg/media_error.h"
#include "support/capture_sinks.h"
#include "support/movie_probe.h"

namespace vantor::mediatest {
namespace {

using platform::Composition;
using platform::CompositionTrack;
using platform::ExportOutcome;
using platform::MediaTime;
using platform::MediaType;

// One AAC frame at 16 kHz: where the encoder's last frame may end.
constexpr double kAacFrame = 1024.0 / 16000;

class CompositionExportTest : public ::testing::Test {
 protected:
  void SetUp() override { writeMovie(main, *services, movie, 60, 30); }  // 2 s

  Composition composition(const std::filesystem::path& video, const std::filesystem::path& audio) {
    auto videoDuration = services->openAsset(video)->loadDuration();
    auto audioDuration = services->openAsset(audio)->loadDuration();
    Composition c;
    c.video = CompositionTrack{video, MediaType::Video, videoDuration};
    // As the muxer asks: the sound no longer than the picture.
    c.audio = CompositionTrack{audio, MediaType::Audio, videoDuration < audioDuration ? videoDuration : audioDuration};
    return c;
  }

  ExportOutcome exportTo(const Composition& c, const std::filesystem::path& out) {
    return services->exportComposition(c, out);
  }

  exec::MainLoop main;
  ScratchDir dir;
  std::unique_ptr<platform::MediaServices> services = platform::makeFfmpegMediaServices();
  std::filesystem::path movie = dir / "take.mp4";
};

TEST_F(CompositionExportTest, TheVideoIsCopiedAsEncodedAndLongerSoundIsCutToIt) {
  auto tone = dir / "tone.caf";
  writeTone(tone, 3 * 16000, 440);
  auto out = dir / "out.mp4";
  std::ofstream(out) << std::string(100000, 'x');  // replaced

  auto outcome = exportTo(composition(movie, tone), out);
  ASSERT_EQ(outcome.status, ExportOutcome::kCompleted) << (outcome.error ? outcome.error->description() : "");
  EXPECT_FALSE(outcome.error);

  auto source = test::readPackets(movie, "video");
  auto copied = test::readPackets(out, "video");
  ASSERT_EQ(copied.size(), source.size());
  for (size_t i = 0; i < source.size(); ++i) {
    EXPECT_EQ(copied[i].data, source[i].data) << "packet " << i;
    EXPECT_NEAR(copied[i].pts, source[i].pts, 1.0 / 90000) << "packet " << i;
    EXPECT_EQ(copied[i].keyFrame, source[i].keyFrame) << "packet " << i;
  }

  auto facts = test::probeMovie(out);
  EXPECT_NE(facts.format.find("mp4"), std::string::npos);
  ASSERT_EQ(facts.streams.size(), 2u);
  EXPECT_EQ(facts.video().decodedFrames, 60);
  EXPECT_NEAR(facts.video().duration, 2.0, 1e-6);
  EXPECT_EQ(facts.video().colorSpace, "smpte170m");
  EXPECT_EQ(facts.audio().codec, "aac");
  EXPECT_NEAR(facts.audio().duration, 2.0, 1e-3);

  auto sound = test::decodeAudio(out);
  EXPECT_EQ(sound.sampleRate, 16000);
  EXPECT_EQ(sound.channels, 1);
  EXPECT_NEAR(sound.seconds(), 2.0, kAacFrame);
  EXPECT_NEAR(test::dominantFrequency(sound.samples, sound.sampleRate), 440, 2);
}

TEST_F(CompositionExportTest, TheMuxerCombinesRealFilesAndLogsTheirDurations) {
  test::CapturedOutput out;
  auto tone = dir / "tone.caf";
  writeTone(tone, 3 * 16000, 440);
  VideoAudioMuxer::muxNow(*services, movie, tone, dir / "take.muxed.mp4");
  EXPECT_EQ(out.logLines(),
            (std::vector<std::string>{"[INFO] mux: audioTrack=true aDur=3.0s vDur=2.0s video=take.mp4 audio=tone.caf",
                                      "[INFO] mux: export status=3 err=nil"}));
  EXPECT_NEAR(test::probeMovie(dir / "take.muxed.mp4").audio().duration, 2.0, 1e-3);

  // A file that is not sound at all: a silent movie, and the line saying so.
  out.clear();
  VideoAudioMuxer::muxNow(*services, movie, movie, dir / "silent.mp4");
  EXPECT_EQ(out.logLines().at(1), "[ERROR] mux: audio file has NO audio track \u2014 output will be silent");
  EXPECT_EQ(test::probeMovie(dir / "silent.mp4").find("audio"), nullptr);
}

TEST_F(CompositionExportTest, ShorterSoundIsInsertedWholeAndAVideoAloneNeedsNoSound) {
  auto tone = dir / "short.caf";
  writeTone(tone, 16000, 660);
  auto out = dir / "out.mp4";
  ASSERT_EQ(exportTo(composition(movie, tone), out).status, ExportOutcome::kCompleted);
  auto facts = test::probeMovie(out);
  EXPECT_NEAR(facts.video().duration, 2.0, 1e-6);
  EXPECT_NEAR(facts.audio().duration, 1.0, 1e-3);
  auto sound = test::decodeAudio(out);
  EXPECT_NEAR(sound.seconds(), 1.0, kAacFrame);
  EXPECT_NEAR(test::dominantFrequency(sound.samples, sound.sampleRate), 660, 2);

  Composition silent = composition(movie, tone);
  silent.audio.reset();
  auto quiet = dir / "quiet.mp4";
  ASSERT_EQ(exportTo(silent, quiet).status, ExportOutcome::kCompleted);
  facts = test::probeMovie(quiet);
  ASSERT_EQ(facts.streams.size(), 1u);
  EXPECT_EQ(facts.video().decodedFrames, 60);
}

TEST_F(CompositionExportTest, SourcesWithoutTheirTrackOrUnreadableFailAndLeaveNothing) {
  auto tone = dir / "tone.caf";
  writeTone(tone, 16000, 440);
  auto text = dir / "notes.mp4";
  std::ofstream(text) << "not a movie\n";
  MediaTime second{1, 1};
  struct Case {
    const char* what;
    Composition composition;
    int code;
  };
  std::vector<Case> cases = {
      {"a video without video", {CompositionTrack{tone, MediaType::Video, second}, std::nullopt},
       platform::ffmpeg::kMissingTrack},
      {"a sound without sound", {CompositionTrack{movie, MediaType::Video, second}, CompositionTrack{movie, MediaType::Audio, second}},
       platform::ffmpeg::kMissingTrack},
      {"an unreadable video", {CompositionTrack{text, MediaType::Video, second}, std::nullopt},
       platform::ffmpeg::kCannotRead},
      {"a missing sound", {CompositionTrack{movie, MediaType::Video, second}, CompositionTrack{dir / "gone.caf", MediaType::Audio, second}},
       platform::ffmpeg::kCannotRead},
      {"no tracks", {}, platform::ffmpeg::kInvalidComposition},
  };
  for (const auto& c : cases) {
    auto out = dir / "out.mp4";
    auto outcome = exportTo(c.composition, out);
    EXPECT_EQ(outcome.status, ExportOutcome::kFailed) << c.what;
    ASSERT_TRUE(outcome.error) << c.what;
    EXPECT_EQ(outcome.error->domain(), platform::ffmpeg::kMediaDomain) << c.what;
    EXPECT_EQ(outcome.error->code(), c.code) << c.what << ": " << outcome.error->description();
    EXPECT_FALSE(std::filesystem::exists(out)) << c.what;
  }
}

}  // namespace
}  // namespace vantor::mediatest
