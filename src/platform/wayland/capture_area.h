#pragma once
// Where a content filter's pixels are on a Wayland compositor right now: a
// whole output, or the part of an output a window covers (the compositor's
// rectangle for it, cut to that output).

#include <memory>
#include <optional>
#include <string>

#include "platform/screen_capture.h"
#include "platform/wayland/connection.h"
#include "platform/wayland/screen_copy.h"
#include "platform/wayland/sway_ipc.h"
#include "platform/wayland/toplevels.h"

namespace vantor::platform::wayland {

struct CaptureArea {
  uint32_t output = 0;           // its global name: looked up again before each use

  std::optional<Region> region;  // nullopt: the whole output
  bool operator==(const CaptureArea&) const = default;
};

// Looks the filter's display or window up. Throws Error kDisplayGone or
// kWindowGone when it is no longer there (or, for a window, when no window
// can be located on this compositor: `windows` is null); nullopt while a
// window is not on screen (a hidden workspace).
std::optional<CaptureArea> locate(const Connection& c, SwayIpc* windows, const ContentFilter& filter);

std::string describe(const ContentFilter& filter);

// sway's socket, when this is sway, kept in `kept` and opened again when it
// broke; null elsewhere.
SwayIpc* windowSource(std::unique_ptr<SwayIpc>& kept);

// The outputs as displays and the visible windows `kept` (see above) tells
// of; without sway, those of wlr-foreign-toplevel-management when the caller
// keeps `toplevels` (opened at the first call); otherwise none (said once in
// the log).
ShareableContent listContent(const Connection& c, std::unique_ptr<SwayIpc>& kept,
                             std::unique_ptr<Toplevels>* toplevels = nullptr);

}  // namespace vantor::platform::wayland
