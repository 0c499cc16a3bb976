#pragma once
// Placing content of one size into frames of another: scaled down to fit
// with its aspect ratio kept, never scaled up, centred, the rest black.

#include "platform/video_frame.h"

namespace vantor::platform {

struct Placement {
  int x = 0, y = 0, width = 0, height = 0;  // where the content lands in the frame
  bool operator==(const Placement&) const = default;
};

Placement fitInto(int contentWidth, int contentHeight, int frameWidth, int frameHeight);

// Writes `content` into `frame` at `at` (bilinear when the sizes differ).
// With `fillBars`, paints everything around it black.
void compose(const PixelBuffer& content, PixelBuffer& frame, const Placement& at, bool fillBars);

}  // namespace vantor::platform
