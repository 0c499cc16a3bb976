#pragma once
// Screen capture on a wlroots Wayland compositor (sway, Hyprland, river,
// labwc...), over wlr-screencopy: no dialog, the cursor drawn in.
//
// - Displays are the compositor's outputs (wl_output, named and placed by
//   xdg-output); a display's id is the output's registry name, the same for
//   every client while the output exists.
// - Windows, with the rectangle a window take crops out of its output, come
//   from sway's IPC socket. Elsewhere they are listed from
//   wlr-foreign-toplevel-management (toplevels.h), which tells nothing of
//   where they are: their takes and stills fail rather than record the whole
//   output; without either, none are listed (logged once).
// - Enumeration and stills run on a serial queue of the service's own
//   ("com.vantor.helper.wayland") with one connection kept there; streams
//   open a connection and a thread each (see wayland_stream.h).
// - Nothing connects until the first operation; an unreachable compositor
//   fails that operation with an Error of domain "Vantor.Wayland".
//
// Frames are fitted into the configured size exactly as on X11.

#include <memory>
#include <string>

#include "exec/loop.h"
#include "platform/screen_capture.h"

namespace vantor::platform {

std::unique_ptr<ScreenCaptureService> makeWaylandScreenCapture(exec::Loop& main);

// Whether the session's compositor can be reached and offers wlr-screencopy;
// `why` says what is missing when not.
bool waylandOffersScreenCopy(std::string* why);

}  // namespace vantor::platform
