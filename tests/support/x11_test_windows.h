#pragma once
// Client windows on an X server, made to order for tests, and private X
// servers to put them on. Windows are filled by the X server itself (a
// background colour or pattern), so they stay painted without an event loop;
// they go when the object that made them does. Colours are 0xRRGGBB (a
// TrueColor visual of depth 24, as on Xvfb).

#include <signal.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "support/child_process.h"

namespace vantor::test {

// A reply of xcb's, freed when it goes.
template <typename T>
struct Freed {
  T* p;
  ~Freed() { std::free(p); }
  T* operator->() const { return p; }
  explicit operator bool() const { return p != nullptr; }
};

struct WindowOptions {
  int x = 100, y = 100;  // top-left corner on the root (outside any border)
  int width = 320, height = 240;
  int borderWidth = 0;                   // an X border around the window, in magenta
  uint32_t color = 0x808080;             // fill, 0xRRGGBB
  std::optional<uint32_t> checkerColor;  // with it: a checkerboard of 8-pixel squares of `color` and this
  std::optional<std::string> netWmName;  // _NET_WM_NAME, UTF8_STRING
  std::optional<std::string> wmName;     // WM_NAME, STRING (the bytes as given, meant as Latin-1)
  std::optional<std::string> wmClass;    // WM_CLASS class part; the instance part is the same text
  std::optional<uint32_t> pid;           // _NET_WM_PID
  std::optional<std::string> windowType;  // atom name, e.g. "_NET_WM_WINDOW_TYPE_TOOLTIP"
  bool overrideRedirect = false;          // not managed by a window manager (menus, tooltips)
  bool mapped = true;
};

class TestWindows {
 public:
  // Connects to `display`, or to $DISPLAY when null. Throws std::runtime_error.
  explicit TestWindows(const char* display = nullptr) {
    int screenNumber = 0;
    c_ = xcb_connect(display, &screenNumber);
    if (xcb_connection_has_error(c_)) {
      xcb_disconnect(c_);
      throw std::runtime_error(std::string("cannot connect to X server ") + (display ? display : "$DISPLAY"));
    }
    auto it = xcb_setup_roots_iterator(xcb_get_setup(c_));
    for (int i = 0; i < screenNumber && it.rem; ++i) xcb_screen_next(&it);
    screen_ = it.data;
  }
  ~TestWindows() { xcb_disconnect(c_); }
  TestWindows(const TestWindows&) = delete;
  TestWindows& operator=(const TestWindows&) = delete;

