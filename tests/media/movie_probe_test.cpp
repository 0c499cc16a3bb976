// The movie probe itself: audio facts, and failures that say what went wrong.

#include <cstring>
#include <fstream>

#include "media_test_support.h"
#include "support/movie_probe.h"

namespace vantor::mediatest {
namespace {

// A 16-bit PCM WAV file of `samples` frames of silence.
void writeWav(const std::filesystem::path& path, int rate, int channels, int samples) {
  auto le32 = [](std::ofstream& o, uint32_t v) { o.write(reinterpret_cast<const char*>(&v), 4); };
  auto le16 = [](std::ofstream& o, uint16_t v) { o.write(reinterpret_cast<const char*>(&v), 2); };
  uint32_t data = uint32_t(samples) * channels * 2;
  std::ofstream o(path, std::ios::binary);
  o.write("RIFF", 4);
  le32(o, 36 + data);
  o.write("WAVEfmt ", 8);
  le32(o, 16);
  le16(o, 1);  // PCM
  le16(o, uint16_t(channels));
  le32(o, uint32_t(rate));
  le32(o, uint32_t(rate) * channels * 2);
  le16(o, uint16_t(channels * 2));
  le16(o, 16);
  o.write("data", 4);
  le32(o, data);
  std::vector<char> silence(data, 0);
  o.write(silence.data(), std::streamsize(silence.size()));
}

TEST(MovieProbe, ReadsAnAudioStreamsRateChannelsAndDuration) {
  ScratchDir dir;
  auto path = dir / "tone.wav";
  writeWav(path, 16000, 1, 24000);
  auto facts = test::probeMovie(path);
  EXPECT_EQ(facts.find("video"), nullptr);
  EXPECT_THROW(facts.video(), std::runtime_error);
  const auto& a = facts.audio();
  EXPECT_EQ(a.codec, "pcm_s16le");
  EXPECT_EQ(a.sampleRate, 16000);
  EXPECT_EQ(a.channels, 1);
  EXPECT_EQ(a.decodedSamples, 24000);
  EXPECT_DOUBLE_EQ(a.decodedSeconds(), 1.5);
  EXPECT_NEAR(a.duration, 1.5, 1e-3);
}

TEST(MovieProbe, FailuresNameTheFileAndTheReason) {
  ScratchDir dir;
  auto missing = dir / "missing.mp4";
  try {
    test::probeMovie(missing);
    ADD_FAILURE() << "a missing file was read";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find(missing.string()), std::string::npos) << e.what();
    EXPECT_NE(std::string(e.what()).find("No such file or directory"), std::string::npos) << e.what();
  }
  auto garbage = dir / "garbage.mp4";
  std::ofstream(garbage) << "this is not a movie";
  EXPECT_THROW(test::probeMovie(garbage), std::runtime_error);
  EXPECT_THROW(test::decodeVideoFrames(garbage), std::runtime_error);
}

}  // namespace
}  // namespace vantor::mediatest
