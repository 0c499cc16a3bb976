#include "screenshot/screenshot_grabber.h"

#include "exec/completion.h"
#include "platform/jpeg.h"
#include "targets/capture_catalog.h"

namespace vantor::ScreenshotGrabber {

namespace {

std::optional<std::vector<uint8_t>> jpeg(const platform::ImageRef& image) {
  if (!image) return std::nullopt;
  return encodeJpeg(*image);
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

asio::awaitable<std::optional<std::vector<uint8_t>>> grabJPEG(platform::Platform platform, CaptureTargetMeta target,
                                                              platform::FrameRef fallback) {
  if (platform.capabilities.screenshotService && platform.screenCapture.hasScreenshotService()) {
    // An image that cannot be encoded is the answer too: the older frame would not encode better.
    if (platform::ImageRef image = co_await still(platform, target)) co_return jpeg(image);
  }
  if (!fallback) co_return std::nullopt;
  co_return jpeg(fallback->image);
}

}  // namespace vantor::ScreenshotGrabber
