#include "platform/wayland/capture_area.h"

#include <algorithm>
#include <atomic>

#include "util/log.h"

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

SwayIpc* windowSource(std::unique_ptr<SwayIpc>& kept) {
  auto path = SwayIpc::socketPath();
  if (!path) {
    static std::atomic<bool> told{false};
    if (!told.exchange(true))
      logInfo("wayland: this compositor does not tell where windows are (no sway IPC socket); none are listed");
    return nullptr;
  }
  if (!kept) kept = SwayIpc::open(*path);
  return kept.get();
}

ShareableContent listContent(const Connection& c, std::unique_ptr<SwayIpc>& kept) {
  ShareableContent content;
  for (auto& o : c.outputs()) content.displays.push_back({o->globalName, o->pixelWidth(), o->pixelHeight()});
  if (SwayIpc* ipc = windowSource(kept)) {
    std::vector<SwayWindow> found;
    try {
      found = ipc->windows();
    } catch (const Error&) {
      kept.reset();  // sway restarted: once more on a new socket
      found = windowSource(kept)->windows();
    }
    for (const SwayWindow& w : found) {
      if (!w.visible) continue;
      Window window{uint32_t(w.id), 0, w.title, RunningApplication{w.application}};
      if (w.application.empty()) window.owningApplication.reset();
      content.windows.push_back(std::move(window));
    }
  }
  return content;
}

}  // namespace vantor::platform::wayland
