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
  // Recording the whole output instead would show every other window on it.
  if (!windows)
    throw waylandError(kNoWindowPlaces, describe(filter) +
                                            ": this compositor does not tell where its windows are on screen; "
                                            "record its display instead");
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
  if (!path) return nullptr;
  if (!kept) kept = SwayIpc::open(*path);
  return kept.get();
}

namespace {

// The toplevels `kept` watches, opened when first wanted; null where the
// compositor does not offer them (or the caller keeps none).
Toplevels* toplevelSource(std::unique_ptr<Toplevels>* kept) {
  if (!kept) return nullptr;
  if (!*kept) *kept = Toplevels::open();
  return kept->get();
}

}  // namespace

ShareableContent listContent(const Connection& c, std::unique_ptr<SwayIpc>& kept,
                             std::unique_ptr<Toplevels>* toplevels) {
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
  } else if (Toplevels* t = toplevelSource(toplevels)) {
    std::vector<Toplevel> found;
    try {
      found = t->list();
    } catch (const Error&) {
      toplevels->reset();  // the compositor restarted: once more on a new connection
      t = toplevelSource(toplevels);
      if (t) found = t->list();
    }
    for (Toplevel& w : found) {
      Window window{w.id, 0, std::move(w.title), RunningApplication{std::move(w.appId)}};
      if (window.owningApplication->applicationName.empty()) window.owningApplication.reset();
      content.windows.push_back(std::move(window));
    }
  } else {
    static std::atomic<bool> told{false};
    if (!told.exchange(true))
      logInfo(toplevels ? "wayland: this compositor does not tell of its windows (no sway IPC socket, no "
                          "wlr-foreign-toplevel-management); none are listed"
                        : "wayland: no sway IPC socket, and the portal lets no program list windows; none are listed");
  }
  return content;
}

}  // namespace vantor::platform::wayland
