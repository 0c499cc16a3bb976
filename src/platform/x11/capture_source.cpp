#include "platform/x11/capture_source.h"

#include <xcb/composite.h>
#include <xcb/xinput.h>

#include <algorithm>

#include "platform/x11/content_query.h"

namespace vantor::platform::x11 {
namespace {

bool overlaps(const xcb_rectangle_t& r, int x, int y, int w, int h) {
  return r.x < x + w && x < r.x + r.width && r.y < y + h && y < r.y + r.height;
}

}  // namespace

CaptureSource::CaptureSource(const Connection& c, const ContentFilter& filter, bool watch)
    : c_(c),
      kind_(filter.kind),
      id_(filter.kind == ContentFilter::Kind::display ? filter.display.displayID : filter.window.windowID),
      watch_(watch) {
  auto* conn = c.get();
  const auto& ext = c.extensions();
  const bool damage = watch && ext.damage && ext.xfixes;

  if (kind_ == ContentFilter::Kind::display) {
    auto m = findMonitor(c, id_);
    if (!m) throw x11Error(kDisplayGone, "display " + std::to_string(id_) + " is no longer available");
    monX_ = m->x, monY_ = m->y, monW_ = m->width, monH_ = m->height;
    last_ = {c.root(), monX_, monY_, monW_, monH_, monX_, monY_};
    damageNeedsRegion_ =
        monX_ != 0 || monY_ != 0 || monW_ != c.screen().width_in_pixels || monH_ != c.screen().height_in_pixels;
    if (damage) {
      damage_ = xcb_generate_id(conn);
      xcb_damage_create(conn, damage_, c.root(), XCB_DAMAGE_REPORT_LEVEL_NON_EMPTY);
    }
  } else {
    if (watch) {
      // Listen before looking, so that nothing between the two is missed.
      uint32_t mask = XCB_EVENT_MASK_STRUCTURE_NOTIFY;
      xcb_change_window_attributes(conn, id_, XCB_CW_EVENT_MASK, &mask);
    }
    Reply<xcb_get_window_attributes_reply_t> attrs(
        xcb_get_window_attributes_reply(conn, xcb_get_window_attributes(conn, id_), nullptr));
    c.check();
    if (!attrs) throw x11Error(kWindowGone, "window " + std::to_string(id_) + " is no longer available");
    mapped_ = attrs->map_state == XCB_MAP_STATE_VIEWABLE;
    if (ext.composite) {
      Reply<xcb_generic_error_t> err(
          xcb_request_check(conn, xcb_composite_redirect_window_checked(conn, id_, XCB_COMPOSITE_REDIRECT_AUTOMATIC)));
      composite_ = !err;
    }
    if (damage) {
      damage_ = xcb_generate_id(conn);
      // Through Composite the window's own drawing counts; on the root, only
      // what lands inside its rectangle.
      xcb_damage_create(conn, damage_, composite_ ? id_ : c.root(), XCB_DAMAGE_REPORT_LEVEL_NON_EMPTY);
      damageNeedsRegion_ = !composite_;
    }
  }
  if (damage) {
    if (damageNeedsRegion_) {
      parts_ = xcb_generate_id(conn);
      xcb_xfixes_create_region(conn, parts_, 0, nullptr);
    }
    xcb_xfixes_select_cursor_input(conn, c.root(), XCB_XFIXES_CURSOR_NOTIFY_MASK_DISPLAY_CURSOR);
    motionEvents_ = ext.xinput;
    if (motionEvents_) listenForMotion(true);
    // A new damage object starts out covering the whole drawable and reports
    // it. A round trip puts that report in the queue before the first frame,
    // so that it is consumed with it and not mistaken for a later change.
    Reply<xcb_get_input_focus_reply_t> sync(xcb_get_input_focus_reply(conn, xcb_get_input_focus(conn), nullptr));
    c.check();
  }
  xcb_flush(conn);
}

CaptureSource::~CaptureSource() {
  if (c_.broken()) return;
  auto* conn = c_.get();
  // Undo what we changed on the server; a window already gone makes some of
  // these fail, which is harmless.
  if (damage_) xcb_damage_destroy(conn, damage_);
  if (parts_) xcb_xfixes_destroy_region(conn, parts_);
  if (pixmap_) xcb_free_pixmap(conn, pixmap_);
  if (watch_ && c_.extensions().xfixes) xcb_xfixes_select_cursor_input(conn, c_.root(), 0);
  if (motionEvents_) listenForMotion(false);
  if (kind_ == ContentFilter::Kind::window && !gone_) {
    if (composite_) xcb_composite_unredirect_window(conn, id_, XCB_COMPOSITE_REDIRECT_AUTOMATIC);
    if (watch_) {
      uint32_t none = 0;
      xcb_change_window_attributes(conn, id_, XCB_CW_EVENT_MASK, &none);
    }
  }
  xcb_flush(conn);
}

std::string CaptureSource::describe() const {
  return (kind_ == ContentFilter::Kind::display ? "display " : "window ") + std::to_string(id_);
}

std::optional<CaptureSource::Area> CaptureSource::area() {
  if (kind_ == ContentFilter::Kind::display) return last_;
  if (gone_) throw x11Error(kWindowGone, "window " + std::to_string(id_) + " is gone");

  auto* conn = c_.get();
  auto geomCookie = xcb_get_geometry(conn, id_);
  auto whereCookie = xcb_translate_coordinates(conn, id_, c_.root(), 0, 0);
  Reply<xcb_get_geometry_reply_t> geom(xcb_get_geometry_reply(conn, geomCookie, nullptr));
  Reply<xcb_translate_coordinates_reply_t> where(xcb_translate_coordinates_reply(conn, whereCookie, nullptr));
  c_.check();
  if (!geom || !where) {
    gone_ = true;
    throw x11Error(kWindowGone, "window " + std::to_string(id_) + " is gone");
  }
  if (!mapped_) return std::nullopt;
  const int w = geom->width, h = geom->height, border = geom->border_width;

  if (composite_) {
    if (pixmapStale_ || pixmapW_ != w || pixmapH_ != h || pixmapBorder_ != border) nameWindowPixmap(w, h, border);
    if (!pixmap_) return std::nullopt;
    last_ = {pixmap_, border, border, w, h, where->dst_x, where->dst_y};
    return last_;
  }
  // Without Composite: the part of its rectangle that is on the root.
  int x0 = std::max<int>(where->dst_x, 0), y0 = std::max<int>(where->dst_y, 0);
  int x1 = std::min<int>(where->dst_x + w, c_.screen().width_in_pixels);
  int y1 = std::min<int>(where->dst_y + h, c_.screen().height_in_pixels);
  if (x1 <= x0 || y1 <= y0) return std::nullopt;
  last_ = {c_.root(), x0, y0, x1 - x0, y1 - y0, x0, y0};
  return last_;
}

void CaptureSource::nameWindowPixmap(int width, int height, int border) {
  auto* conn = c_.get();
  if (pixmap_) xcb_free_pixmap(conn, pixmap_);
  pixmap_ = xcb_generate_id(conn);
  // A pixmap names the window's storage at this moment; after a resize or a
  // remap the window gets new storage, so it is named again then.
  Reply<xcb_generic_error_t> err(xcb_request_check(conn, xcb_composite_name_window_pixmap_checked(conn, id_, pixmap_)));
  if (err) {
    pixmap_ = 0;  // not viewable right now
    return;
  }
  pixmapW_ = width, pixmapH_ = height, pixmapBorder_ = border;
  pixmapStale_ = false;
}

bool CaptureSource::grab(const Area& a, const ShmSegment& into) {
  bool ok = grabInto(c_, a.drawable, a.x, a.y, a.width, a.height, into);
  if (!ok && composite_) pixmapStale_ = true;
  return ok;
}

bool CaptureSource::handleEvent(const xcb_generic_event_t* event) {
  const uint8_t type = event->response_type & 0x7F;
  const auto& ext = c_.extensions();
  if (damage_ && type == ext.damageEventBase + XCB_DAMAGE_NOTIFY) {
    const auto* e = reinterpret_cast<const xcb_damage_notify_event_t*>(event);
    if (e->damage != damage_) return false;
    damagePending_ = true;
    return true;
  }
  if (motionEvents_ && type == XCB_GE_GENERIC) {
    const auto* e = reinterpret_cast<const xcb_ge_generic_event_t*>(event);
    if (e->extension != ext.xinputOpcode || e->event_type != XCB_INPUT_RAW_MOTION) return false;
    motion_ = true;
    return true;
  }
  if (ext.xfixes && type == ext.xfixesEventBase + XCB_XFIXES_CURSOR_NOTIFY) {
    cursorChanged_ = true;
    return true;
  }
  if (kind_ != ContentFilter::Kind::window) return false;
  switch (type) {
    case XCB_CONFIGURE_NOTIFY: {
      const auto* e = reinterpret_cast<const xcb_configure_notify_event_t*>(event);
      if (e->window != id_) return false;
      structureChanged_ = true;
      return true;
    }
    case XCB_MAP_NOTIFY: {
      const auto* e = reinterpret_cast<const xcb_map_notify_event_t*>(event);
      if (e->window != id_) return false;
      mapped_ = true;
      pixmapStale_ = true;
      structureChanged_ = true;
      return true;
    }
    case XCB_UNMAP_NOTIFY: {
      const auto* e = reinterpret_cast<const xcb_unmap_notify_event_t*>(event);
      if (e->window != id_) return false;
      mapped_ = false;
      return true;
    }
    case XCB_DESTROY_NOTIFY: {
      const auto* e = reinterpret_cast<const xcb_destroy_notify_event_t*>(event);
      if (e->window != id_) return false;
      gone_ = true;
      return true;
    }
    default:
      return false;
  }
}

void CaptureSource::listenForMotion(bool on) {
  // Raw events go to the root whatever window the pointer is over.
  struct {
    xcb_input_event_mask_t head;
    uint32_t bits;
  } mask{{XCB_INPUT_DEVICE_ALL, 1}, on ? uint32_t{XCB_INPUT_XI_EVENT_MASK_RAW_MOTION} : 0u};
  xcb_input_xi_select_events(c_.get(), c_.root(), 1, &mask.head);
}

bool CaptureSource::takeMotion() {
  bool moved = motion_;
  motion_ = false;
  return moved;
}

bool CaptureSource::cursorShapeChanged() {
  bool changed = cursorChanged_;
  cursorChanged_ = false;
  return changed;
}

bool CaptureSource::takeChanges() {
  bool changed = structureChanged_;
  structureChanged_ = false;
  if (!damage_) return true;  // nothing tells us, so assume it changed
  if (damagePending_) {
    damagePending_ = false;
    if (damageNeedsRegion_) {
      changed = damageTouchesArea() || changed;
    } else {
      xcb_damage_subtract(c_.get(), damage_, XCB_NONE, XCB_NONE);
      changed = true;
    }
  }
  return changed;
}

bool CaptureSource::damageTouchesArea() {
  auto* conn = c_.get();
  // Moves the damage into `parts_` (clearing it, which re-arms the report) and
  // looks at where it was.
  xcb_damage_subtract(conn, damage_, XCB_NONE, parts_);
  Reply<xcb_xfixes_fetch_region_reply_t> r(xcb_xfixes_fetch_region_reply(conn, xcb_xfixes_fetch_region(conn, parts_), nullptr));
  c_.check();
  if (!r) return true;
  const xcb_rectangle_t* rects = xcb_xfixes_fetch_region_rectangles(r.get());
  int n = xcb_xfixes_fetch_region_rectangles_length(r.get());
  const int x = kind_ == ContentFilter::Kind::display ? monX_ : last_.rootX;
  const int y = kind_ == ContentFilter::Kind::display ? monY_ : last_.rootY;
  const int w = kind_ == ContentFilter::Kind::display ? monW_ : last_.width;
  const int h = kind_ == ContentFilter::Kind::display ? monH_ : last_.height;
  return std::any_of(rects, rects + n, [&](const xcb_rectangle_t& rect) { return overlaps(rect, x, y, w, h); });
}

}  // namespace vantor::platform::x11
