#include "platform/ffmpeg/encoded_sound.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>

extern "C" {
#include <libavutil/mathematics.h>
}

#include "platform/ffmpeg/input_file.h"
#include "platform/ffmpeg/media_error.h"

namespace vantor::platform::ffmpeg {

EncodedSound::EncodedSound(const std::filesystem::path& soundFile, int sampleRate)
    : name_(soundFile.string()),
      encoder_(openAacEncoder(sampleRate, 1, name_)),
      frame_(av_frame_alloc()),
      packet_(av_packet_alloc()) {
  if (encoder_.context->sample_rate != sampleRate)
    throw mediaError(kCannotEncode, "cannot encode the sound of " + name_ + " as AAC at its rate while writing");
  fifo_.reset(av_audio_fifo_alloc(AV_SAMPLE_FMT_FLTP, 1, 2 * encoder_.context->frame_size));
  if (!fifo_ || !frame_ || !packet_) fail("encode", AVERROR(ENOMEM));

  // Beside the sound file, on the disk the take is going to anyway; a file
  // system without unnamed files gets tmpfile(3)'s, which has no name either.
  std::filesystem::path dir = soundFile.parent_path();
  fd_ = ::open(dir.empty() ? "." : dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd_ < 0) {
    fallbackFile_ = std::tmpfile();
    if (!fallbackFile_) fail("keep the encoded sound of", AVERROR(errno));
    fd_ = fileno(fallbackFile_);
  }
}

EncodedSound::~EncodedSound() {
  if (fallbackFile_) std::fclose(fallbackFile_);
  else if (fd_ >= 0) ::close(fd_);
}

void EncodedSound::fail(const char* doing, int averror) const {
  throw mediaError(kCannotEncode, std::string("cannot ") + doing + " " + name_ + " as AAC: " + avErrorText(averror));
}

void EncodedSound::append(std::span<const int16_t> samples) {
  if (finished_) fail("encode", AVERROR(EINVAL));
  if (samples.empty()) return;
  // As libswresample converts for an export: v / 32768, exactly.
  converted_.resize(samples.size());
  std::transform(samples.begin(), samples.end(), converted_.begin(),
                 [](int16_t v) { return float(v) * (1.0f / 32768); });
  void* planes[] = {converted_.data()};
  int r = av_audio_fifo_write(fifo_.get(), planes, int(samples.size()));
  if (r < 0) fail("encode", r);
  samples_ += int64_t(samples.size());
  const int frameSize = encoder_.context->frame_size;
  while (av_audio_fifo_size(fifo_.get()) >= frameSize) {
    r = sendAacFrame(encoder_.context.get(), fifo_.get(), frame_.get(), frameSize, sent_);
    if (r < 0) fail("encode", r);
    sent_ += frameSize;
    drain();
  }
}

void EncodedSound::finish() {
  if (finished_) return;
  int rest = av_audio_fifo_size(fifo_.get());
  if (rest > 0) {
    int r = sendAacFrame(encoder_.context.get(), fifo_.get(), frame_.get(), rest, sent_);
    if (r < 0) fail("encode", r);
    sent_ += rest;
  }
  int r = avcodec_send_frame(encoder_.context.get(), nullptr);
  if (r < 0) fail("encode", r);
  drain();
  finished_ = true;
}

// Whatever packets the encoder has ready go to the file.
void EncodedSound::drain() {
  for (;;) {
    int r = avcodec_receive_packet(encoder_.context.get(), packet_.get());
    if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) return;
    if (r < 0) fail("encode", r);
    try {
      spool(packet_.get());
    } catch (const Error&) {
      av_packet_unref(packet_.get());
      throw;
    }
    av_packet_unref(packet_.get());
  }
}

void EncodedSound::spool(const AVPacket* packet) {
  const uint8_t* data = packet->data;
  size_t left = size_t(packet->size);
  int64_t at = spoolSize_;
  while (left > 0) {
    ssize_t n = ::pwrite(fd_, data, left, at);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) fail("keep the encoded sound of", n < 0 ? AVERROR(errno) : AVERROR(EIO));
    data += n;
    left -= size_t(n);
    at += n;
  }
  index_.push_back(Packet{spoolSize_, packet->pts, packet->size, int32_t(packet->duration), packet->flags});
  spoolSize_ = at;
}

void EncodedSound::read(size_t i, AVPacket* packet) const {
  auto cannotRead = [&](int r) {
    return mediaError(kCannotRead, "cannot read the encoded sound of " + name_ + ": " + avErrorText(r));
  };
  const Packet& p = index_.at(i);
  av_packet_unref(packet);
  int r = av_new_packet(packet, p.size);
  if (r < 0) throw cannotRead(r);
  uint8_t* data = packet->data;
  size_t left = size_t(p.size);
  int64_t at = p.offset;
  while (left > 0) {
    ssize_t n = ::pread(fd_, data, left, at);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      av_packet_unref(packet);
      throw cannotRead(n < 0 ? AVERROR(errno) : AVERROR_EOF);
    }
    data += n;
    left -= size_t(n);
    at += n;
  }
  packet->pts = packet->dts = p.pts;
  packet->duration = p.duration;
  packet->flags = p.flags;
}

