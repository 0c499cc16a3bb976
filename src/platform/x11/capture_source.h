#pragma once
// What a content filter names, on one connection: a monitor's rectangle of
// the root, or one window. A window is read through XComposite where the
// server offers it (its own pixels even when covered), else as its rectangle
// on the root. Used by streams (watching for changes) and by stills.

#include <xcb/damage.h>
#include <xcb/xfixes.h>

#include <optional>
#include <string>

#include "platform/screen_capture.h"
#include "platform/x11/connection.h"
#include "platform/x11/shm_image.h"

namespace vantor::platform::x11 {

class CaptureSource {
 public:
  // Where the pixels come from right now.
  struct Area {
    xcb_drawable_t drawable = 0;
    int x = 0, y = 0;  // inside the drawable
    int width = 0, height = 0;
    int rootX = 0, rootY = 0;  // top-left on the root, for the cursor
  };

  // Looks the filter's display or window up again. Throws Error:
  // kDisplayGone / kWindowGone when it is no longer there. With `watch`,
  // also listens for changes (Damage, XFixes cursor, window structure), which
  // arrive as events on the connection for handleEvent().
  CaptureSource(const Connection& c, const ContentFilter& filter, bool watch);
  ~CaptureSource();
  CaptureSource(const CaptureSource&) = delete;
  CaptureSource& operator=(const CaptureSource&) = delete;

  // The area to grab now: nullopt while a window is unmapped. Follows moves
  // and resizes. Throws kWindowGone when the window was destroyed.
  std::optional<Area> area();

  // Grabs `a` into `into`. False when the window went away or changed size
  // meanwhile; call area() again to tell which.
  bool grab(const Area& a, const ShmSegment& into);

  // Events from the connection. Returns true when the event was ours.
  bool handleEvent(const xcb_generic_event_t* event);
  // Whether the content changed since the last takeChanges(), which also
  // re-arms change tracking. Call right before grabbing, so that nothing
  // drawn after it is missed.
  bool takeChanges();
  // Pointer motion as events (XInput 2 raw motion), so that an idle pointer
  // needs no polling. Only with `watch` and a server that has XInput 2.
  bool reportsMotion() const { return motionEvents_; }
  void listenForMotion(bool on);
  // Whether raw motion arrived since the last call.
  bool takeMotion();
  // Whether the window has been destroyed (streams end then).
  bool gone() const { return gone_; }
  // Whether something was reported that takeChanges() has not looked at.
  bool changesPending() const { return damagePending_ || structureChanged_; }
  bool cursorShapeChanged();
  // The rectangle last captured, on the root (for pointer tests).
  int lastRootX() const { return last_.rootX; }
  int lastRootY() const { return last_.rootY; }
  int lastWidth() const { return last_.width; }
  int lastHeight() const { return last_.height; }

  std::string describe() const;

 private:
  void nameWindowPixmap(int width, int height, int border);
  bool damageTouchesArea();

  const Connection& c_;
  ContentFilter::Kind kind_;
  uint32_t id_;
  bool watch_;

  // Display
  int monX_ = 0, monY_ = 0, monW_ = 0, monH_ = 0;

  // Window
  bool composite_ = false;  // redirected, read from its pixmap
  bool mapped_ = true;
  bool gone_ = false;
  xcb_pixmap_t pixmap_ = 0;
  int pixmapW_ = 0, pixmapH_ = 0, pixmapBorder_ = 0;
  bool pixmapStale_ = true;

  // Change tracking
  xcb_damage_damage_t damage_ = 0;
  xcb_xfixes_region_t parts_ = 0;   // what changed, when only part of the damaged drawable counts
  bool damageNeedsRegion_ = false;  // root damage: only our rectangle counts
  bool damagePending_ = false;
  bool structureChanged_ = true;
  bool cursorChanged_ = false;
  bool motionEvents_ = false;
  bool motion_ = false;
  Area last_;
};

}  // namespace vantor::platform::x11
