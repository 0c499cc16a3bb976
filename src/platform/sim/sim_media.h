#pragma once
// Simulated media services for deterministic tests: video writers and
// recording outputs that record what they were given and report as scripted.
// Recording outputs and audio writers create an empty file at their path
// when made, and throw as the real ones do when it cannot be created. What
// they finish writing, and completed exports, read back as assets while the
// file is there, so the seam's contract holds for them too.
// Reports come from a thread of the simulator's own (".sim.media").

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <optional>
#include <vector>

#include "exec/serial_queue.h"
#include "platform/media.h"

namespace vantor::platform::sim {

class SimVideoWriter;
class SimRecordingOutput;
class SimAudioFileWriter;

// What one video writer was asked to do; outlives the writer so tests can
// look after the recorder has let it go.
struct SimWriterLog {
  std::filesystem::path path;
  int width = 0;
  int height = 0;
  VideoQuality quality = VideoQuality::standard;
  bool readyForMore = true;  // isReadyForMoreMediaData's answer
  int startWritingCalls = 0;
  std::optional<std::chrono::steady_clock::time_point> sessionStart;
  std::vector<uint64_t> appendedIndices;  // frames accepted, by stream index
  std::vector<std::chrono::steady_clock::time_point> appendedTimes;
  bool markedFinished = false;
  bool finished = false;
};

// What one audio file writer was given. The writer creates an empty file at
// its path when it is made, so tests can see it kept or deleted.
struct SimAudioFileLog {
  std::filesystem::path path;
  double sampleRate = 0;
  std::atomic<bool> canAddInput{true};
  std::atomic<bool> readyForMore{true};
  std::atomic<bool> refuseAppends{false};
  // Set, it ends writing as a full disk would: appends fail, finishing fails with it.
  std::optional<Error> writeFailure;  // under mutex
  bool inputAdded = false;
  bool startedWriting = false;
  std::optional<int64_t> sessionStart;
  std::mutex mutex;
  std::vector<int16_t> samples;               // accepted, in order
  std::vector<int64_t> presentationSamples;   // time of each accepted append
  bool markedFinished = false;
  std::atomic<bool> finished{false};
};

// A simulated media file for assets: which tracks it has and how long it is.
struct SimAssetFile {
  int videoTracks = 0;
  int audioTracks = 0;
  MediaTime duration;
  std::optional<Error> loadFailure;      // every load fails with it
  std::optional<Error> durationFailure;  // only the duration load fails
};

class SimMediaServices final : public MediaServices {
 public:
  std::string name() const override { return "simulated"; }
  // Injected failures and behaviour of what gets created next.
  std::optional<Error> writerCreationFailure;
  std::optional<Error> outputCreationFailure;
  bool writersStartWriting = true;  // startWriting's answer

  enum class Report { finish, fail, never };
  Report outputReport = Report::finish;
  Error outputFailure{"Vantor.Media", 9, "simulated recording failure"};
  std::chrono::milliseconds outputReportDelay{0};

  std::optional<Error> audioWriterCreationFailure;
  // Files the assets read, by path; a path not listed cannot be read.
  std::map<std::filesystem::path, SimAssetFile> assetFiles;
  // The export's answer; a completed export writes a small file at `out`.
  ExportOutcome exportOutcome{ExportOutcome::kCompleted, std::nullopt};
  std::vector<Composition> exports() const;

  std::vector<std::shared_ptr<SimWriterLog>> writers() const;
  std::vector<std::shared_ptr<SimAudioFileLog>> audioWriters() const;
  std::vector<std::shared_ptr<SimRecordingOutput>> outputs() const;

  std::unique_ptr<VideoWriter> createVideoWriter(const std::filesystem::path& path, int width, int height,
                                                 VideoQuality quality) override;
  std::shared_ptr<RecordingOutput> createRecordingOutput(const RecordingOutputConfiguration& config,
                                                         std::weak_ptr<RecordingOutputDelegate> delegate) override;
  std::unique_ptr<AudioFileWriter> createAudioFileWriter(const std::filesystem::path& path,
                                                         double sampleRate) override;
  std::unique_ptr<MediaAsset> openAsset(const std::filesystem::path& path) override;
  ExportOutcome exportComposition(const Composition& composition, const std::filesystem::path& out) override;

 private:
  friend class SimVideoWriter;
  friend class SimRecordingOutput;
  friend class SimAudioFileWriter;
  // A file the simulator finished writing reads back as `file`.
  void wrote(const std::filesystem::path& path, SimAssetFile file);

  mutable std::mutex mutex_;
  std::map<std::filesystem::path, SimAssetFile> written_;
  std::vector<std::shared_ptr<SimWriterLog>> writers_;
  std::vector<std::shared_ptr<SimRecordingOutput>> outputs_;
  std::vector<std::shared_ptr<SimAudioFileLog>> audioWriters_;
  std::vector<Composition> exports_;
  exec::SerialQueue reports_{".sim.media"};
};

class SimVideoWriter final : public VideoWriter {
 public:
  SimVideoWriter(SimMediaServices& owner, std::shared_ptr<SimWriterLog> log);

  bool startWriting() override;
  void startSession(Clock::time_point sourceTime) override { log_->sessionStart = sourceTime; }
  bool isReadyForMoreMediaData() const override { return log_->readyForMore; }
  bool append(const FrameRef& frame) override;
  void markAsFinished() override { log_->markedFinished = true; }
  void finishWriting(exec::Resolver<void> done) override;

 private:
  SimMediaServices& owner_;
  std::shared_ptr<SimWriterLog> log_;
};

class SimRecordingOutput final : public RecordingOutput {
 public:
  SimRecordingOutput(SimMediaServices& owner, RecordingOutputConfiguration config,
                     std::weak_ptr<RecordingOutputDelegate> delegate);

  const RecordingOutputConfiguration config;
  std::atomic<bool> paused{false};
  std::atomic<int> framesWritten{0};  // frames that arrived while not paused, before a failure
  std::atomic<int> framesSkipped{0};  // frames that arrived while paused
  std::atomic<bool> stopped{false};

  // The frames written, in order, and when the stream stopped.
  struct WrittenFrame {
    uint64_t index = 0;
    Clock::time_point presentationTime;
  };
  std::vector<WrittenFrame> written() const;
  std::optional<Clock::time_point> stopTime() const;

  void setPaused(bool p) override { paused = p; }
  void streamDidOutputFrame(FrameRef frame) override;
  void streamDidStop(Clock::time_point stopTime) override;
  void abandon() override;
  std::atomic<bool> abandoned{false};

  // Writing fails now, as on a full disk: no frame is written after it, the
  // delegate hears of it, and after the stream stops the report is a finish
  // when `moviePlays` (what was written is kept), else the failure, with
  // the file removed.
  void failWhileRecording(const Error& error, bool moviePlays);

 private:
  SimMediaServices& owner_;
  std::weak_ptr<RecordingOutputDelegate> delegate_;
  std::atomic<bool> writingFailed_{false};
  mutable std::mutex mutex_;
  std::vector<WrittenFrame> written_;
  std::optional<Clock::time_point> stopTime_;
  std::optional<Error> midTakeFailure_;  // on the simulator's thread
  bool moviePlays_ = true;
};

}  // namespace vantor::platform::sim