SoundFileStamp SoundFileStamp::of(const std::filesystem::path& path) {
  struct stat file {};
  if (::stat(path.c_str(), &file) != 0)
    throw mediaError(kCannotRead, "cannot read " + path.string() + ": " + std::strerror(errno));
  SoundFileStamp stamp;
  stamp.size = int64_t(file.st_size);
  stamp.device = uint64_t(file.st_dev);
  stamp.inode = uint64_t(file.st_ino);
  stamp.changedNs = int64_t(file.st_ctim.tv_sec) * 1'000'000'000 + file.st_ctim.tv_nsec;
  InputHandle input = openInputFile(path);
  int index = firstStream(input.get(), AVMEDIA_TYPE_AUDIO);
  if (index < 0) throw mediaError(kMissingTrack, path.string() + " has no audio track");
  const AVStream* st = input->streams[index];
  int64_t end = streamEnds(input.get(), path)[size_t(index)];
  stamp.samples = av_rescale_q(end, st->time_base, AVRational{1, std::max(1, st->codecpar->sample_rate)});
  return stamp;
}

namespace {

// One key for one file however it was named.
std::filesystem::path keyOf(const std::filesystem::path& path) {
  std::error_code error;
  auto key = std::filesystem::weakly_canonical(path, error);
  return error ? path.lexically_normal() : key;
}

}  // namespace

std::unique_ptr<EncodedSound> EncodedSoundRegistry::removeLocked(const std::filesystem::path& key,
                                                                 SoundFileStamp* stamp) {
  auto it = std::find_if(entries_.begin(), entries_.end(), [&](const Entry& e) { return e.key == key; });
  if (it == entries_.end()) return nullptr;
  std::unique_ptr<EncodedSound> sound = std::move(it->sound);
  if (stamp) *stamp = it->stamp;
  entries_.erase(it);
  return sound;
}

void EncodedSoundRegistry::forget(const std::filesystem::path& path) {
  std::filesystem::path key = keyOf(path);
  std::unique_ptr<EncodedSound> forgotten;  // its file closes after the lock
  std::lock_guard lock(mutex_);
  forgotten = removeLocked(key, nullptr);
}

void EncodedSoundRegistry::keep(const std::filesystem::path& path, const SoundFileStamp& stamp,
                                std::unique_ptr<EncodedSound> sound) {
  std::filesystem::path key = keyOf(path);
  std::unique_ptr<EncodedSound> replaced, dropped;  // their files close after the lock
  std::lock_guard lock(mutex_);
  replaced = removeLocked(key, nullptr);
  if (entries_.size() >= kKept) {
    dropped = std::move(entries_.front().sound);
    entries_.pop_front();
  }
  entries_.push_back(Entry{std::move(key), stamp, std::move(sound)});
}

std::unique_ptr<EncodedSound> EncodedSoundRegistry::take(const std::filesystem::path& path) {
  std::filesystem::path key = keyOf(path);
  SoundFileStamp kept;
  std::unique_ptr<EncodedSound> sound;
  {
    std::lock_guard lock(mutex_);
    sound = removeLocked(key, &kept);
  }
  if (!sound) return nullptr;
  // The file is read outside the lock: writers finishing meanwhile need not wait.
  try {
    // The stamp holds the sample count, which matched the encoding when it was kept.
    if (SoundFileStamp::of(path) != kept) return nullptr;
  } catch (const Error&) {
    return nullptr;  // the export reads the file itself and says what is wrong
  }
  std::lock_guard lock(mutex_);
  ++handedOver_;
  return sound;
}

bool EncodedSoundRegistry::holds(const std::filesystem::path& path) const {
  std::filesystem::path key = keyOf(path);
  std::lock_guard lock(mutex_);
  return std::any_of(entries_.begin(), entries_.end(), [&](const Entry& e) { return e.key == key; });
}

int64_t EncodedSoundRegistry::handedOver() const {
  std::lock_guard lock(mutex_);
  return handedOver_;
}

EncodedTrack::EncodedTrack(std::unique_ptr<EncodedSound> sound, MediaTime duration) : sound_(std::move(sound)) {
  AVRational tb = sound_->timeBase();
  end_ = std::max<int64_t>(0, av_rescale_rnd(duration.value, tb.den, int64_t(duration.timescale) * tb.num,
                                             AV_ROUND_NEAR_INF));
}

bool EncodedTrack::next(AVPacket* packet) {
  // Nothing at all for nothing kept: the priming packet alone would be a
  // track of its own length.
  const auto& packets = sound_->packets();
  if (end_ <= 0 || next_ >= packets.size() || packets[next_].pts >= end_) return false;
  sound_->read(next_++, packet);
  if (packet->pts + packet->duration > end_) packet->duration = end_ - packet->pts;
  return true;
}

}  // namespace vantor::platform::ffmpeg
