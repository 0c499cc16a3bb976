#pragma once
// Writes the mixed audio of a take into a CAF file (linear PCM, 16-bit,
// mono, 16000 Hz) beside the video. Each batch is placed right after the
// samples written before it; a batch that cannot be written at once is
// dropped, not waited for, so the file has no gaps and is shorter by what
// was dropped. Failures are logged, at most five times in the object's life.
//
// Threads: start/finish on the main loop; appendFrame from any thread (it
// only posts); the writing and every field on the queue ".helper.audiowriter".

#include <asio/awaitable.hpp>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>

#include "audio/pcm_converter.h"
#include "exec/serial_queue.h"
#include "platform/media.h"

namespace vantor {

class MixedAudioWriter {
 public:
  static constexpr double kSampleRate = PCMConverter::kCommonSampleRate;
  static constexpr int kMaxFailureLogs = 5;

  explicit MixedAudioWriter(platform::MediaServices& media);
  ~MixedAudioWriter();

  // Told, on the writer's queue and once per take, of the write error that
  // ended the file (a full disk); it must only hand the news on. Set before
  // the first start.
  void setOnFailure(std::function<void(const Error&)> onFailure) { onFailure_ = std::move(onFailure); }

  // Creates the file at `url` (the caller chooses a name that holds nothing
  // of anyone's) and opens the writing session. Throws the media services'
  // error when the file cannot be created.
  void start(const std::filesystem::path& url);
  void appendFrame(MonoBatch batch);
  // Completes the file after every batch queued before it; at once when no
  // file is open. Throws the write error that ended the file, if one did:
  // the file then holds what was written before it.
  asio::awaitable<void> finish();

  // Samples written in the current take (read on the queue; for tests).
  int64_t sampleCount();

 private:
  void appendOnQueue(const MonoBatch& batch);
  void logFailure(const char* what);

  platform::MediaServices& media_;
  // On queue_ only:
  std::shared_ptr<platform::AudioFileWriter> writer_;
  bool inputAdded_ = false;
  bool sessionStarted_ = false;
  int64_t sampleCount_ = 0;
  int appendFailureLogCount_ = 0;
  bool writingFailed_ = false;
  std::function<void(const Error&)> onFailure_;
  exec::SerialQueue queue_{".helper.audiowriter"};
};

}  // namespace vantor
