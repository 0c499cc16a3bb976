#pragma once
// A simulated screen-capture service for deterministic tests: scripted
// displays and windows, synthetic frames, injectable failures, counters.
//
// Completions are reported from a thread of the simulator's own (".sim.capture"),
// as a real platform does, so callers exercise the cross-thread hand-over.
// Configure it on the test thread before use, not while operations run.

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "exec/serial_queue.h"
#include "platform/screen_capture.h"

namespace vantor::platform::sim {

struct SimWindow {
  Window window;
  bool onScreen = true;  // minimised or unmapped windows are not listed
  int width = 640, height = 360;  // its stills' size
};

class SimStream;

// The streams a service made. Shared with them, since a stream may outlive
// its service (a pending stop task can hold it until its loop goes).
struct SimStreamRegistry {
  std::mutex mutex;
  std::vector<SimStream*> streams;
};

class SimScreenCapture final : public ScreenCaptureService {
 public:
  SimScreenCapture();
  ~SimScreenCapture() override;
  std::string name() const override { return "simulated capture"; }

  // Scripted content.
  std::vector<Display> displays;
  std::vector<SimWindow> windows;

  // Injected failures.
  std::optional<Error> contentQueryFailure;  // getShareableContent fails with it
  std::optional<Error> addOutputFailure;     // Stream::addStreamOutput throws it
  std::optional<Error> addRecordingFailure;  // Stream::addRecordingOutput throws it
  std::optional<Error> captureStartFailure;  // Stream::startCapture fails with it
  std::optional<Error> captureStopFailure;   // Stream::stopCapture fails with it
  std::optional<Error> screenshotFailure;    // captureImage fails with it
  bool screenshotService = true;

  // Counters.
  std::atomic<int> contentQueries{0};
  std::atomic<int> stillsTaken{0};

  // Helpers for scripts.
  static Display display(uint32_t id, int width, int height) { return {id, width, height}; }
  static SimWindow window(uint32_t id, std::optional<std::string> title, std::optional<std::string> app,
                          int layer = 0, bool onScreen = true);

  // The streams created so far, oldest first (owned by their callers).
  std::vector<SimStream*> streams() const;
  SimStream* lastStream() const;

  void getShareableContent(exec::Resolver<ShareableContent> done) override;
  std::unique_ptr<Stream> createStream(const ContentFilter& filter, const StreamConfiguration& config) override;
  bool hasScreenshotService() const override { return screenshotService; }
  void captureImage(const ContentFilter& filter, exec::Resolver<ImageRef> done) override;

  // Why `filter` cannot be captured now, as a real platform words it: its
  // window or display is gone, or its window is not on screen.
  std::optional<Error> unavailable(const ContentFilter& filter) const;

 private:
  friend class SimStream;

  exec::SerialQueue platformQueue_{".sim.capture"};
  std::shared_ptr<SimStreamRegistry> registry_ = std::make_shared<SimStreamRegistry>();
};

// A stream whose frames the test emits one at a time with emitFrame().
class SimStream final : public Stream {
 public:
  SimStream(SimScreenCapture& owner, ContentFilter filter, StreamConfiguration config);
  ~SimStream() override;

  const ContentFilter& filter() const { return filter_; }
  const StreamConfiguration& configuration() const { return config_; }
  bool isCapturing() const { return capturing_; }
  int startCalls() const { return startCalls_; }
  int stopCalls() const { return stopCalls_; }

  // Posts one frame of the configured size to the output's loop, if capturing.
  // Its pixels are synthetic: every pixel's B, G, R bytes hold the low three
  // bytes of the frame index, so a consumer can tell frames apart; unless
  // the cursor is hidden, a white square of kPointerSize in the middle is
  // the pointer.
  void emitFrame(bool isValid = true);
  // When set, startCapture and stopCapture never report (their resolvers are kept).
  bool holdCompletions = false;

  void addStreamOutput(FrameHandler handler, exec::Loop& loop) override;
  void addRecordingOutput(std::shared_ptr<RecordingOutput> output) override;
  const std::shared_ptr<RecordingOutput>& recordingOutput() const { return recordingOutput_; }
  void startCapture(exec::Resolver<void> done) override;
  void stopCapture(exec::Resolver<void> done) override;
  StreamStats stats() const override { return stats_; }

  // Fills every pixel of `image` with the stamp of frame `index`.
  static void stamp(PixelBuffer& image, uint64_t index);
  // The index a stamped image carries.
  static uint64_t stampOf(const PixelBuffer& image);
  static constexpr int kPointerSize = 16;
  static void drawPointer(PixelBuffer& image);

 private:
  SimScreenCapture& owner_;
  std::shared_ptr<SimStreamRegistry> registry_;
  ContentFilter filter_;
  StreamConfiguration config_;
  FrameHandler handler_;
  exec::Loop* loop_ = nullptr;
  // Cleared on stop; posted frames check it so none is delivered after stop.
  std::shared_ptr<std::atomic<bool>> live_ = std::make_shared<std::atomic<bool>>(false);
  bool capturing_ = false;
  int startCalls_ = 0;
  int stopCalls_ = 0;
  uint64_t nextIndex_ = 0;
  StreamStats stats_;
  std::vector<exec::Resolver<void>> held_;
  std::shared_ptr<RecordingOutput> recordingOutput_;
};

}  // namespace vantor::platform::sim
