#pragma once
// A CAF file of 16-bit signed little-endian linear PCM, one channel, written
// through libavformat's "caf" muxer as samples come.
//
// The header goes out with the data chunk's size unknown (all ones), which
// CAF allows for a last data chunk and libavformat's reader takes as "up to
// the end of the file"; finish() writes the real size. Every write is
// flushed to the operating system at once, so a process killed mid-take
// leaves a file that reads up to its last write. Flushing costs a write(2)
// per call, which at 20 ms batches is nothing.
//
// Samples go into the file back to back: linear PCM in CAF carries no
// timestamps, a sample's time is its index over the rate.

#include <cstdint>
#include <filesystem>
#include <span>

struct AVFormatContext;
struct AVPacket;

namespace vantor::platform::ffmpeg {

class CafFile {
 public:
  // Replaces whatever is at `path` with a file holding just the header.
  // Throws Error (nothing is left on disk then).
  CafFile(const std::filesystem::path& path, int sampleRate);
  // A file not finished is completed as it stands.
  ~CafFile();
  CafFile(const CafFile&) = delete;
  CafFile& operator=(const CafFile&) = delete;

  // Appends `samples` after the ones before and flushes. Throws Error.
  void write(std::span<const int16_t> samples);
  // Writes the data chunk's size and closes the file. Throws Error.
  void finish();

  int64_t samplesWritten() const { return samples_; }
  int sampleRate() const { return sampleRate_; }

 private:
  void close();

  std::filesystem::path path_;
  int sampleRate_;
  AVFormatContext* format_ = nullptr;
  AVPacket* packet_ = nullptr;
  bool open_ = false;
  int64_t samples_ = 0;
};

}  // namespace vantor::platform::ffmpeg
