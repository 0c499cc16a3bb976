#pragma once
// Reads movies back for tests over libavformat/libavcodec: the streams a file
// holds, what decoding them yields, and the decoded pictures as BGRA (with
// the colour matrix and range the stream declares). Everything throws
// std::runtime_error, with FFmpeg's reason, when a file cannot be read.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace vantor::test {

struct StreamFacts {
  int index = -1;
  std::string type;      // "video", "audio", ...
  std::string codec;     // "h264", "aac", "pcm_s16le", ...
  double startTime = 0;  // seconds
  double duration = 0;   // seconds, as the container declares (the stream's, else the file's)
  // Video. Colour tags as FFmpeg names them ("bt709", "tv", ...), "unknown" when untagged.
  int width = 0, height = 0;
  std::string pixelFormat, colorSpace, colorPrimaries, colorTransfer, colorRange;
  int64_t decodedFrames = 0;  // pictures (video) or sample frames (audio) decoding yielded
  double lastPts = 0;         // seconds: the latest pts of a decoded picture
  // Audio.
  int sampleRate = 0, channels = 0;
  int64_t decodedSamples = 0;  // per channel
  double decodedSeconds() const { return sampleRate ? double(decodedSamples) / sampleRate : 0; }
};

struct MovieFacts {
  std::string format;   // libavformat's name, e.g. "mov,mp4,m4a,3gp,3g2,mj2"
  double duration = 0;  // seconds, the file's
  std::vector<StreamFacts> streams;
  const StreamFacts* find(std::string_view type) const;  // the first of `type`, or nullptr
  const StreamFacts& video() const;                      // the first video stream; throws when none
  const StreamFacts& audio() const;
};

// Opens the movie and decodes every stream to the end.
MovieFacts probeMovie(const std::filesystem::path& path);

struct DecodedFrame {
  double pts = 0;  // seconds
  // Seconds on screen: until the next picture's pts, the last one until the
  // end of the stream as the container declares it.
  double duration = 0;
  bool keyFrame = false;
  int width = 0, height = 0;
  std::vector<uint8_t> bgra;  // rows of 4 × width bytes

  const uint8_t* pixel(int x, int y) const { return bgra.data() + (size_t(y) * width + x) * 4; }
  uint32_t rgbAt(int x, int y) const {  // 0xRRGGBB
    const uint8_t* p = pixel(x, y);
    return uint32_t(p[2]) << 16 | uint32_t(p[1]) << 8 | p[0];
  }
  // Largest difference in any of R, G, B from `rgb` (0xRRGGBB) at (x, y).
  int distanceAt(int x, int y, uint32_t rgb) const;
};

// Hands each picture of the first video stream, in decoding order, to
// `visit` once the next one (or the end) gives it its duration; returning
// false stops early. `fast` converts about four times faster, a few steps
// less exactly (for checks of content rather than of colours).
void forEachVideoFrame(const std::filesystem::path& path, const std::function<bool(const DecodedFrame&)>& visit,
                       bool fast = false);
// The same, collected. Mind the memory: every picture is kept as BGRA.
std::vector<DecodedFrame> decodeVideoFrames(const std::filesystem::path& path, size_t maxFrames = SIZE_MAX);

// The first audio stream decoded, its first channel as float samples at
// full scale ±1 (16-bit sample v comes back as exactly v / 32768).
struct DecodedAudio {
  int sampleRate = 0, channels = 0;
  std::string codec;
  std::vector<float> samples;
  double seconds() const { return sampleRate ? double(samples.size()) / sampleRate : 0; }
};
DecodedAudio decodeAudio(const std::filesystem::path& path);

// The frequency in [minHz, maxHz], in steps of `stepHz`, where the first
// second of `samples` has the most energy.
double dominantFrequency(const std::vector<float>& samples, int sampleRate, double minHz = 50, double maxHz = 4000,
                         double stepHz = 1);

// The packets of the first stream of `type` as stored, in file order.
struct StoredPacket {
  double pts = 0, dts = 0, duration = 0;  // seconds
  bool keyFrame = false;
  int64_t pos = -1;  // where its bytes start in the file
  std::vector<uint8_t> data;
};
std::vector<StoredPacket> readPackets(const std::filesystem::path& path, std::string_view type);

}  // namespace vantor::test