  // Makes a top-level window and returns its XID.
  uint32_t create(const WindowOptions& o) {
    uint32_t w = xcb_generate_id(c_);
    uint32_t values[] = {o.color, 0xff00ff, o.overrideRedirect ? 1u : 0u};
    xcb_create_window(c_, XCB_COPY_FROM_PARENT, w, root(), int16_t(o.x), int16_t(o.y), uint16_t(o.width),
                      uint16_t(o.height), uint16_t(o.borderWidth), XCB_WINDOW_CLASS_INPUT_OUTPUT, screen_->root_visual,
                      XCB_CW_BACK_PIXEL | XCB_CW_BORDER_PIXEL | XCB_CW_OVERRIDE_REDIRECT, values);
    if (o.checkerColor) {
      // The server tiles the background pixmap, so the pattern paints itself.
      const uint16_t cell = 8;
      xcb_pixmap_t tile = xcb_generate_id(c_);
      xcb_create_pixmap(c_, screen_->root_depth, tile, w, 2 * cell, 2 * cell);
      xcb_gcontext_t gc = xcb_generate_id(c_);
      xcb_create_gc(c_, gc, tile, XCB_GC_FOREGROUND, &o.color);
      xcb_rectangle_t all{0, 0, uint16_t(2 * cell), uint16_t(2 * cell)};
      xcb_poly_fill_rectangle(c_, tile, gc, 1, &all);
      xcb_change_gc(c_, gc, XCB_GC_FOREGROUND, &*o.checkerColor);
      xcb_rectangle_t squares[] = {{int16_t(cell), 0, cell, cell}, {0, int16_t(cell), cell, cell}};
      xcb_poly_fill_rectangle(c_, tile, gc, 2, squares);
      xcb_change_window_attributes(c_, w, XCB_CW_BACK_PIXMAP, &tile);
      xcb_free_gc(c_, gc);
      xcb_free_pixmap(c_, tile);
    }
    if (o.netWmName)
      setProperty(w, atom("_NET_WM_NAME"), atom("UTF8_STRING"), 8, o.netWmName->data(), o.netWmName->size());
    if (o.wmName) setProperty(w, XCB_ATOM_WM_NAME, XCB_ATOM_STRING, 8, o.wmName->data(), o.wmName->size());
    if (o.wmClass) {
      std::string both = *o.wmClass + '\0' + *o.wmClass + '\0';
      setProperty(w, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 8, both.data(), both.size());
    }
    if (o.pid) setProperty(w, atom("_NET_WM_PID"), XCB_ATOM_CARDINAL, 32, &*o.pid, 1);
    if (o.windowType) {
      uint32_t type = atom(*o.windowType);
      setProperty(w, atom("_NET_WM_WINDOW_TYPE"), XCB_ATOM_ATOM, 32, &type, 1);
    }
    // The position and size are the user's wish (USPosition | USSize): window managers keep them.
    uint32_t hints[18] = {1 | 2, uint32_t(o.x), uint32_t(o.y), uint32_t(o.width), uint32_t(o.height)};
    setProperty(w, XCB_ATOM_WM_NORMAL_HINTS, XCB_ATOM_WM_SIZE_HINTS, 32, hints, 18);
    if (o.mapped) map(w);
    else sync();
    return w;
  }
  // Repaints it in one colour.
  void fill(uint32_t window, uint32_t color) {
    xcb_change_window_attributes(c_, window, XCB_CW_BACK_PIXEL, &color);
    xcb_clear_area(c_, 0, window, 0, 0, 0, 0);
    sync();
  }
  // Each returns once the window is (no longer) viewable.
  void map(uint32_t window) {
    xcb_map_window(c_, window);
    waitForMapState(window, true);
  }
  void unmap(uint32_t window) {
    xcb_unmap_window(c_, window);
    waitForMapState(window, false);
  }
  // On top; with a manager, once it restacked.
  void raise(uint32_t window) {
    // With a manager, a ConfigureRequest it answers by restacking the frame.
    uint32_t above = XCB_STACK_MODE_ABOVE;
    xcb_configure_window(c_, window, XCB_CONFIG_WINDOW_STACK_MODE, &above);
    sync();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  void moveResize(uint32_t window, int x, int y, int width, int height) {
    uint32_t v[] = {static_cast<uint32_t>(x), static_cast<uint32_t>(y), static_cast<uint32_t>(width),
                    static_cast<uint32_t>(height)};
    xcb_configure_window(
        c_, window, XCB_CONFIG_WINDOW_X | XCB_CONFIG_WINDOW_Y | XCB_CONFIG_WINDOW_WIDTH | XCB_CONFIG_WINDOW_HEIGHT, v);
    sync();
  }
  void destroy(uint32_t window) {
    xcb_destroy_window(c_, window);
    sync();
  }
  // On the root.
  void warpPointer(int x, int y) {
    xcb_warp_pointer(c_, XCB_NONE, root(), 0, 0, 0, 0, static_cast<int16_t>(x), static_cast<int16_t>(y));
    sync();
  }
  // Waits until the server handled everything sent.
  void sync() {
    Freed<xcb_get_input_focus_reply_t> r{xcb_get_input_focus_reply(c_, xcb_get_input_focus(c_), nullptr)};
    while (xcb_generic_event_t* e = xcb_poll_for_event(c_)) std::free(e);
  }

  uint32_t atom(std::string_view name) {
    Freed<xcb_intern_atom_reply_t> r{
        xcb_intern_atom_reply(c_, xcb_intern_atom(c_, 0, static_cast<uint16_t>(name.size()), name.data()), nullptr)};
    if (!r) throw std::runtime_error("cannot intern an atom");
    return r->atom;
  }
  xcb_connection_t* connection() const { return c_; }
  xcb_window_t root() const { return screen_->root; }
  int screenWidth() const { return screen_->width_in_pixels; }
  int screenHeight() const { return screen_->height_in_pixels; }

 private:
  void setProperty(uint32_t w, xcb_atom_t prop, xcb_atom_t type, uint8_t format, const void* data, size_t units) {
    xcb_change_property(c_, XCB_PROP_MODE_REPLACE, w, prop, type, format, static_cast<uint32_t>(units), data);
  }
  void waitForMapState(uint32_t window, bool viewable) {
    xcb_flush(c_);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (std::chrono::steady_clock::now() < deadline) {
      Freed<xcb_get_window_attributes_reply_t> a{
          xcb_get_window_attributes_reply(c_, xcb_get_window_attributes(c_, window), nullptr)};
      if (!a) throw std::runtime_error("test window vanished");
      if ((a->map_state == XCB_MAP_STATE_VIEWABLE) == viewable) {
        sync();
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    throw std::runtime_error(viewable ? "test window did not become viewable" : "test window did not unmap");
  }

  xcb_connection_t* c_ = nullptr;
  const xcb_screen_t* screen_ = nullptr;
};

// A private Xvfb started through scripts/virtual-display.sh, stopped when
// the object goes. Options are the script's: "--wm", "--size 2560x1440",
// "--monitors 2".
class VirtualDisplay {
 public:
  // Returns null and sets `why` when the server could not be started.
  static std::unique_ptr<VirtualDisplay> start(const std::string& script, const std::string& options,
                                               std::string* why) {
    // --parent: the server goes with this process even when a test crashes.
    auto words = runServerScript(script, "start " + options + " --parent " + std::to_string(getpid()), why);
    if (words["DISPLAY"].empty()) return nullptr;
    std::unique_ptr<VirtualDisplay> d(new VirtualDisplay);
    d->name_ = words["DISPLAY"];
    d->xvfbPid_ = std::atoi(words["XVFB_PID"].c_str());
    d->wmPid_ = std::atoi(words["WM_PID"].c_str());
    return d;
  }
  ~VirtualDisplay() {
    if (wmPid_ > 0) kill(wmPid_, SIGTERM);
    if (xvfbPid_ > 0) kill(xvfbPid_, SIGTERM);
  }
  const std::string& name() const { return name_; }  // e.g. ":3"

 private:
  VirtualDisplay() = default;
  std::string name_;
  int xvfbPid_ = 0;
  int wmPid_ = 0;
};

}  // namespace vantor::test
