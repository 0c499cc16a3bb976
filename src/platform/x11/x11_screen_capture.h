#pragma once
// Screen capture on an X server (Xorg, Xvfb, Xwayland), over xcb.
//
// - Displays are RandR monitors; windows are top-level application windows.
//   See content_query.h for how ids and window layers are chosen.
// - Enumeration and stills run on a serial queue of the service's own
//   ("com.vantor.helper.x11"), with one connection kept there; resolvers are
//   called from that queue. The window list is kept there between listings
//   while the server reports no change to the root's children or to a
//   listed window (structure, properties); monitors are read every time.
// - Streams open a connection and a thread each (see x11_stream.h).
// - Nothing connects until the first operation; a missing or unreachable X
//   server fails that operation with an Error of domain "Vantor.X11".
//
// Frames are fitted into the configured size with their aspect ratio kept:
// scaled down (bilinear) when larger, never scaled up, centred, with black
// around. Pixels are BGRX with the fourth byte undefined.

#include <memory>
#include <optional>
#include <string>

#include "exec/loop.h"
#include "platform/screen_capture.h"

namespace vantor::platform {

// `display` names the X server (":99" and the like); nullopt reads $DISPLAY
// when each connection is opened. Stream methods must be called on `main`.
std::unique_ptr<ScreenCaptureService> makeX11ScreenCapture(exec::Loop& main,
                                                           std::optional<std::string> display = std::nullopt);

}  // namespace vantor::platform
