#include "platform/x11/x11_screen_capture.h"

#include <libyuv/planar_functions.h>

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

  void getShareableContent(exec::Resolver<ShareableContent> done) override {
    queue_.post([this, done] {
      try {
        done.succeed(queryContent(connection()));
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
    if (conn_ && conn_->broken()) conn_.reset();
    if (!conn_) conn_ = Connection::open(display_);
    conn_->discardEvents();  // errors left by earlier requests nobody waited for
    return *conn_;
  }

  // Holds on to the failure last reported, so that this thread never drops
  // the last reference to an exception the receiving thread is still
  // reading. Harmless either way, but the reference count lives in the
  // uninstrumented runtime and ThreadSanitizer cannot see it order the two.
  std::exception_ptr keep(std::exception_ptr failure) {
    lastFailure_ = failure;
    return failure;
  }

  static ImageRef still(const Connection& c, const ContentFilter& filter) {
    CaptureSource source(c, filter, false);
    // A window resized between looking and grabbing fails the grab: look again.
    for (int attempt = 0; attempt < 3; ++attempt) {
      auto area = source.area();
      if (!area) throw x11Error(kWindowGone, source.describe() + " is not on screen");
      ShmSegment shm(c, static_cast<size_t>(area->width) * area->height * 4);
      bool grabbed = source.grab(*area, shm);
      if (!grabbed) {
        shm.detach(c);
        continue;
      }
      PixelBuffer pixels{area->width, area->height, area->width * 4, shm.data()};
      if (auto cursor = fetchCursor(c)) drawCursor(*cursor, pixels, area->rootX, area->rootY);
      auto image = makeImage(area->width, area->height);
      libyuv::ARGBCopy(pixels.data, pixels.stride, image->data, image->stride, area->width, area->height);
      shm.detach(c);
      return image;
    }
    throw x11Error(kGrabFailed, "cannot grab " + source.describe());
  }

  exec::Loop& main_;
  std::optional<std::string> display_;
  std::unique_ptr<Connection> conn_;  // used only on queue_, which is destroyed first
  std::exception_ptr lastFailure_;    // likewise
  exec::SerialQueue queue_{".helper.x11"};
};

}  // namespace

std::unique_ptr<ScreenCaptureService> makeX11ScreenCapture(exec::Loop& main, std::optional<std::string> display) {
  return std::make_unique<X11ScreenCapture>(main, std::move(display));
}

}  // namespace vantor::platform
