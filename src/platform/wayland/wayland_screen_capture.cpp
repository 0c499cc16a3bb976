#include "platform/wayland/wayland_screen_capture.h"

#include <libyuv/planar_functions.h>

#include "exec/serial_queue.h"
#include "platform/wayland/capture_area.h"
#include "platform/wayland/connection.h"
#include "platform/wayland/screen_copy.h"
#include "platform/wayland/sway_ipc.h"
#include "platform/wayland/wayland_stream.h"
#include "util/log.h"

namespace vantor::platform {
namespace {

using namespace wayland;

class WaylandScreenCapture final : public ScreenCaptureService {
 public:
  explicit WaylandScreenCapture(exec::Loop& main) : main_(main) {}

  std::string name() const override { return "Wayland capture (wlr-screencopy)"; }

  void getShareableContent(exec::Resolver<ShareableContent> done) override {
    queue_.post([this, done] {
      try {
        done.succeed(query());
      } catch (...) {
        done.fail(keep(std::current_exception()));
      }
    });
  }

  std::unique_ptr<Stream> createStream(const ContentFilter& filter, const StreamConfiguration& config) override {
    return std::make_unique<WaylandStream>(filter, config, main_);
  }

  bool hasScreenshotService() const override { return true; }

  void captureImage(const ContentFilter& filter, exec::Resolver<ImageRef> done) override {
    queue_.post([this, filter, done] {
      try {
        done.succeed(still(filter));
      } catch (...) {
        done.fail(keep(std::current_exception()));
      }
    });
  }

 private:
  // The queue's connection, opened again when it broke. A fresh round trip
  // each time, so that outputs that came or went are known.
  Connection& connection() {
    if (conn_) {
      try {
        conn_->roundtrip();
      } catch (const Error&) {
        copier_.reset();
        conn_.reset();
      }
    }
    if (!conn_) {
      conn_ = Connection::open();
      copier_ = std::make_unique<ScreenCopy>(*conn_);
    }
    return *conn_;
  }

  SwayIpc* windows() { return windowSource(ipc_); }

  ShareableContent query() { return listContent(connection(), ipc_, &toplevels_); }

  ImageRef still(const ContentFilter& filter) {
    Connection& c = connection();
    auto area = locate(c, filter.kind == ContentFilter::Kind::window ? windows() : nullptr, filter);
    const Output* output = area ? c.findOutput(area->output) : nullptr;
    if (!output) throw waylandError(kWindowGone, describe(filter) + " is not on screen");
    copier_->copyNow(*output, area->region);
    const PixelBuffer& pixels = copier_->pixels();
    auto image = makeImage(pixels.width, pixels.height);
    libyuv::ARGBCopy(pixels.data, pixels.stride, image->data, image->stride, pixels.width, pixels.height);
    return image;
  }

  // See the X11 service: keeps the failure last reported alive on this thread.
  std::exception_ptr keep(std::exception_ptr failure) {
    lastFailure_ = failure;
    return failure;
  }

  exec::Loop& main_;
  // Used only on queue_, which is destroyed first.
  std::unique_ptr<Connection> conn_;
  std::unique_ptr<ScreenCopy> copier_;
  std::unique_ptr<SwayIpc> ipc_;
  std::unique_ptr<Toplevels> toplevels_;  // without sway; its own thread, kept for the service's life
  std::exception_ptr lastFailure_;
  exec::SerialQueue queue_{".helper.wayland"};
};

}  // namespace

std::unique_ptr<ScreenCaptureService> makeWaylandScreenCapture(exec::Loop& main) {
  return std::make_unique<WaylandScreenCapture>(main);
}

bool waylandOffersScreenCopy(std::string* why) {
  try {
    Connection::open();
    return true;
  } catch (const Error& e) {
    *why = e.description();
    return false;
  }
}

}  // namespace vantor::platform
