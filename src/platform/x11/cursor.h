#pragma once
// The pointer's image, drawn into grabbed pixels: X grabs never contain it.

#include <xcb/xfixes.h>

#include <cstdint>
#include <optional>
#include <vector>

#include "platform/video_frame.h"
#include "platform/x11/connection.h"

namespace vantor::platform::x11 {

struct CursorImage {
  int x = 0, y = 0;        // pointer position (the hotspot) on the root
  int xhot = 0, yhot = 0;  // hotspot inside the image
  int width = 0, height = 0;
  uint32_t serial = 0;
  std::vector<uint32_t> argb;  // premultiplied alpha, as XFixes hands it over
};

// The current cursor, or nullopt when the server has no XFixes or the
// request failed. In two halves, so that other requests can go out between.
struct CursorRequest {
  xcb_xfixes_get_cursor_image_cookie_t cookie{};
  bool sent = false;
};
CursorRequest requestCursor(const Connection& c);
std::optional<CursorImage> receiveCursor(const Connection& c, CursorRequest request);
inline std::optional<CursorImage> fetchCursor(const Connection& c) { return receiveCursor(c, requestCursor(c)); }

// Alpha-blends the cursor into `image`, whose top-left pixel sits at
// (originX, originY) on the root. Draws only when the hotspot lies inside
// the image; the parts of the cursor outside it are clipped.
void drawCursor(const CursorImage& cursor, PixelBuffer& image, int originX, int originY);

}  // namespace vantor::platform::x11
