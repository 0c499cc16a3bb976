#pragma once
// What every capture backend's stream shares: a thread of its own per run,
// the outputs frames go to, the start and stop hand-shakes with the main
// loop, delivery with at most queueDepth frames in flight, and the counters.
// With a recording output, which gets every frame, the stream output gets
// the latest one whenever its loop comes round: a lagging main loop then
// holds one capture buffer, not one per frame it is behind, and a backend
// whose buffers are all held takes that one back (takeBackUntakenFrame)
// before it makes another.
// A backend supplies capture(): set up, report started, then grab and
// deliver() until stopRequested(), sleeping in poll(2) with wakeFd().

#include <atomic>
#include <chrono>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "platform/screen_capture.h"
#include "util/error.h"

namespace vantor::platform {

class ThreadedStream : public Stream {
 public:
  // `errorDomain` and `invalidUseCode` word the errors of calls out of order;
  // `threadName` names the capture thread.
  ThreadedStream(exec::Loop& main, StreamConfiguration config, std::string errorDomain, int invalidUseCode,
                 std::string threadName);
  // Subclasses call stopAndJoin() first in their own destructor: the thread
  // runs their capture().
  ~ThreadedStream() override;

  void addStreamOutput(FrameHandler handler, exec::Loop& loop) override;
  // Frames go to the output from the stream's thread; it hears of the stop
  // that stopCapture asks for (a stream that ends by itself, say because its
  // window went, just sends no more frames).
  void addRecordingOutput(std::shared_ptr<RecordingOutput> output) override;
  // Called on the main loop. Reports once capture() says it is set up.
  void startCapture(exec::Resolver<void> done) override;
  void stopCapture(exec::Resolver<void> done) override;
  StreamStats stats() const override;

 protected:
  // On the stream's thread: sets up, calls started(), then captures until
  // stopRequested() or the content is gone. Throwing before started() fails
  // the start; after it, logs and ends the stream.
  virtual void capture(const std::function<void()>& started) = 0;
  // The log prefix of failures after the start ("x11", "wayland").
  virtual std::string logPrefix() const = 0;

  void stopAndJoin();
  const StreamConfiguration& config() const { return config_; }
  bool stopRequested() const { return stopRequested_.load(); }
  int wakeFd() const { return wakeFd_; }  // readable when a stop was asked for
  bool queueFull() const { return shared_->inFlight.load() >= config_.queueDepth; }
  void countDropped() { shared_->dropped.fetch_add(1); }
  void countGrab() { shared_->grabs.fetch_add(1); }
  // Hands a frame grabbed at `at` to the recording output (here, now) and to
  // the stream output (on its loop).
  void deliver(ImageRef image, std::chrono::steady_clock::time_point at);
  // On the stream's thread, before a backend's pool makes one more buffer:
  // lets go of the frame the output loop has not taken yet (counted as passed
  // over; a newer one will be there when it comes round), so a lagging main
  // loop does not make the pool grow for good.
  void takeBackUntakenFrame();

 private:
  // What frames and their tasks on the output loop share with the stream.
  struct Shared {
    FrameHandler handler;
    exec::Loop* loop = nullptr;
    std::shared_ptr<RecordingOutput> recordingOutput;  // set before the thread starts
    std::atomic<bool> active{false};
    std::atomic<int> inFlight{0};
    std::atomic<uint64_t> delivered{0}, dropped{0}, grabs{0};
    // With a recording output: the newest frame the output loop has not
    // taken yet, and how many it never took.
    std::atomic<FrameRef*> latest{nullptr};
    std::atomic<uint64_t> passedOver{0};
    ~Shared() { delete latest.load(); }
  };

  Error invalidUse(std::string what) const { return Error(errorDomain_, invalidUseCode_, std::move(what)); }
  void run(exec::Resolver<void> started);
  void finished();
  // Tells the recording output, once, that the stream stopped. Under mutex_.
  void stopRecordingOutput();
  void wake();

  exec::Loop& main_;
  StreamConfiguration config_;
  std::string errorDomain_;
  int invalidUseCode_;
  std::string threadName_;
  std::shared_ptr<Shared> shared_;
  uint64_t nextIndex_ = 0;

  int wakeFd_ = -1;
  std::atomic<bool> stopRequested_{false};
  std::thread thread_;
  std::mutex mutex_;  // guards the two below
  bool threadDone_ = true;
  std::optional<exec::Resolver<void>> pendingStop_;
  // The failure a start reported, held by the stream's thread so that it
  // never drops the last reference while the main loop is still reading the
  // exception. Released after a join. ThreadSanitizer cannot see the runtime's
  // reference count order the two threads otherwise.
  std::exception_ptr startFailure_;
};

}  // namespace vantor::platform
