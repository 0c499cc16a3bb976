// What only the FFmpeg backend has, on decoded files: H.264 keyframes and
// colour tags, sizes it cannot encode, torn takes and cutting them back, the
// sound its audio writer encodes along, and the packet pump.

#include <fstream>

#include "media_test_support.h"
#include "platform/ffmpeg/caf_file.h"
#include "platform/ffmpeg/encoded_sound.h"
#include "platform/ffmpeg/ffmpeg_media.h"
#include "platform/ffmpeg/ffmpeg_recording_output.h"
#include "platform/ffmpeg/fragment_salvage.h"
#include "platform/ffmpeg/media_error.h"
#include "platform/ffmpeg/packet_pump.h"

namespace vantor::mediatest {
namespace {

using namespace platform::ffmpeg;
using platform::MediaType;

constexpr double kTick = 1.0 / 90000;

// A take through the recording output (repeats off: the times are made
// up), picture n at offsets[n]; waits until the file is complete.
void recordTake(const std::filesystem::path& path, const std::vector<double>& offsets, double stopAt,
                int width = 320, int height = 240,
                platform::VideoQuality quality = platform::VideoQuality::standard) {
  auto t0 = Clock::now();
  auto o = std::make_shared<FfmpegRecordingOutput>(platform::RecordingOutputConfiguration{path, width, height, quality},
                                                   std::weak_ptr<ReportLog>(), std::chrono::milliseconds(0));
  for (size_t n = 0; n < offsets.size(); ++n) {
    while (o->framesQueued() >= FfmpegRecordingOutput::kQueueCapacity) std::this_thread::yield();
    o->streamDidOutputFrame(quadrantFrame(t0 + seconds(offsets[n]), int(n), width, height));
  }
  o->streamDidStop(t0 + seconds(stopAt));
}

std::vector<double> at30fps(int frames) {
  std::vector<double> offsets;
  for (int n = 0; n < frames; ++n) offsets.push_back(n / 30.0);
  return offsets;
}

TEST(FfmpegMovie, IsH264InBt601TagsWithAKeyframeAtLeastEveryTwoSecondsAndTheTimesAsGiven) {
  // Bursts, near-coincident frames, gaps longer than the keyframe bound, and
  // 3 s at 10 fps without any other reason for a keyframe.
  std::vector<double> offsets = {0.0, 0.004, 0.0401, 0.1, 0.35, 0.36, 0.9, 1.25, 1.9, 2.05, 2.3,
                                 3.1, 3.6,   4.15,   4.16, 4.2, 6.9, 7.0, 7.5, 8.2, 8.9, 9.6};
  for (int n = 0; n < 30; ++n) offsets.push_back(10.0 + n * 0.1);
  ScratchDir dir;
  auto path = dir / "take.mp4";
  recordTake(path, offsets, 13.0, 321, 241);  // odd sizes lose their last column and row

  auto facts = test::probeMovie(path);
  EXPECT_NE(facts.format.find("mp4"), std::string::npos);
  ASSERT_EQ(facts.streams.size(), 1u);
  const auto& v = facts.video();
  EXPECT_EQ(std::tie(v.codec, v.width, v.height, v.pixelFormat), std::tuple("h264", 320, 240, "yuv420p"));
  EXPECT_EQ(std::tie(v.colorSpace, v.colorPrimaries, v.colorTransfer, v.colorRange),
            std::tuple("smpte170m", "smpte170m", "smpte170m", "tv"));
  auto frames = test::decodeVideoFrames(path);
  ASSERT_EQ(frames.size(), offsets.size());
  double lastKey = -1;
  for (size_t n = 0; n < frames.size(); ++n) {
    EXPECT_NEAR(frames[n].pts, offsets[n], kTick) << n;
    if (frames[n].keyFrame) lastKey = frames[n].pts;
    ASSERT_GE(lastKey, 0) << "the first frame is not a keyframe";
    EXPECT_LT(frames[n].pts - lastKey, 2.0) << "frame " << n << " is too far from a keyframe";
    EXPECT_EQ(pictureOf(frames[n]), int(n % kPalette.size())) << n;
  }
}

// libx264 writes its settings into the stream: each quality is its CRF.
TEST(FfmpegMovie, EachQualityIsItsConstantRateFactor) {
  ScratchDir dir;
  for (auto [quality, crf] : {std::pair(platform::VideoQuality::low, "crf=30.0"),
                              std::pair(platform::VideoQuality::standard, "crf=23.0"),
                              std::pair(platform::VideoQuality::high, "crf=18.0")}) {
    auto path = dir / "take.mp4";
    recordTake(path, at30fps(3), 0.2, 320, 240, quality);
    std::ifstream in(path, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), {});
    EXPECT_NE(bytes.find(crf), std::string::npos) << crf;
  }
}

// Sizes libx264 cannot encode are refused when the writer is made; a take
// that stopped before any frame was written fails; neither leaves a file.
TEST(FfmpegMovie, SizesItCannotEncodeAndTakesWithoutFramesFailAndLeaveNoFile) {
  ScratchDir dir;
  auto media = platform::makeFfmpegMediaServices();
  auto path = dir / "nothing.mp4";
  for (auto [width, height] : {std::pair{1, 240}, {320, 0}, {16386, 240}, {320, -2}}) {
    for (bool output : {false, true}) {
      try {
        if (output) media->createRecordingOutput({path, width, height}, {});
        else media->createVideoWriter(path, width, height, platform::VideoQuality::standard);
        ADD_FAILURE() << "made a writer of " << width << "x" << height;
      } catch (const Error& e) {
        auto size = std::to_string(width) + "x" + std::to_string(height);
        EXPECT_EQ(std::pair(e.code(), e.description()), std::pair(int(kInvalidSize), "cannot encode frames of " + size + " pixels"));
      }
      EXPECT_FALSE(std::filesystem::exists(path));
    }
  }
  auto reports = std::make_shared<ReportLog>();
  auto o = media->createRecordingOutput({path, 320, 240}, reports);
  o->setPaused(true);
  o->streamDidOutputFrame(quadrantFrame(Clock::now(), 0));
  o->streamDidStop(Clock::now());
  EXPECT_EQ(reports->waitForEnd(), std::vector<std::string>{"fail"});
  EXPECT_EQ(reports->error->code(), kNoFrames);
  EXPECT_FALSE(std::filesystem::exists(path));
}

// A take torn as a kill or a full disk leaves it: its duration runs to its
// last whole frame, and cutting it back to its last complete fragment
// leaves a movie that decodes to its end.
TEST(FfmpegMovie, ATornTakeLastsUntilItsLastWholeFrameAndIsCutBackToWhatPlays) {
  ScratchDir dir;
  auto whole = dir / "take.mp4";
  recordTake(whole, at30fps(75), 2.5);  // fragments of a second, the last one short
  auto packets = test::readPackets(whole, "video");
  ASSERT_EQ(packets.size(), 75u);
  EXPECT_EQ(platform::makeFfmpegMediaServices()->openAsset(whole)->loadDuration().value, 75 * 3000);
  struct Case {
    uint64_t size;
    int64_t wholeFrames;  // before the cut
    int kept;             // frames left after it; 0: the file is removed
  };
  for (auto c : {Case{uint64_t(packets[72].pos + 10), 72, 60}, Case{uint64_t(packets[40].pos), 40, 30},
                 Case{uint64_t(packets[0].pos / 2), -1, 0}}) {
    SCOPED_TRACE(c.size);
    auto torn = dir / "torn.mp4";
    std::filesystem::copy_file(whole, torn, std::filesystem::copy_options::overwrite_existing);
    std::filesystem::resize_file(torn, c.size);
    if (c.wholeFrames >= 0)
      EXPECT_EQ(platform::makeFfmpegMediaServices()->openAsset(torn)->loadDuration().value, c.wholeFrames * 3000);
    auto salvaged = cutToLastCompleteFragment(torn);
    EXPECT_EQ(std::filesystem::exists(torn), c.kept > 0);
    if (c.kept == 0) continue;
    auto lastEnd = uint64_t(packets[size_t(c.kept - 1)].pos) + packets[size_t(c.kept - 1)].data.size();
    EXPECT_EQ(std::filesystem::file_size(torn), lastEnd) << "it ends with its last frame";
    EXPECT_EQ(salvaged.keptBytes, lastEnd);
    auto frames = test::decodeVideoFrames(torn);
    ASSERT_EQ(frames.size(), size_t(c.kept));
    for (int n = 0; n < c.kept; ++n) EXPECT_EQ(pictureOf(frames[size_t(n)]), n % int(kPalette.size())) << n;
  }
}

// The sound an audio writer encodes as it writes has no name on disk (the
// kill test sees none left either), and an export takes it instead of
// encoding the file, packet for packet as encoding would but for the cut; a
// file changed since is encoded afresh.
TEST(FfmpegSound, SoundEncodedAlongIsUnnamedAndCopiedIntoTheExportAsEncodingWouldMakeIt) {
  ScratchDir dir, soundDir;
  auto sounds = std::make_shared<EncodedSoundRegistry>();
  auto services = platform::makeFfmpegMediaServices(sounds);
  auto movie = dir / "take.mp4", tone = soundDir / "take.caf";
  recordTake(movie, at30fps(60), 2.0);
  auto writeTone = [&](int64_t samples) {
    ASSERT_FALSE(writeSound(*services, tone, toneSamples(samples, 440)).failure);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(soundDir.path()), {}), 1) << "the sound alone";
  };
  auto exportTo = [&](const char* name, double seconds) {
    platform::Composition c{{{movie, MediaType::Video, {2, 1}}},
                            {{tone, MediaType::Audio, {int64_t(seconds * 16000), 16000}}}};
    EXPECT_EQ(services->exportComposition(c, dir / name).status, platform::ExportOutcome::kCompleted);
    return test::readPackets(dir / name, "audio");
  };
  // Longer than the picture and not a whole number of AAC frames; shorter.
  for (auto [samples, kept] : {std::pair{3 * 16000 + 100, 2.0}, {16000, 1.0}}) {
    writeTone(samples);
    auto handedOver = sounds->handedOver();
    auto copied = exportTo("copied.mp4", kept), encoded = exportTo("encoded.mp4", kept);  // taken once
    EXPECT_EQ(sounds->handedOver(), handedOver + 1);
    auto sound = test::decodeAudio(dir / "copied.mp4");
    EXPECT_NEAR(sound.seconds(), kept, 1024.0 / 16000);
    EXPECT_NEAR(test::dominantFrequency(sound.samples, 16000), 440, 2);
    // The same packets but for the last three, whose frames (overlapping, and
    // one looked ahead to) reach the cut that only encoding the file sees.
    ASSERT_EQ(copied.size(), encoded.size());
    for (size_t i = 0; i < copied.size(); ++i) {
      EXPECT_EQ(std::tie(copied[i].pts, copied[i].duration), std::tie(encoded[i].pts, encoded[i].duration)) << i;
      if (i + 3 < copied.size()) EXPECT_EQ(copied[i].data, encoded[i].data) << i;
    }
  }
  writeTone(16000);
  services->createAudioFileWriter(tone, 16000);  // a new take at the same path
  EXPECT_FALSE(sounds->holds(tone)) << "the sound of the take before is forgotten";
  // Rewritten as long as before with its last-write time set back: only the change time tells.
  writeTone(16000);
  auto written = std::filesystem::last_write_time(tone);
  CafFile rewritten(tone, 16000);
  rewritten.write(toneSamples(16000, 660));
  rewritten.finish();
  std::filesystem::last_write_time(tone, written);
  auto handedOver = sounds->handedOver();
  exportTo("changed.mp4", 1.0);
  EXPECT_EQ(sounds->handedOver(), handedOver);
  EXPECT_NEAR(test::dominantFrequency(test::decodeAudio(dir / "changed.mp4").samples, 16000), 660, 2);
}

