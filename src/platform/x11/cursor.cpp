#include "platform/x11/cursor.h"

#include <xcb/xfixes.h>

#include <algorithm>

namespace vantor::platform::x11 {

CursorRequest requestCursor(const Connection& c) {
  if (!c.extensions().xfixes) return {};
  return {xcb_xfixes_get_cursor_image(c.get()), true};
}

std::optional<CursorImage> receiveCursor(const Connection& c, CursorRequest request) {
  if (!request.sent) return std::nullopt;
  Reply<xcb_xfixes_get_cursor_image_reply_t> r(xcb_xfixes_get_cursor_image_reply(c.get(), request.cookie, nullptr));
  if (!r) return std::nullopt;
  CursorImage img;
  img.x = r->x;
  img.y = r->y;
  img.xhot = r->xhot;
  img.yhot = r->yhot;
  img.width = r->width;
  img.height = r->height;
  img.serial = r->cursor_serial;
  const uint32_t* px = xcb_xfixes_get_cursor_image_cursor_image(r.get());
  int n = xcb_xfixes_get_cursor_image_cursor_image_length(r.get());
  if (n < img.width * img.height) return std::nullopt;
  img.argb.assign(px, px + static_cast<size_t>(img.width) * img.height);
  return img;
}

void drawCursor(const CursorImage& cursor, PixelBuffer& image, int originX, int originY) {
  int hx = cursor.x - originX, hy = cursor.y - originY;
  if (hx < 0 || hy < 0 || hx >= image.width || hy >= image.height) return;
  int left = hx - cursor.xhot, top = hy - cursor.yhot;
  int y0 = std::max(0, -top), y1 = std::min(cursor.height, image.height - top);
  int x0 = std::max(0, -left), x1 = std::min(cursor.width, image.width - left);
  for (int y = y0; y < y1; ++y) {
    const uint32_t* src = cursor.argb.data() + static_cast<size_t>(y) * cursor.width;
    uint8_t* dst = image.row(top + y) + static_cast<size_t>(left) * 4;
    for (int x = x0; x < x1; ++x) {
      uint32_t p = src[x];
      uint32_t a = p >> 24;
      if (a == 0) continue;
      uint8_t* d = dst + static_cast<size_t>(x) * 4;
      uint32_t inv = 255 - a;
      // Premultiplied: out = src + dst × (1 − α), per channel, B G R in memory.
      d[0] = static_cast<uint8_t>((p & 0xFF) + (d[0] * inv + 127) / 255);
      d[1] = static_cast<uint8_t>(((p >> 8) & 0xFF) + (d[1] * inv + 127) / 255);
      d[2] = static_cast<uint8_t>(((p >> 16) & 0xFF) + (d[2] * inv + 127) / 255);
    }
  }
}

}  // namespace vantor::platform::x11
