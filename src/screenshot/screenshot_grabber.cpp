#include "screenshot/screenshot_grabber.h"

#include "exec/completion.h"
#include "exec/urgent_work.h"
#include "platform/jpeg.h"
#include "targets/capture_catalog.h"

namespace vantor::ScreenshotGrabber {

namespace {

using Jpeg = std::optional<std::vector<uint8_t>>;

// Encoding a 1920x1080 image takes 5-15 ms; on `encoder` the main loop goes
// on handing frames to the take and answering timers meanwhile.
asio::awaitable<Jpeg> jpeg(exec::Loop& encoder, platform::ImageRef image) {
  if (!image) co_return std::nullopt;
  co_return co_await exec::awaitCompletion<Jpeg>([&](exec::Resolver<Jpeg> done) {
    encoder.post([&encoder, image, done] {
      VANTOR_ASSERT_ON(encoder);
      done.succeed(encodeJpeg(*image));
    });
  });
}

// A still of the target's content, or nothing when there is none to be had.
asio::awaitable<platform::ImageRef> still(platform::Platform platform, const CaptureTargetMeta& target) {
  try {
    std::optional<platform::ContentFilter> filter = co_await CaptureCatalog::filter(platform.screenCapture, target);
    if (!filter) co_return nullptr;
    co_return co_await exec::awaitCompletion<platform::ImageRef>(
        [&](exec::Resolver<platform::ImageRef> done) { platform.screenCapture.captureImage(*filter, std::move(done)); });
  } catch (const std::exception&) {
    co_return nullptr;  // the fallback frame answers instead
  }
}

}  // namespace

asio::awaitable<Jpeg> grabJPEG(platform::Platform platform, CaptureTargetMeta target, platform::FrameRef fallback,
                               exec::Loop& encoder) {
  exec::UrgentWork urgent;  // the host waits for this; the movie's encoder can wait a little
  if (platform.capabilities.screenshotService && platform.screenCapture.hasScreenshotService()) {
    // An image that cannot be encoded is the answer too: the older frame would not encode better.
    if (platform::ImageRef image = co_await still(platform, target)) co_return co_await jpeg(encoder, image);
  }
  if (!fallback) co_return std::nullopt;
  co_return co_await jpeg(encoder, fallback->image);
}

}  // namespace vantor::ScreenshotGrabber
