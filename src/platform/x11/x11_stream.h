#pragma once
// Streams of one content filter: each has its own thread and its own xcb
// connection, sleeps in poll(2) on that connection until the X server
// reports a change (Damage, XFixes cursor, window structure) or the pointer
// moves, and grabs at minimumFrameInterval on average (frame_pacer.h).

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/screen_capture.h"
#include "platform/threaded_stream.h"
#include "platform/x11/capture_source.h"
#include "platform/x11/connection.h"
#include "platform/frame_fit.h"
#include "platform/x11/shm_image.h"

namespace vantor::platform::x11 {

// Frame buffers shared with the X server. A buffer is handed out again only
// once every ImageRef to it is gone; the pool outlives the stream's
// connection when consumers still hold frames.
class FramePool : public std::enable_shared_from_this<FramePool> {
 public:
  FramePool(int width, int height, size_t capacity) : width_(width), height_(height), capacity_(capacity) {}
  bool fits(int width, int height) const { return width == width_ && height == height_; }

  struct Slot {
    std::unique_ptr<ShmSegment> shm;
    PixelBuffer pixels;
    std::atomic<bool> busy{false};
    std::optional<Placement> layout;  // what the bars around the content were painted for
  };

  // A free slot, marked busy; nullptr when all `capacity` are held. When
  // none is free, `beforeGrowing` may let one go before a new one is made.
  Slot* acquire(const Connection& c, const std::function<void()>& beforeGrowing = {});
  // The slot's pixels for consumers; the slot is free again when the last reference goes.
  ImageRef share(Slot* slot);
  // Marks a slot acquired but not shared as free again.
  static void release(Slot* slot) { slot->busy.store(false, std::memory_order_release); }
  // Frees every slot nobody holds; on the grabbing thread, once it grabs no
  // more. A slot still held then is freed when its last holder lets go, so
  // the frame a consumer keeps (the latest, for screenshots) keeps only its
  // own segment, not the whole pool.
  void trim(const Connection& c);

 private:
  int width_, height_;
  size_t capacity_;
  std::vector<std::unique_ptr<Slot>> slots_;  // touched only by the grabbing thread
  std::atomic<bool> retired_{false};
};

// Grabs the source once and turns it into a frame of the configured size,
// cursor drawn (unless hidden), content fitted in. The unit of work of a stream, also driven
// directly by the benchmarks.
class FrameMaker {
 public:
  // `beforeGrowing`: see FramePool::acquire.
  FrameMaker(const Connection& c, CaptureSource& source, int width, int height, size_t poolSize,
             bool showsCursor = true, std::function<void()> beforeGrowing = {});
  ~FrameMaker() { pool_->trim(c_); }
  FrameMaker(const FrameMaker&) = delete;
  FrameMaker& operator=(const FrameMaker&) = delete;

  enum class Result { made, noBuffer, nothingToGrab, grabFailed };
  Result make(ImageRef& image, std::chrono::steady_clock::time_point& grabbedAt);

 private:
  const Connection& c_;
  CaptureSource& source_;
  int width_, height_;
  bool showsCursor_;
  std::function<void()> beforeGrowing_;
  std::shared_ptr<FramePool> pool_;
  std::unique_ptr<ShmSegment> scratch_;  // content at native size when it differs from the frame size
};

class X11Stream final : public ThreadedStream {
 public:
  X11Stream(std::optional<std::string> display, ContentFilter filter, StreamConfiguration config,
            exec::Loop& main);
  ~X11Stream() override { stopAndJoin(); }

 private:
  void capture(const std::function<void()>& started) override;
  std::string logPrefix() const override { return "x11"; }
  void captureLoop(const Connection& c, CaptureSource& source, FrameMaker& maker);

  std::optional<std::string> display_;
  ContentFilter filter_;
};

}  // namespace vantor::platform::x11
