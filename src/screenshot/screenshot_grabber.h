#pragma once
// One JPEG image of a capture target, for the "screenshot" command.
//
// A fresh still through the screen-capture service's still path, at the
// target's native size, where the platform offers one; otherwise, or when
// the still cannot be had (the target is gone, the service fails), the
// latest frame the recorder's stream delivered, at the stream's size.
// Failures are not reported one by one: the answer is the image or nothing.

#include <asio/awaitable.hpp>
#include <cstdint>
#include <optional>
#include <vector>

#include "exec/loop.h"
#include "platform/platform.h"
#include "targets/capture_target.h"

namespace vantor::ScreenshotGrabber {

// Runs on the main loop; the image is encoded on `encoder`, a loop of the
// caller's that does nothing else meanwhile. `fallback` is held until the
// grab is over, so frames arriving meanwhile do not change it. Never throws.
asio::awaitable<std::optional<std::vector<uint8_t>>> grabJPEG(platform::Platform platform,
                                                              CaptureTargetMeta target,
                                                              platform::FrameRef fallback,
                                                              exec::Loop& encoder);

}  // namespace vantor::ScreenshotGrabber
