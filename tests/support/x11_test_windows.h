#pragma once
// Client windows on an X server, made to order for tests, and private X
// servers to put them on. Windows are filled by the X server itself (a
// background colour or pattern), so they stay painted without an event loop;
// they go when the object that made them does. Colours are 0xRRGGBB (a
// TrueColor visual of depth 24, as on Xvfb).

#include <xcb/xcb.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vantor::test {

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
  explicit TestWindows(const char* display = nullptr);
  ~TestWindows();
  TestWindows(const TestWindows&) = delete;
  TestWindows& operator=(const TestWindows&) = delete;

  // Makes a top-level window and returns its XID.
  uint32_t create(const WindowOptions& options);
  void fill(uint32_t window, uint32_t color);  // repaints it in one colour
  void map(uint32_t window);                   // returns once viewable
  void unmap(uint32_t window);                 // returns once unmapped
  void raise(uint32_t window);                 // on top; with a manager, once it restacked
  void moveResize(uint32_t window, int x, int y, int width, int height);
  void destroy(uint32_t window);
  void warpPointer(int x, int y);  // on the root
  void sync();                     // waits until the server handled everything sent

  uint32_t atom(std::string_view name);
  xcb_connection_t* connection() const { return c_; }
  xcb_window_t root() const { return screen_->root; }
  int screenWidth() const { return screen_->width_in_pixels; }
  int screenHeight() const { return screen_->height_in_pixels; }

 private:
  void waitForMapState(uint32_t window, bool viewable);

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
                                               std::string* why);
  ~VirtualDisplay();
  const std::string& name() const { return name_; }  // e.g. ":3"

 private:
  VirtualDisplay() = default;
  std::string name_;
  int xvfbPid_ = 0;
  int wmPid_ = 0;
};

}  // namespace vantor::test
