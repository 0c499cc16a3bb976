#include "platform/portal/portal_screen_capture.h"

#include <poll.h>

#include "exec/serial_queue.h"
#include "platform/portal/pipewire_receiver.h"
#include "platform/portal/portal_stream.h"
#include "platform/portal/screencast_portal.h"
#include "platform/wayland/capture_area.h"

namespace vantor::platform {
namespace {

using namespace portal;

class PortalScreenCapture final : public ScreenCaptureService {
 public:
  explicit PortalScreenCapture(exec::Loop& main) : main_(main) {}

  std::string name() const override { return "Wayland capture (ScreenCast portal)"; }

  void getShareableContent(exec::Resolver<ShareableContent> done) override {
    queue_.post([this, done] {
      try {
        done.succeed(wayland::listContent(*wayland::Connection::open(false), ipc_));
      } catch (...) {
        done.fail(keep(std::current_exception()));
      }
    });
  }

  std::unique_ptr<Stream> createStream(const ContentFilter& filter, const StreamConfiguration& config) override {
    return std::make_unique<PortalStream>(filter, config, main_, showing_);
  }

  bool hasScreenshotService() const override { return true; }

  void captureImage(const ContentFilter& filter, exec::Resolver<ImageRef> done) override {
    queue_.post([this, filter, done] {
      try {
        ImageRef image = showing_->copy(filter);
        done.succeed(image ? image : oneFrame(filter));
      } catch (...) {
        done.fail(keep(std::current_exception()));
      }
    });
  }

 private:
  // A session of its own for one picture.
  static ImageRef oneFrame(const ContentFilter& filter) {
    requireTarget(filter);
    ScreenCastSession session(-1);
    auto cast = session.start(filter.kind == ContentFilter::Kind::display ? SourceKind::display : SourceKind::window,
                              /*showCursor=*/true);
    PipeWireReceiver receiver(cast.pipewireFd, cast.node);
    constexpr auto kPatience = std::chrono::seconds(5);
    for (auto until = std::chrono::steady_clock::now() + kPatience; !receiver.takeNewest();) {
      if (receiver.broken()) throw portalError(kStreamFailed, receiver.failure());
      auto left = std::chrono::ceil<std::chrono::milliseconds>(until - std::chrono::steady_clock::now()).count();
      if (left <= 0) throw portalError(kStreamFailed, "the desktop's screen-sharing stream sent no picture within 5 s");
      pollfd ready{receiver.readyFd(), POLLIN, 0};
      poll(&ready, 1, int(left));
    }
    const PixelBuffer& newest = *receiver.front();
    auto image = makeImage(newest.width, newest.height);
    for (int y = 0; y < newest.height; ++y) std::copy_n(newest.row(y), newest.width * 4, image->row(y));
    return image;
  }

  // See the X11 service: keeps the failure last reported alive on this thread.
  std::exception_ptr keep(std::exception_ptr failure) {
    lastFailure_ = failure;
    return failure;
  }

  exec::Loop& main_;
  std::shared_ptr<Showing> showing_ = std::make_shared<Showing>();
  // Used only on queue_, which is destroyed first.
  std::unique_ptr<wayland::SwayIpc> ipc_;
  std::exception_ptr lastFailure_;
  exec::SerialQueue queue_{".helper.portal"};
};

}  // namespace

std::unique_ptr<ScreenCaptureService> makePortalScreenCapture(exec::Loop& main) {
  return std::make_unique<PortalScreenCapture>(main);
}

bool portalOffersScreenCast(std::string* why) {
  try {
    ScreenCastSession session(-1);
    return true;
  } catch (const Error& e) {
    *why = e.description();
    return false;
  }
}

}  // namespace vantor::platform
