#pragma once
// Frames of one portal stream, received from PipeWire. PipeWire calls us on
// its own thread loop ("pw-portal"); there we only copy the newest buffer
// into the back image of a triple buffer (converted to B, G, R, X) and wake
// the consumer. The consumer (a stream's thread, or a still being taken)
// swaps the newest image to the front and works on it there. No locks
// between the two: the three images change hands by atomic exchange.

#include <array>
#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "platform/video_frame.h"

struct pw_thread_loop;
struct pw_context;
struct pw_core;
struct pw_stream;
struct spa_pod;

namespace vantor::platform::portal {

class PipeWireReceiver {
 public:
  // Takes `fd` (from OpenPipeWireRemote) and connects to `node`. Throws
  // Error kStreamFailed.
  PipeWireReceiver(int fd, uint32_t node);
  ~PipeWireReceiver();
  PipeWireReceiver(const PipeWireReceiver&) = delete;
  PipeWireReceiver& operator=(const PipeWireReceiver&) = delete;

  // Readable after a new frame came or the stream broke; takeNewest() drains it.
  int readyFd() const { return readyFd_; }
  // On the consumer's thread: brings the newest frame to the front when one
  // came since the last call.
  bool takeNewest();
  // The front image (null before the first frame); only the consumer's thread reads it.
  const PixelBuffer* front() const { return images_[front_].get(); }
  // Set once the stream or the connection broke: what happened.
  bool broken() const { return broken_.load(std::memory_order_acquire); }
  const std::string& failure() const { return failure_; }

 private:
  static constexpr int kFresh = 4;  // in middle_: the middle image is newer than the front
  void onProcess();
  void onParamChanged(uint32_t id, const spa_pod* param);
  void onStateChanged(int state, const char* error);
  void fail(std::string what);
  void tearDown();  // in the destructor, and when the constructor fails

  int readyFd_ = -1;
  pw_thread_loop* loop_ = nullptr;
  pw_context* context_ = nullptr;
  pw_core* core_ = nullptr;
  pw_stream* stream_ = nullptr;
  struct Listeners;
  std::unique_ptr<Listeners> listeners_;

  // Set on PipeWire's thread before frames flow (param_changed), read there.
  uint32_t format_ = 0;
  int width_ = 0, height_ = 0;

  std::array<std::shared_ptr<PixelBuffer>, 3> images_;
  int back_ = 0;                 // PipeWire's thread
  std::atomic<int> middle_{1};   // index, | kFresh when newer than the front
  int front_ = 2;                // the consumer's thread
  std::thread::id consumer_;     // set by the first takeNewest()

  std::atomic<bool> broken_{false};
  std::string failure_;  // written before broken_ is set, never after
  // PipeWire's thread: a frame it could not read was logged; the stream
  // flowed; its pause was logged.
  bool told_ = false, streamed_ = false, toldPaused_ = false;
};

}  // namespace vantor::platform::portal
