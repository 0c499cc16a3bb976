#pragma once
// Screen capture through the desktop's ScreenCast portal and PipeWire: the
// path for Wayland compositors without wlr-screencopy (GNOME, KDE), or any
// that offers the portal when VANTOR_BACKEND=portal.
//
// - Displays are still the compositor's outputs (wl_output), windows sway's
//   where its IPC is there (none elsewhere, logged once): the portal lists
//   nothing itself.
// - A stream or a one-off still runs a portal session: the desktop may show
//   its consent dialog, where the user picks what is shared (a display, or
//   a window where the portal offers windows). The restore token it hands
//   back is kept per kind (screencast_portal.h), so later takes ask no more.
// - A still of a target that a stream is recording is that stream's newest
//   picture.
// - Errors have domain "Vantor.Portal" and say what happened: a refusal in
//   the dialog, no portal on the bus, a portal that shares no windows.

#include <memory>
#include <string>

#include "exec/loop.h"
#include "platform/screen_capture.h"

namespace vantor::platform {

std::unique_ptr<ScreenCaptureService> makePortalScreenCapture(exec::Loop& main);

// Whether the session bus has a portal that offers ScreenCast; `why` says
// what is missing when not.
bool portalOffersScreenCast(std::string* why);

}  // namespace vantor::platform
