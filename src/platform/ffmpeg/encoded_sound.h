#pragma once
// Sound encoded as AAC while it is written, so that the export at the end of
// a take copies packets instead of encoding the whole take then (about 15 ms
// a second of sound, 9 s for ten minutes).
//
// EncodedSound takes 16-bit mono samples as the audio writer appends them
// and encodes them as aac_encoder.h sets it up, the same stream an export
// would make from the file. Packets go to an anonymous temporary file
// (O_TMPFILE beside the sound file, else tmpfile(3)): it has no name, so
// nothing is left on disk however the process ends, and its space comes back
// when it is closed. 64 kbit/s is 8 KB a second, 480 KB a minute. Only the
// index stays in memory: 32 bytes a packet, under 16 packets a second.
//
// EncodedSoundRegistry holds finished encodings by sound file until an
// export takes one. What identifies the file's contents (samples, size,
// inode, change time) is kept with it: a file changed since is encoded again.
//
// EncodedTrack hands an encoding's packets to the muxer cut to a duration,
// as AacTrack would have cut them: packets starting before the end, the last
// one shortened to end there, the first (the encoder's priming) before 0.

#include <cstdint>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

#include "platform/ffmpeg/aac_encoder.h"
#include "platform/ffmpeg/av_handles.h"
#include "platform/media.h"

namespace vantor::platform::ffmpeg {

class EncodedSound {
 public:
  // Opens the encoder for mono sound at `sampleRate` and the packets' file
  // beside `soundFile`. Throws Error when either cannot be had, or when AAC
  // would need another rate.
  EncodedSound(const std::filesystem::path& soundFile, int sampleRate);
  ~EncodedSound();
  EncodedSound(const EncodedSound&) = delete;
  EncodedSound& operator=(const EncodedSound&) = delete;

  // Encodes `samples` after the ones before; whole encoder frames go out at
  // once, the rest waits for more. Throws Error.
  void append(std::span<const int16_t> samples);
  // Encodes what waits and drains the encoder. Throws Error.
  void finish();

  int64_t samples() const { return samples_; }  // appended
  const AVCodecParameters* parameters() const { return encoder_.parameters.get(); }
  AVRational timeBase() const { return encoder_.context->time_base; }

  struct Packet {
    int64_t offset = 0;  // in the packets' file
    int64_t pts = 0;     // in timeBase()
    int32_t size = 0;
    int32_t duration = 0;
    int32_t flags = 0;
  };
  const std::vector<Packet>& packets() const { return index_; }
  // Packet `i` with its data. Throws Error.
  void read(size_t i, AVPacket* packet) const;

 private:
  void drain();
  void spool(const AVPacket* packet);
  [[noreturn]] void fail(const char* doing, int averror) const;

  std::string name_;  // the sound file's, for errors
  AacEncoder encoder_;
  FifoHandle fifo_;
  FrameHandle frame_;
  PacketHandle packet_;
  std::vector<float> converted_;
  std::FILE* fallbackFile_ = nullptr;  // when tmpfile(3) made the file
  int fd_ = -1;
  int64_t spoolSize_ = 0;
  std::vector<Packet> index_;
  int64_t samples_ = 0;  // appended
  int64_t sent_ = 0;     // sent to the encoder: the next frame's pts
  bool finished_ = false;
};

// What tells a sound file's contents apart: a file rewritten since has
// another change time (which, unlike the last-write time, cannot be set
// back), and a file replaced under the same name another inode.
struct SoundFileStamp {
  int64_t samples = 0;
  int64_t size = 0;
  uint64_t device = 0, inode = 0;
  int64_t changedNs = 0;  // st_ctim
  bool operator==(const SoundFileStamp&) const = default;

  // `path` as it is on disk now: its sample count as libavformat reads it.
  // Throws Error.
  static SoundFileStamp of(const std::filesystem::path& path);
};

// Shared by the media services and the writers they make; any thread.
class EncodedSoundRegistry {
 public:
  // Forgets what was kept for `path`.
  void forget(const std::filesystem::path& path);
  // Keeps `sound` for `path` as `stamp` identifies it, instead of what was
  // kept for it before. Only the latest few are kept: a take that is never
  // exported should not hold its packets' file until the process ends.
  void keep(const std::filesystem::path& path, const SoundFileStamp& stamp, std::unique_ptr<EncodedSound> sound);
  // What was kept for `path`, if the file is still as it was; either way
  // nothing stays kept for it. Reads the file's header.
  std::unique_ptr<EncodedSound> take(const std::filesystem::path& path);

  bool holds(const std::filesystem::path& path) const;
  // How many encodings take() has handed over.
  int64_t handedOver() const;

  static constexpr size_t kKept = 4;

 private:
  struct Entry {
    std::filesystem::path key;
    SoundFileStamp stamp;
    std::unique_ptr<EncodedSound> sound;
  };
  std::unique_ptr<EncodedSound> removeLocked(const std::filesystem::path& key, SoundFileStamp* stamp);

  mutable std::mutex mutex_;
  std::deque<Entry> entries_;  // oldest first
  int64_t handedOver_ = 0;
};

class EncodedTrack {
 public:
  // Keeps [0, duration) of `sound`.
  EncodedTrack(std::unique_ptr<EncodedSound> sound, MediaTime duration);

  const AVCodecParameters* parameters() const { return sound_->parameters(); }
  AVRational timeBase() const { return sound_->timeBase(); }
  // The next packet, in timeBase(); false after the last. Throws Error.
  bool next(AVPacket* packet);

 private:
  std::unique_ptr<EncodedSound> sound_;
  int64_t end_ = 0;  // in timeBase()
  size_t next_ = 0;
};

}  // namespace vantor::platform::ffmpeg
