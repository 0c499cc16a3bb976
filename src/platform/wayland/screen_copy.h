#pragma once
// Copies of an output's pixels over wlr-screencopy, into shared memory we
// keep from one copy to the next. The cursor is drawn in unless hidden.
//
// Two ways to use it: copyNow() waits for one copy (stills); request() asks
// for one and returns, state() tells when it arrived while the caller
// dispatches the connection in its own loop (streams). With damage, the
// compositor answers only once something on the output changed.

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>

#include "platform/video_frame.h"
#include "platform/wayland/connection.h"
#include "platform/wayland/shm_buffer.h"

struct zwlr_screencopy_frame_v1;

namespace vantor::platform::wayland {

// A rectangle of an output, in its logical coordinates.
struct Region {
  int x = 0, y = 0, width = 0, height = 0;
  bool operator==(const Region&) const = default;
};

class ScreenCopy {
 public:
  explicit ScreenCopy(Connection& c, bool showsCursor = true) : c_(c), showsCursor_(showsCursor) {}
  ~ScreenCopy() { abandon(); }
  ScreenCopy(const ScreenCopy&) = delete;
  ScreenCopy& operator=(const ScreenCopy&) = delete;

  enum class State { idle, pending, ready, failed };

  // Asks for the next copy of `output` (`region` of it, or all).
  void request(const Output& output, const std::optional<Region>& region, bool withDamage);
  State state() const { return state_; }
  // Drops a copy still pending (its answer is ignored).
  void abandon();

  // Asks and waits. Throws Error (kCopyFailed, kConnectionLost).
  void copyNow(const Output& output, const std::optional<Region>& region);

  // After ready: the copy as BGRX, top row first (converted when the
  // compositor wrote another order or upside down), and when it arrived.
  const PixelBuffer& pixels();
  std::chrono::steady_clock::time_point readyAt() const { return readyAt_; }

 private:
  static void onBuffer(void* data, zwlr_screencopy_frame_v1*, uint32_t format, uint32_t width, uint32_t height,
                       uint32_t stride);
  static void onFlags(void* data, zwlr_screencopy_frame_v1*, uint32_t flags);
  static void onReady(void* data, zwlr_screencopy_frame_v1*, uint32_t, uint32_t, uint32_t);
  static void onFailed(void* data, zwlr_screencopy_frame_v1*);
  static void onDamage(void*, zwlr_screencopy_frame_v1*, uint32_t, uint32_t, uint32_t, uint32_t) {}
  static void onDmabuf(void*, zwlr_screencopy_frame_v1*, uint32_t, uint32_t, uint32_t) {}
  static void onBufferDone(void* data, zwlr_screencopy_frame_v1*);
  void copy();

  Connection& c_;
  const bool showsCursor_;  // overlay_cursor of every request
  zwlr_screencopy_frame_v1* frame_ = nullptr;
  State state_ = State::idle;
  bool withDamage_ = false;
  bool yInvert_ = false;
  struct Offer {
    uint32_t format = 0;
    int width = 0, height = 0, stride = 0;
  };
  std::optional<Offer> offer_;
  std::unique_ptr<ShmBuffer> buffer_;
  std::shared_ptr<PixelBuffer> upright_;  // the copy converted, when it had to be
  bool converted_ = false;
  std::chrono::steady_clock::time_point readyAt_;
};

}  // namespace vantor::platform::wayland
