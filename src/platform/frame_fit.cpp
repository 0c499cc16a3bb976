#include "platform/frame_fit.h"

#include <libyuv/planar_functions.h>
#include <libyuv/scale_argb.h>

#include <algorithm>
#include <cmath>

namespace vantor::platform {
namespace {
constexpr uint32_t kBlack = 0xFF000000;
}

Placement fitInto(int cw, int ch, int fw, int fh) {
  if (cw <= 0 || ch <= 0 || fw <= 0 || fh <= 0) return {};
  double s = std::min({1.0, static_cast<double>(fw) / cw, static_cast<double>(fh) / ch});
  int w = std::clamp(static_cast<int>(std::lround(cw * s)), 1, fw);
  int h = std::clamp(static_cast<int>(std::lround(ch * s)), 1, fh);
  return {(fw - w) / 2, (fh - h) / 2, w, h};
}

void compose(const PixelBuffer& content, PixelBuffer& frame, const Placement& at, bool fillBars) {
  uint8_t* dst = frame.row(at.y) + static_cast<size_t>(at.x) * 4;
  if (at.width == content.width && at.height == content.height) {
    libyuv::ARGBCopy(content.data, content.stride, dst, frame.stride, at.width, at.height);
  } else {
    libyuv::ARGBScale(content.data, content.stride, content.width, content.height, dst, frame.stride, at.width,
                      at.height, libyuv::kFilterBilinear);
  }
  if (!fillBars) return;
  int right = at.x + at.width, bottom = at.y + at.height;
  if (at.y > 0) libyuv::ARGBRect(frame.data, frame.stride, 0, 0, frame.width, at.y, kBlack);
  if (bottom < frame.height)
    libyuv::ARGBRect(frame.data, frame.stride, 0, bottom, frame.width, frame.height - bottom, kBlack);
  if (at.x > 0) libyuv::ARGBRect(frame.data, frame.stride, 0, at.y, at.x, at.height, kBlack);
  if (right < frame.width)
    libyuv::ARGBRect(frame.data, frame.stride, right, at.y, frame.width - right, at.height, kBlack);
}

}  // namespace vantor::platform
