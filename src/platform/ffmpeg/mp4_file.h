#pragma once
// A fragmented MPEG-4 file with one H.264 track, written as packets come.
//
// movflags frag_keyframe+empty_moov+default_base_moof, frag_duration 1 s and
// flush_packets=1: the header (with an empty moov) is on disk at once, a
// fragment is cut at every keyframe and at least every second, and each one
// reaches the disk when it is cut instead of waiting for libavformat's
// 256 KiB buffer. A process killed mid-take leaves a file libavformat reads,
// short of the open fragment: at most about the last second.
//
// Each packet is held until the next one arrives, which gives it its exact
// duration; the last one's duration comes from finish(), so the movie can
// end at the take's stop time rather than at the last frame's start.
//
// The first packet is placed at 0 whatever its time: the header goes out
// before any frame, so it cannot hold an edit that starts the movie later,
// and libavformat would otherwise shift every frame back by that offset.
// The first frame is thus shown from the start; the others keep their times.

#include <cstdint>
#include <filesystem>
#include <optional>

struct AVCodecContext;
struct AVFormatContext;
struct AVPacket;
struct AVStream;

namespace vantor::platform::ffmpeg {

class Mp4File {
 public:
  // Creates (or truncates) `path` and writes the header for `encoder`'s
  // stream. Throws Error; nothing is left on disk then.
  Mp4File(const std::filesystem::path& path, const AVCodecContext* encoder);
  // A file neither finished nor discarded is completed as it stands.
  ~Mp4File();
  Mp4File(const Mp4File&) = delete;
  Mp4File& operator=(const Mp4File&) = delete;

  // Takes a packet in the encoder's time base. Throws Error when writing fails.
  void write(AVPacket* packet);
  // Writes the held packet, lasting until `endPts` when that is later than its
  // start (else as long as the interval before it), then the trailer, and
  // closes the file. Throws Error.
  void finish(std::optional<int64_t> endPts);
  // Closes and removes the file.
  void discard();
  // Closes the file as it stands, writing nothing more (its owner deletes it).
  void abandon() { close(); }

  int64_t packetsWritten() const { return written_; }
  const std::filesystem::path& path() const { return path_; }

 private:
  void mux(AVPacket* packet);
  void close();

  std::filesystem::path path_;
  AVFormatContext* format_ = nullptr;
  AVStream* stream_ = nullptr;
  AVPacket* held_ = nullptr;
  bool holding_ = false;
  bool open_ = false;
  int64_t lastInterval_ = 0;
  int64_t written_ = 0;
  int codecTimeBaseNum_ = 1, codecTimeBaseDen_ = 1;
};

}  // namespace vantor::platform::ffmpeg