// The export's sound is encoded on a thread of its own and pulled packet by packet.
TEST(PacketPump, HandsOverPacketsInOrderThenTheSourcesEndOrFailureAndStopsAnEndlessOneWhenDestroyed) {
  PacketHandle packet(av_packet_alloc());
  for (bool fails : {false, true}) {
    int made = 0;
    // A queue of 2: the source waits for room most of the time.
    PacketPump pump([&](AVPacket* p) {
      if (made == 10 && fails) throw mediaError(kCannotEncode, "the tenth went wrong");
      p->pts = made++;
      return made <= 10;
    }, 2, "test-pump");
    for (int n = 0; n < 10; ++n) {
      ASSERT_TRUE(pump.next(packet.get()));
      EXPECT_EQ(packet->pts, n);
      av_packet_unref(packet.get());
    }
    if (fails) EXPECT_THROW(pump.next(packet.get()), Error);
    else EXPECT_FALSE(pump.next(packet.get()) || pump.next(packet.get()));
  }
  std::atomic<int> made{0};
  {
    PacketPump pump([&](AVPacket*) { return ++made > 0; }, 4, "test-pump");
    ASSERT_TRUE(pump.next(packet.get()));
  }  // returns although the source would go on
  EXPECT_LE(made.load(), 6) << "the queue's 4, the one taken and the one in hand";
}

}  // namespace
}  // namespace vantor::mediatest
