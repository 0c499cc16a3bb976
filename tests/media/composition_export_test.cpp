// Exporting compositions over FFmpeg: the take's video copied packet for
// packet, the sound encoded as AAC and cut or kept whole, or copied from what
// its writer encoded while writing, and failures.

#include <fstream>

#include "media_test_support.h"
#include "output/video_audio_muxer.h"
#include "platform/ffmpeg/encoded_sound.h"
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
  std::shared_ptr<platform::ffmpeg::EncodedSoundRegistry> sounds =
      std::make_shared<platform::ffmpeg::EncodedSoundRegistry>();
  std::unique_ptr<platform::MediaServices> services = platform::makeFfmpegMediaServices(sounds);
  std::filesystem::path movie = dir / "take.mp4";
};

double rms(const std::vector<float>& samples, size_t from, size_t to) {
  double sum = 0;
  for (size_t i = from; i < to; ++i) sum += double(samples[i]) * samples[i];
  return std::sqrt(sum / double(to - from));
}

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

TEST_F(CompositionExportTest, SoundItsWriterEncodedIsCopiedAndCutAsEncodingTheFileWould) {
  struct Case {
    int64_t samples;
    double seconds;  // what the movie keeps of it
  };
  // Longer than the picture, and not a whole number of AAC frames; shorter.
  for (auto c : {Case{3 * 16000 + 100, 2.0}, Case{16000, 1.0}}) {
    SCOPED_TRACE(c.samples);
    auto tone = dir / "take.caf";
    writeTone(main, *services, tone, c.samples, 440);
    ASSERT_TRUE(sounds->holds(tone));
    int64_t handedOver = sounds->handedOver();
    auto copied = dir / "copied.mp4", encoded = dir / "encoded.mp4";
    ASSERT_EQ(exportTo(composition(movie, tone), copied).status, ExportOutcome::kCompleted);
    EXPECT_EQ(sounds->handedOver(), handedOver + 1);
    EXPECT_FALSE(sounds->holds(tone)) << "taken once";
    ASSERT_EQ(exportTo(composition(movie, tone), encoded).status, ExportOutcome::kCompleted);
    EXPECT_EQ(sounds->handedOver(), handedOver + 1);

    auto facts = test::probeMovie(copied);
    EXPECT_NEAR(facts.video().duration, 2.0, 1e-6);
    EXPECT_NEAR(facts.audio().duration, c.seconds, 1e-9);
    auto sound = test::decodeAudio(copied);
    EXPECT_NEAR(sound.seconds(), c.seconds, kAacFrame);
    EXPECT_NEAR(test::dominantFrequency(sound.samples, sound.sampleRate), 440, 2);
    EXPECT_NEAR(rms(sound.samples, 2048, sound.samples.size() - 2048), kToneRms, 0.02 * kToneRms);

    // The same encoder settings: the same packets, but for the last three,
    // whose frames (overlapping, and one looked ahead to) reach the cut
    // that only encoding the file sees.
    auto ours = test::readPackets(copied, "audio"), theirs = test::readPackets(encoded, "audio");
    ASSERT_EQ(ours.size(), theirs.size());
    for (size_t i = 0; i < ours.size(); ++i) {
      EXPECT_EQ(ours[i].pts, theirs[i].pts) << "packet " << i;
      EXPECT_EQ(ours[i].duration, theirs[i].duration) << "packet " << i;
      if (i + 3 < ours.size()) EXPECT_EQ(ours[i].data, theirs[i].data) << "packet " << i;
    }
  }
}

TEST_F(CompositionExportTest, ASoundFileChangedSinceItsWriterFinishedIsEncodedAgain) {
  auto tone = dir / "take.caf";
  writeTone(main, *services, tone, 16000, 440);
  ASSERT_TRUE(sounds->holds(tone));
  // As long as before, and with its last-write time set back: only the
  // change time tells it apart.
  auto written = std::filesystem::last_write_time(tone);
  writeTone(tone, 16000, 660);
  std::filesystem::last_write_time(tone, written);
  auto out = dir / "out.mp4";
  ASSERT_EQ(exportTo(composition(movie, tone), out).status, ExportOutcome::kCompleted);
  EXPECT_EQ(sounds->handedOver(), 0);
  EXPECT_FALSE(sounds->holds(tone));
  EXPECT_NEAR(test::probeMovie(out).audio().duration, 1.0, 1e-9);
  EXPECT_NEAR(test::dominantFrequency(test::decodeAudio(out).samples, 16000), 660, 2);
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
