#pragma once
// AudioFileWriter over FFmpeg: a CAF file of 16-bit mono linear PCM
// (caf_file.h says how it survives a kill).
//
// The file is created when the writer is made, so a path that cannot be
// written fails there. Appends write and flush on the caller's thread: a
// 20 ms batch is 640 bytes and one write(2), far less than handing it to
// another thread would cost. Start, session, append and finish may come
// from different threads (never at once), so the state they share is atomic
// and the file sits behind a mutex. finishWriting completes the file on the
// writer's own thread ("cafwriter") and reports from there.
//
// Samples go into the file back to back, whatever their presentation
// sample says beyond being no earlier than the session's start.
//
// Given a registry, each append also encodes its samples as AAC once they
// are in the file (encoded_sound.h), and a writer that finishes well keeps
// the encoding there for the export. Encoding costs the appends about 3 ms
// of CPU a second of sound (export_bench). Should it fail, the writer goes
// on without it and the export encodes the file.

#include <atomic>
#include <filesystem>
#include <memory>

#include "platform/ffmpeg/encoding_thread.h"
#include "platform/media.h"

namespace vantor::platform::ffmpeg {

class EncodedSoundRegistry;

class FfmpegAudioWriter final : public AudioFileWriter {
 public:
  // Throws Error for a sample rate that is not a positive whole number or a
  // file that cannot be created. Forgets what `sounds` held for `path`.
  FfmpegAudioWriter(std::filesystem::path path, double sampleRate,
                    std::shared_ptr<EncodedSoundRegistry> sounds = nullptr);
  // Without finishWriting, the file is completed as it stands.
  ~FfmpegAudioWriter() override;

  bool canAddInput() const override;
  void addInput() override;
  bool startWriting() override;
  void startSession(int64_t sourceSample) override;
  bool isReadyForMoreMediaData() const override;
  bool append(std::span<const int16_t> samples, int64_t presentationSample) override;
  void markAsFinished() override;
  void finishWriting(exec::Resolver<void> done) override;
  std::filesystem::path outputURL() const override { return path_; }
  std::optional<Error> writeFailure() const override;

  int64_t samplesWritten() const;

  struct Core;

 private:
  bool accepting() const;

  std::filesystem::path path_;
  std::shared_ptr<Core> core_;
  std::atomic<bool> hasInput_{false};
  std::atomic<bool> started_{false};
  std::atomic<bool> inSession_{false};
  std::atomic<int64_t> sessionStart_{0};
  std::atomic<bool> markedFinished_{false};
  std::atomic<bool> finishing_{false};
  EncodingThread thread_;  // last: joined before the rest goes
};

}  // namespace vantor::platform::ffmpeg
