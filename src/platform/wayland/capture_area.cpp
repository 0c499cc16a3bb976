#include "platform/wayland/capture_area.h"

#include <algorithm>

namespace vantor::platform::wayland {

std::string describe(const ContentFilter& filter) {
  return filter.kind == ContentFilter::Kind::display ? "display " + std::to_string(filter.display.displayID)
                                                     : "window " + std::to_string(filter.window.windowID);
}

std::optional<CaptureArea> locate(const Connection& c, SwayIpc* windows, const ContentFilter& filter) {
  if (filter.kind == ContentFilter::Kind::display) {
    const Output* o = c.findOutput(filter.display.displayID);
    if (!o) throw waylandError(kDisplayGone, describe(filter) + " is no longer available");
    return CaptureArea{o->globalName, std::nullopt};
  }
  if (!windows) throw waylandError(kWindowGone, "this compositor does not tell where " + describe(filter) + " is");
  for (const SwayWindow& w : windows->windows()) {
    if (uint32_t(w.id) != filter.window.windowID) continue;
    const Output* o = c.findOutput(w.output);
    if (!w.visible || !o) return std::nullopt;
    // In the output's own coordinates, and only what lies on it.
    int left = std::max(w.rect.x - o->x, 0), top = std::max(w.rect.y - o->y, 0);
    int right = std::min(w.rect.x - o->x + w.rect.width, o->logicalWidth);
    int bottom = std::min(w.rect.y - o->y + w.rect.height, o->logicalHeight);
    if (right <= left || bottom <= top) return std::nullopt;
    return CaptureArea{o->globalName, Region{left, top, right - left, bottom - top}};
  }
  throw waylandError(kWindowGone, describe(filter) + " is no longer available");
}

}  // namespace vantor::platform::wayland
