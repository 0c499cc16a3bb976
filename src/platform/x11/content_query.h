#pragma once
// What is on an X screen: its monitors and its top-level application windows.
//
// Display ids: a RandR monitor is named by its name atom (for example the
// atom "screen" on Xvfb, or the name given to `xrandr --setmonitor`). Atoms
// live as long as the X server, so the id stays the same across queries, mode
// changes and reconnections. When RandR reports no monitor, the one display
// is the whole screen and its id is the root window's XID.
//
// Window ids are client-window XIDs (the window the application created, not
// a window manager's frame around it).
//
// Window layers: 0 for normal application windows (no _NET_WM_WINDOW_TYPE, or
// NORMAL or DIALOG first among the recognised types). Everything else is
// positive, roughly in the order such windows stack, so consumers can keep
// layer 0 and treat the rest as chrome and popups. See kLayer* below.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/screen_capture.h"
#include "platform/x11/connection.h"

namespace vantor::platform::x11 {

inline constexpr int kLayerNormal = 0;
inline constexpr int kLayerDesktop = 1;         // desktop background windows
inline constexpr int kLayerUtility = 2;         // utility and toolbar windows
inline constexpr int kLayerSplash = 3;          // splash screens
inline constexpr int kLayerDock = 4;            // panels and docks
inline constexpr int kLayerMenu = 5;            // menus, dropdowns, popups, combo boxes
inline constexpr int kLayerOverrideRedirect = 6;  // override-redirect without a recognised type
inline constexpr int kLayerNotification = 7;    // notification bubbles
inline constexpr int kLayerTooltip = 8;         // tooltips
inline constexpr int kLayerDragAndDrop = 9;     // drag-and-drop icons

struct Monitor {
  uint32_t id = 0;  // name atom, or the root XID when RandR lists none
  int x = 0, y = 0, width = 0, height = 0;  // on the root, clamped to it
  bool primary = false;
};

// Active monitors, the primary one first, then in RandR order. Monitors
// entirely outside the root are left out. Throws Error when the connection breaks.
std::vector<Monitor> queryMonitors(const Connection& c);
std::optional<Monitor> findMonitor(const Connection& c, uint32_t id);

// On-screen top-level windows, front-most first. With `watching`, every
// window read is first selected for the events that would change the list
// (structure, children, properties), so that together with the root's
// (watchRoot) the connection reports any change after the listing.
std::vector<Window> queryWindows(const Connection& c, bool watching = false);
// Selects the root's children and properties for events: windows coming,
// going, mapping, moving and restacking, and the window manager's lists.
void watchRoot(const Connection& c);
// Drops the connection's queued events; true when one of them was a change
// (anything but an error or a reply).
bool takeChangeEvents(const Connection& c);

// Text helpers, exposed for tests.
std::string latin1ToUtf8(std::string_view latin1);
// Valid UTF-8 stays as it is; each invalid byte becomes U+FFFD.
std::string toValidUtf8(std::string_view bytes);

}  // namespace vantor::platform::x11
