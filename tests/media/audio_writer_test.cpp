// The FFmpeg audio writer: samples back to back in a CAF file, what it
// refuses, where it reports, replacing and failing to create files, the
// sound it encodes as it writes, and a writer killed mid-take.

#include <fstream>
#include <future>
#include <thread>

#include "helper_process.h"
#include "media_test_support.h"
#include "platform/ffmpeg/encoded_sound.h"
#include "platform/ffmpeg/ffmpeg_media.h"
#include "platform/ffmpeg/media_error.h"
#include "support/capture_sinks.h"
#include "support/movie_probe.h"

namespace vantor::mediatest {
namespace {

using platform::AudioFileWriter;

// Calls finishWriting and waits for the report; the thread it came from,
// and its failure if any.
struct Report {
  std::thread::id thread;
  std::exception_ptr failure;
};

Report finish(AudioFileWriter& writer) {
  using State = exec::detail::CompletionState<std::monostate>;
  struct Target final : exec::detail::CompletionTarget<std::monostate> {
    std::promise<Report> reported;
    void complete(std::exception_ptr failure, std::monostate) override {
      reported.set_value({std::this_thread::get_id(), failure});
    }
  };
  auto target = std::make_unique<Target>();
  auto report = target->reported.get_future();
  writer.finishWriting(exec::Resolver<void>(std::make_shared<State>(std::move(target))));
  return report.get();
}

std::vector<int16_t> decodedPcm(const std::filesystem::path& path) {
  auto sound = test::decodeAudio(path);
  EXPECT_EQ(sound.codec, "pcm_s16le");
  EXPECT_EQ(sound.sampleRate, 16000);
  EXPECT_EQ(sound.channels, 1);
  std::vector<int16_t> pcm;
  for (float s : sound.samples) pcm.push_back(int16_t(std::lround(s * 32768)));
  return pcm;
}

std::vector<std::string> namesIn(const std::filesystem::path& dir) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

// Files this process holds open in `dir` that have no name there.
int unnamedFilesIn(const std::filesystem::path& dir) {
  int count = 0;
  for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code gone;  // the iterator's own descriptor
    std::string target = std::filesystem::read_symlink(fd.path(), gone).string();
    if (target.starts_with(dir.string() + "/") && target.ends_with(" (deleted)")) ++count;
  }
  return count;
}

class AudioWriterTest : public ::testing::Test {
 protected:
  std::unique_ptr<AudioFileWriter> started(const std::filesystem::path& path) {
    auto w = services->createAudioFileWriter(path, 16000);
    EXPECT_TRUE(w->canAddInput());
    w->addInput();
    EXPECT_FALSE(w->canAddInput());
    EXPECT_TRUE(w->startWriting());
    w->startSession(0);
    return w;
  }

