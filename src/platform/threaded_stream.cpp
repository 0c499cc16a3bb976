#include "platform/threaded_stream.h"

#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <fmt/format.h>

#include "util/log.h"

namespace vantor::platform {

using Clock = std::chrono::steady_clock;

ThreadedStream::ThreadedStream(exec::Loop& main, StreamConfiguration config, std::string errorDomain,
                               int invalidUseCode, std::string threadName)
    : main_(main), config_(config), errorDomain_(std::move(errorDomain)), invalidUseCode_(invalidUseCode),
      threadName_(std::move(threadName)), shared_(std::make_shared<Shared>()) {
  wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

ThreadedStream::~ThreadedStream() {
  stopAndJoin();
  if (wakeFd_ >= 0) close(wakeFd_);
}

void ThreadedStream::stopAndJoin() {
  shared_->active.store(false);
  stopRequested_.store(true);
  wake();
  if (thread_.joinable()) thread_.join();
}

void ThreadedStream::wake() {
  uint64_t one = 1;
  if (wakeFd_ >= 0) (void)!write(wakeFd_, &one, sizeof one);
}

void ThreadedStream::addStreamOutput(FrameHandler handler, exec::Loop& loop) {
  std::lock_guard lock(mutex_);
  if (!threadDone_) throw invalidUse("cannot add an output to a running stream");
  if (!handler) throw invalidUse("a stream output needs a frame handler");
  shared_->handler = std::move(handler);
  shared_->loop = &loop;
}

void ThreadedStream::addRecordingOutput(std::shared_ptr<RecordingOutput> output) {
  std::lock_guard lock(mutex_);
  if (!threadDone_) throw invalidUse("cannot add a recording output to a running stream");
  shared_->recordingOutput = std::move(output);
}

void ThreadedStream::stopRecordingOutput() {
  if (auto output = std::exchange(shared_->recordingOutput, nullptr)) output->streamDidStop(Clock::now());
}

StreamStats ThreadedStream::stats() const {
  return {shared_->delivered.load(), shared_->dropped.load(), shared_->grabs.load()};
}

void ThreadedStream::startCapture(exec::Resolver<void> done) {
  VANTOR_ASSERT_ON(main_);
  if (!shared_->loop) return done.fail(invalidUse("add a stream output before starting the stream"));
  if (config_.width <= 0 || config_.height <= 0 || config_.queueDepth < 1 ||
      config_.minimumFrameInterval.count() < 0)
    return done.fail(invalidUse("invalid stream configuration"));
  {
    std::lock_guard lock(mutex_);
    if (!threadDone_) return done.fail(invalidUse("the stream is already capturing"));
    threadDone_ = false;
  }
  if (thread_.joinable()) thread_.join();  // a previous run, already finished
  stopRequested_.store(false);
  uint64_t drain;
  (void)!read(wakeFd_, &drain, sizeof drain);
  shared_->active.store(true);
  thread_ = std::thread([this, done] { run(done); });
}

void ThreadedStream::stopCapture(exec::Resolver<void> done) {
  VANTOR_ASSERT_ON(main_);
  // Frames already posted see this and are dropped unhandled.
  shared_->active.store(false);
  {
    std::lock_guard lock(mutex_);
    if (!threadDone_) {
      pendingStop_ = done;
      stopRequested_.store(true);
      wake();
      return;
    }
    stopRecordingOutput();
  }
  if (!shared_->loop) return done.succeed();
  // A fence behind every frame task already posted: once it runs, no handler
  // is running or will run.
  shared_->loop->post([done] { done.succeed(); });
}

void ThreadedStream::finished() {
  std::optional<exec::Resolver<void>> stop;
  {
    std::lock_guard lock(mutex_);
    threadDone_ = true;
    stop.swap(pendingStop_);
    if (stop) stopRecordingOutput();  // after the thread's last frame
  }
  if (stop) shared_->loop->post([done = *stop] { done.succeed(); });
}

void ThreadedStream::run(exec::Resolver<void> started) {
  pthread_setname_np(pthread_self(), threadName_.c_str());
  bool running = false;
  try {
    capture([&] {
      started.succeed();
      running = true;
    });
  } catch (const std::exception& e) {
    shared_->active.store(false);
    if (running) {
      logError(logPrefix() + ": " + e.what() + "; stream ends");
    } else {
      // Kept until the thread is joined: see startFailure_.
      startFailure_ = std::current_exception();
      started.fail(startFailure_);
    }
  }
  uint64_t passedOver = shared_->passedOver.exchange(0), dropped = shared_->dropped.load();
  if (running && (passedOver || dropped))
    logInfo(fmt::format("{}: the main loop was behind on {} frames (it kept the latest); {} not grabbed, {} in flight",
                        logPrefix(), passedOver, dropped, config_.queueDepth));
  finished();
}

void ThreadedStream::deliver(ImageRef image, Clock::time_point at) {
  auto shared = shared_;
  shared->inFlight.fetch_add(1);
  FrameRef frame(new VideoFrame{true, at, std::move(image), nextIndex_++}, [shared](const VideoFrame* f) {
    shared->inFlight.fetch_sub(1);
    delete f;
  });
  shared->delivered.fetch_add(1);
  if (!shared->recordingOutput) {
    shared->loop->post([shared, frame = std::move(frame)]() mutable {
      if (shared->active.load()) shared->handler(std::move(frame));
    });
    return;
  }
  shared->recordingOutput->streamDidOutputFrame(frame);
  // The movie has every frame now; the output loop only needs the latest
  // (stills). Frames it is behind on replace each other in the mailbox
  // instead of each keeping a capture buffer until it catches up.
  if (FrameRef* replaced = shared->latest.exchange(new FrameRef(std::move(frame)))) {
    delete replaced;
    shared->passedOver.fetch_add(1);
    return;  // the task posted for it takes this one
  }
  shared->loop->post([shared] {
    std::unique_ptr<FrameRef> latest(shared->latest.exchange(nullptr));
    if (latest && shared->active.load()) shared->handler(std::move(*latest));
  });
}

void ThreadedStream::takeBackUntakenFrame() {
  if (FrameRef* untaken = shared_->latest.exchange(nullptr)) {
    delete untaken;
    shared_->passedOver.fetch_add(1);
  }
}

}  // namespace vantor::platform
