#include "output/mixed_audio_writer.h"

#include <fmt/format.h>
#include <future>

#include "util/log.h"
#include "exec/completion.h"

namespace vantor {

MixedAudioWriter::MixedAudioWriter(platform::MediaServices& media) : media_(media) {}

MixedAudioWriter::~MixedAudioWriter() = default;

void MixedAudioWriter::start(const std::filesystem::path& url) {
  std::shared_ptr<platform::AudioFileWriter> writer = media_.createAudioFileWriter(url, kSampleRate);
  // Without the input every append is refused, and logged as such.
  if (writer->canAddInput()) writer->addInput();
  writer->startWriting();
  writer->startSession(0);

  std::promise<void> done;
  queue_.post([&] {
    writer_ = writer;
    sessionStarted_ = true;
    sampleCount_ = 0;
    writingFailed_ = false;
    done.set_value();
  });
  done.get_future().wait();
}

void MixedAudioWriter::appendFrame(MonoBatch batch) {
  if (batch.empty()) return;
  queue_.post([this, batch = std::move(batch)] { appendOnQueue(batch); });
}

void MixedAudioWriter::appendOnQueue(const MonoBatch& batch) {
  VANTOR_ASSERT_ON(queue_);
  if (!sessionStarted_ || writingFailed_) return;
  if (!writer_ || !writer_->isReadyForMoreMediaData()) {
    logFailure("MixedAudioWriter._appendFrame: not ready for media data (count={}); frame dropped");
    return;
  }
  if (writer_->append(batch, sampleCount_)) {
    sampleCount_ += int64_t(batch.size());
  } else if (std::optional<Error> failure = writer_->writeFailure()) {
    // Nothing more can be written; the take goes on, and the host hears why its sound ends here.
    writingFailed_ = true;
    if (onFailure_) onFailure_(*failure);
  } else {
    logFailure("MixedAudioWriter._appendFrame: the audio file refused the samples (count={})");
  }
}

void MixedAudioWriter::logFailure(const char* what) {
  if (appendFailureLogCount_ >= kMaxFailureLogs) return;
  ++appendFailureLogCount_;
  logError(fmt::format(fmt::runtime(what), appendFailureLogCount_));
}

int64_t MixedAudioWriter::sampleCount() {
  std::promise<int64_t> count;
  queue_.post([&] { count.set_value(sampleCount_); });
  return count.get_future().get();
}

asio::awaitable<void> MixedAudioWriter::finish() {
  struct Taken {
    std::shared_ptr<platform::AudioFileWriter> writer;
    int64_t samples = 0;
  };
  // Queued behind every batch appended so far.
  Taken taken = co_await exec::awaitCompletion<Taken>([this](exec::Resolver<Taken> done) {
    queue_.post([this, done] {
      if (!writer_ || !sessionStarted_) return done.succeed({});
      writer_->markAsFinished();
      Taken t{std::move(writer_), sampleCount_};
      writer_.reset();
      sessionStarted_ = false;
      done.succeed(std::move(t));
    });
  });
  if (!taken.writer) co_return;

  std::filesystem::path url = taken.writer->outputURL();
  co_await exec::awaitCompletion<void>([&](exec::Resolver<void> done) { taken.writer->finishWriting(done); });
  std::error_code error;
  auto size = std::filesystem::file_size(url, error);
  int64_t bytes = error ? -1 : int64_t(size);
  logInfo(fmt::format("MixedAudioWriter.finish: wrote {} sample-batches, caf={} bytes", taken.samples, bytes));
}

}  // namespace vantor