  ScratchDir dir;
  std::shared_ptr<platform::ffmpeg::EncodedSoundRegistry> sounds =
      std::make_shared<platform::ffmpeg::EncodedSoundRegistry>();
  std::unique_ptr<platform::MediaServices> services = platform::makeFfmpegMediaServices(sounds);
};

TEST_F(AudioWriterTest, AppendsGoBackToBackAndFinishingReportsFromAnotherThread) {
  auto path = dir / "take.caf";
  auto w = started(path);
  EXPECT_EQ(w->outputURL(), path);
  EXPECT_TRUE(w->isReadyForMoreMediaData());
  // The two appends come from a thread other than the one that started the writer.
  std::thread queue([&] {
    EXPECT_TRUE(w->append(patternSamples(0, 320), 0));
    EXPECT_TRUE(w->append(patternSamples(320, 160), 320));
  });
  queue.join();
  w->markAsFinished();
  EXPECT_FALSE(w->isReadyForMoreMediaData());
  EXPECT_FALSE(w->append(patternSamples(480, 160), 480)) << "after markAsFinished";
  auto report = finish(*w);
  EXPECT_FALSE(report.failure);
  EXPECT_NE(report.thread, std::this_thread::get_id());

  EXPECT_EQ(decodedPcm(path), patternSamples(0, 480));
  auto duration = services->openAsset(path)->loadDuration();
  EXPECT_EQ(duration.value, 480);
  EXPECT_EQ(duration.timescale, 16000);
}

TEST_F(AudioWriterTest, AppendsOutsideTheSessionOrWithoutAnInputAreRefusedAndLeaveNoTrace) {
  auto path = dir / "refused.caf";
  auto w = services->createAudioFileWriter(path, 16000);
  auto samples = patternSamples(0, 160);
  EXPECT_FALSE(w->append(samples, 0)) << "before startWriting";
  EXPECT_TRUE(w->startWriting());
  EXPECT_FALSE(w->canAddInput()) << "inputs come before writing starts";
  w->startSession(100);
  EXPECT_FALSE(w->isReadyForMoreMediaData());
  EXPECT_FALSE(w->append(samples, 100)) << "without an input";
  EXPECT_FALSE(w->startWriting()) << "twice";
  EXPECT_FALSE(finish(*w).failure);
  EXPECT_TRUE(decodedPcm(path).empty());

  auto early = started(dir / "early.caf");
  EXPECT_FALSE(early->append(samples, -1)) << "before the session's start";
  EXPECT_TRUE(early->append(samples, 0));
  EXPECT_FALSE(finish(*early).failure);
  EXPECT_EQ(decodedPcm(dir / "early.caf"), samples);
}

TEST_F(AudioWriterTest, AnExistingFileIsReplacedAndAPathThatCannotBeWrittenThrows) {
  auto path = dir / "old.caf";
  std::ofstream(path) << std::string(100000, 'x');
  auto w = started(path);
  EXPECT_TRUE(w->append(patternSamples(0, 160), 0));
  EXPECT_FALSE(finish(*w).failure);
  EXPECT_EQ(decodedPcm(path), patternSamples(0, 160));
  EXPECT_LT(std::filesystem::file_size(path), 1000u);

  auto missing = dir / "no-such-dir" / "take.caf";
  try {
    services->createAudioFileWriter(missing, 16000);
    ADD_FAILURE() << "no error";
  } catch (const Error& e) {
    EXPECT_EQ(e.domain(), platform::ffmpeg::kMediaDomain);
    EXPECT_EQ(e.code(), platform::ffmpeg::kCannotCreate);
    EXPECT_NE(e.description().find(missing.string()), std::string::npos) << e.description();
    EXPECT_NE(e.description().find("No such file or directory"), std::string::npos) << e.description();
  }
  EXPECT_THROW(services->createAudioFileWriter(dir / "half.caf", 16000.5), Error);
  EXPECT_FALSE(std::filesystem::exists(dir / "half.caf"));
}

TEST_F(AudioWriterTest, TheSoundEncodedAlongHasNoNameOnDiskAndIsKeptUntilTheNextWriterOfThePath) {
  auto path = dir / "take.caf";
  auto w = started(path);
  EXPECT_EQ(unnamedFilesIn(dir.path()), 1);
  EXPECT_TRUE(w->append(patternSamples(0, 16000), 0));
  EXPECT_EQ(namesIn(dir.path()), std::vector<std::string>{"take.caf"});
  EXPECT_FALSE(sounds->holds(path));
  EXPECT_FALSE(finish(*w).failure);
  EXPECT_TRUE(sounds->holds(path));
  w.reset();
  EXPECT_EQ(namesIn(dir.path()), std::vector<std::string>{"take.caf"});
  EXPECT_EQ(unnamedFilesIn(dir.path()), 1) << "kept for the export";

  auto again = services->createAudioFileWriter(path, 16000);
  EXPECT_FALSE(sounds->holds(path));
  again.reset();  // never finished: nothing kept
  EXPECT_FALSE(sounds->holds(path));
  EXPECT_EQ(unnamedFilesIn(dir.path()), 0);
}

TEST_F(AudioWriterTest, AWriterThatCannotEncodeAlongSaysSoOnceAndWritesItsFileAlike) {
  // AAC has no 10 kHz: the export resamples the file, which this writer cannot.
  test::CapturedOutput out;
  auto path = dir / "odd-rate.caf";
  auto w = services->createAudioFileWriter(path, 10000);
  w->addInput();
  ASSERT_TRUE(w->startWriting());
  w->startSession(0);
  for (int64_t n = 0; n < 50; ++n) EXPECT_TRUE(w->append(patternSamples(n * 200, 200), n * 200));
  EXPECT_FALSE(finish(*w).failure);
  EXPECT_FALSE(sounds->holds(path));
  auto lines = out.logLines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(lines[0].starts_with("[ERROR] audio writer: ")) << lines[0];
  EXPECT_TRUE(lines[0].ends_with("; the export will encode the sound")) << lines[0];
  auto sound = test::decodeAudio(path);
  EXPECT_EQ(sound.sampleRate, 10000);
  ASSERT_EQ(sound.samples.size(), 10000u);
  EXPECT_EQ(sound.samples[4321], patternSample(4321) / 32768.0f);

  platform::Composition c;
  c.audio = platform::CompositionTrack{path, platform::MediaType::Audio, {10000, 10000}};
  auto movie = dir / "odd-rate.mp4";
  ASSERT_EQ(services->exportComposition(c, movie).status, platform::ExportOutcome::kCompleted);
  EXPECT_EQ(sounds->handedOver(), 0);
  EXPECT_NEAR(test::probeMovie(movie).audio().duration, 1.0, 1e-3);
}

TEST_F(AudioWriterTest, AKilledWriterLeavesAFileThatReadsUpToItsLastAppend) {
  auto path = dir / "killed.caf";
  constexpr int kBatch = 320, kKillAfter = 25;  // half a second
  int seen = 0;
  auto lines = runAndKill({VANTOR_SOUND_WRITER, path.string()}, [&](const std::string&) { return ++seen >= kKillAfter; });
  ASSERT_GE(int(lines.size()), kKillAfter);
  int64_t reported = int64_t(lines.size()) * kBatch;
  auto pcm = decodedPcm(path);
  // Every reported append is there; one more may have gone in before its line.
  EXPECT_GE(int64_t(pcm.size()), reported);
  EXPECT_LE(int64_t(pcm.size()), reported + kBatch);
  EXPECT_EQ(pcm, patternSamples(0, pcm.size()));
  EXPECT_EQ(namesIn(dir.path()), std::vector<std::string>{"killed.caf"}) << "the encoded sound had no name";
  // The data chunk's size was never written; the duration counts what is there.
  auto duration = services->openAsset(path)->loadDuration();
  EXPECT_EQ(duration.value, int64_t(pcm.size()));
  EXPECT_EQ(duration.timescale, 16000);
}

}  // namespace
}  // namespace vantor::mediatest
