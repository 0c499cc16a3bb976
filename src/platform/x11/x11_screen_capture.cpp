#include "platform/x11/x11_screen_capture.h"

#include "exec/serial_queue.h"
#include "platform/x11/capture_source.h"
#include "platform/x11/connection.h"
#include "platform/x11/content_query.h"
#include "platform/x11/cursor.h"
#include "platform/x11/shm_image.h"
#include "platform/x11/x11_stream.h"

namespace vantor::platform {
namespace {

using namespace x11;

class X11ScreenCapture final : public ScreenCaptureService {
 public:
  X11ScreenCapture(exec::Loop& main, std::optional<std::string> display)
      : main_(main), display_(std::move(display)) {}

  std::string name() const override { return "X11 capture"; }

  void getShareableContent(exec::Resolver<ShareableContent> done) override {
    queue_.post([this, done] {
      try {
        done.succeed(content(connection()));
      } catch (...) {
        done.fail(keep(std::current_exception()));
      }
    });
  }

  std::unique_ptr<Stream> createStream(const ContentFilter& filter, const StreamConfiguration& config) override {
    return std::make_unique<X11Stream>(display_, filter, config, main_);
  }

  bool hasScreenshotService() const override { return true; }

  void captureImage(const ContentFilter& filter, exec::Resolver<ImageRef> done) override {
    queue_.post([this, filter, done] {
      try {
        done.succeed(still(connection(), filter));
      } catch (...) {
        done.fail(keep(std::current_exception()));
      }
    });
  }

 private:
  // The queue's connection, opened again when it broke.
  const Connection& connection() {
    VANTOR_ASSERT_ON(queue_);
    if (conn_ && conn_->broken()) {
      stillFrames_.reset();
      windows_.reset();
      conn_.reset();
    }
    if (!conn_) {
      conn_ = Connection::open(display_);
      watchRoot(*conn_);
    }
    // Taken on every use, so that they never pile up between listings.
    if (takeChangeEvents(*conn_)) windows_.reset();
    return *conn_;
  }

  // Monitors are read every time (one round trip, cheap). Windows are
  // listed again only when the server reported a change since the last
  // listing: enumerating them costs a round trip per level of the tree and
  // several per window, about 10 ms on a plain desktop. The monitors' reply
  // comes after every event the server sent before it, so the events looked
  // at then cover everything done before this call.
  ShareableContent content(const Connection& c) {
    VANTOR_ASSERT_ON(queue_);
    ShareableContent out;
    for (const auto& m : queryMonitors(c)) out.displays.push_back({m.id, m.width, m.height});
    if (takeChangeEvents(c)) windows_.reset();
    if (!windows_) windows_ = queryWindows(c, true);
    out.windows = *windows_;
    return out;
  }

  // Holds on to the failure last reported, so that this thread never drops
  // the last reference to an exception the receiving thread is still
  // reading. Harmless either way, but the reference count lives in the
  // uninstrumented runtime and ThreadSanitizer cannot see it order the two.
  std::exception_ptr keep(std::exception_ptr failure) {
    lastFailure_ = failure;
    return failure;
  }

  // A buffer shared with the server for the next still, from a pool kept
  // from one still to the next: the server grabs straight into the image the
  // encoder reads, and making, attaching and faulting in 8 MB afresh cost
  // more than the grab itself. A slot is free again once the still's
  // holders let go; when both are held (an encode is slow) or the size
  // changed, a new pool takes over and the old one goes with its last still
  // (the server keeps a segment still held then until the connection closes;
  // screenshots come one at a time, so that is rare).
  FramePool::Slot* stillSlot(const Connection& c, int width, int height) {
    if (stillFrames_ && stillFrames_->fits(width, height))
      if (FramePool::Slot* slot = stillFrames_->acquire(c)) return slot;
    if (stillFrames_) stillFrames_->trim(c);
    stillFrames_ = std::make_shared<FramePool>(width, height, 2);
    return stillFrames_->acquire(c);
  }

  ImageRef still(const Connection& c, const ContentFilter& filter) {
    CaptureSource source(c, filter, false);
    // A window resized between looking and grabbing fails the grab: look again.
    for (int attempt = 0; attempt < 3; ++attempt) {
      auto area = source.area();
      if (!area) throw x11Error(kWindowGone, source.describe() + " is not on screen");
      FramePool::Slot* slot = stillSlot(c, area->width, area->height);
      if (!source.grab(*area, *slot->shm)) {
        FramePool::release(slot);
        continue;
      }
      if (auto cursor = fetchCursor(c)) drawCursor(*cursor, slot->pixels, area->rootX, area->rootY);
      return stillFrames_->share(slot);
    }
    throw x11Error(kGrabFailed, "cannot grab " + source.describe());
  }

  exec::Loop& main_;
  std::optional<std::string> display_;
  std::unique_ptr<Connection> conn_;  // used only on queue_, which is destroyed first
  std::optional<std::vector<Window>> windows_;  // likewise; the last listing, while nothing changed
  std::shared_ptr<FramePool> stillFrames_;  // likewise; its segments attached on conn_
  std::exception_ptr lastFailure_;    // likewise
  exec::SerialQueue queue_{".helper.x11"};
};

}  // namespace

std::unique_ptr<ScreenCaptureService> makeX11ScreenCapture(exec::Loop& main, std::optional<std::string> display) {
  return std::make_unique<X11ScreenCapture>(main, std::move(display));
}

}  // namespace vantor::platform
