#pragma once
// JPEG files from captured images. The platform provides the encoder (libjpeg-turbo
// on every platform here, platform/turbojpeg), linked in as the sample converter is.

#include <cstdint>
#include <optional>
#include <vector>

#include "platform/video_frame.h"

namespace vantor {

// Quality on libjpeg's 0–100 scale; screenshots use 70.
inline constexpr int kScreenshotJpegQuality = 70;

// The image as a baseline JPEG file (4:2:0), or nothing when it cannot be
// encoded (an empty image, or the encoder fails). Callable from any thread.
std::optional<std::vector<uint8_t>> encodeJpeg(const platform::PixelBuffer& image,
                                               int quality = kScreenshotJpegQuality);

}  // namespace vantor
