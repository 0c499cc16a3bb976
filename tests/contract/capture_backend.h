#pragma once
// The backends the screen-capture contract runs on, each behind what a test
// needs to arrange a screen. What a backend cannot show, it says why, and the
// tests that need it skip with that reason.

#include <gtest/gtest.h>

#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>
#include <thread>

#include "exec/completion.h"
#include "platform/screen_capture.h"
#include "platform/sim/sim_screen_capture.h"
#include "support/run_coroutine.h"
#ifdef VANTOR_HAVE_X11
#include "platform/x11/x11_screen_capture.h"
#include "support/x11_test_windows.h"
#endif
#ifdef VANTOR_HAVE_WAYLAND
#include "platform/wayland/wayland_screen_capture.h"
#include "support/wayland_test_windows.h"
#endif
#ifdef VANTOR_HAVE_PORTAL
#include "platform/portal/portal_screen_capture.h"
#endif

namespace vantor::capturetest {

using namespace std::chrono_literals;
using namespace platform;

// What a window shows, where on the main display: one colour (0xRRGGBB) or a checkerboard of it and
// `checker` in squares of 8; `border` is an outer border, not part of its picture.
struct Look {
  int x = 100, y = 100, width = 320, height = 240;
  uint32_t color = 0x808080;
  std::optional<uint32_t> checker;
  int border = 0;
};

// Normal application windows, then chrome, then windows that are not on screen.
enum class Kind { normal, dialog, popup, tooltip, dock, neverShown, unmapped, hidden };
// What a backend's screen can show: pictures of it (content), real pacing
// (timing), chrome listed as windows above the normal ones (chrome), a
// covered window's own pixels (ownPixels), a pointer to move (pointer),
// streams and stills of one window (windows), a still of a screen that does
// not change (staticStills).
enum class Ability { content, timing, chrome, ownPixels, pointer, windows, staticStills };

class Backend {
 public:
  virtual ~Backend() = default;
  exec::MainLoop main;
  virtual ScreenCaptureService& service() = 0;
  virtual std::vector<Display> displays() = 0;  // as they must be listed: the main one first
  virtual uint32_t window(const Look& look, Kind kind = Kind::normal) = 0;  // in front of the others
  virtual void raise(uint32_t window) = 0;
  virtual void fill(uint32_t window, uint32_t color) = 0;            // a change on screen
  virtual void resize(uint32_t window, int width, int height) = 0;  // and may move it
  virtual void show(uint32_t window, bool shown) = 0;
  virtual void close(uint32_t window) = 0;
  virtual void movePointer(int x, int y) = 0;  // on the main display
  virtual void changeElsewhere() {}           // off the main display
  virtual void pump() {}                      // frames that only a script makes
  virtual void repaint() {}                   // the main display drawn again, unchanged
  virtual std::string cannot(Ability) const { return {}; }  // why not, or empty
  bool can(Ability a) const { return cannot(a).empty(); }
};

// Frames come when pump() emits them, each pixel stamped with the frame's
// index; windows are a scripted list, front-most first.
class SimBackend final : public Backend {
 public:
  sim::SimScreenCapture sim;
  SimBackend() { sim.displays = {{7, 1920, 1080}, {3, 1280, 1024}}; }
  ScreenCaptureService& service() override { return sim; }
  std::vector<Display> displays() override { return sim.displays; }
  uint32_t window(const Look& look, Kind kind) override {
    const int layer[] = {0, 0, 5, 8, 4, 0, 0, 0};
    auto w = sim.window(next_++, std::nullopt, std::nullopt, layer[int(kind)], kind < Kind::neverShown);
    w.width = look.width, w.height = look.height;
    sim.windows.insert(sim.windows.begin(), w);
    return w.window.windowID;
  }
  void raise(uint32_t id) override { std::rotate(sim.windows.begin(), find(id), find(id) + 1); }
  void fill(uint32_t, uint32_t) override { pump(); }
  void resize(uint32_t id, int width, int height) override { find(id)->width = width, find(id)->height = height; }
  void show(uint32_t id, bool shown) override { find(id)->onScreen = shown; }
  void close(uint32_t id) override { sim.windows.erase(find(id)); }
  void movePointer(int, int) override { pump(); }
  void pump() override {
    for (auto* s : sim.streams()) s->emitFrame();
  }
  std::string cannot(Ability a) const override {
    if (a == Ability::content) return "simulated frames and stills carry a stamp, not a picture of the screen";
    if (a == Ability::timing) return "a simulated stream delivers every frame its script emits, when it emits it";
    return {};
  }

 private:
  std::vector<sim::SimWindow>::iterator find(uint32_t id) {
    return std::find_if(sim.windows.begin(), sim.windows.end(), [&](auto& w) { return w.window.windowID == id; });
  }
  uint32_t next_ = 100;
};

#ifdef VANTOR_HAVE_X11
// A private Xvfb of two monitors side by side, LEFT and the primary RIGHT:
// the main display is not at the screen's origin, and another is beside it.
class X11Backend final : public Backend {
 public:
  static constexpr int kLeft = 1920;  // where the main display starts
  static std::unique_ptr<X11Backend> start(std::string* why, const std::string& more = "") {
    auto server = test::VirtualDisplay::start(VANTOR_VIRTUAL_DISPLAY_SCRIPT, "--size 3840x1080 --monitors 2 " + more, why);
    return server ? std::unique_ptr<X11Backend>(new X11Backend(std::move(server))) : nullptr;
  }
  ScreenCaptureService& service() override { return *service_; }
  std::vector<Display> displays() override { return {{x.atom("RIGHT"), 1920, 1080}, {x.atom("LEFT"), 1920, 1080}}; }
  uint32_t window(const Look& l, Kind kind) override {
    const char* types[] = {nullptr, "DIALOG", nullptr, "TOOLTIP", "DOCK", nullptr, nullptr, nullptr};
    test::WindowOptions o{.x = kLeft + l.x, .y = l.y, .width = l.width, .height = l.height, .borderWidth = l.border,
                          .color = l.color, .checkerColor = l.checker, .mapped = kind != Kind::neverShown};
    if (types[int(kind)]) o.windowType = std::string("_NET_WM_WINDOW_TYPE_") + types[int(kind)];
    o.overrideRedirect = kind == Kind::popup || kind == Kind::tooltip;
    uint32_t id = x.create(o), hidden = x.atom("_NET_WM_STATE_HIDDEN");
    if (kind == Kind::unmapped) x.unmap(id);
    if (kind == Kind::hidden)
      xcb_change_property(x.connection(), XCB_PROP_MODE_REPLACE, id, x.atom("_NET_WM_STATE"), XCB_ATOM_ATOM, 32, 1,
                          &hidden);
    x.sync();
    return id;
  }
  void raise(uint32_t id) override { x.raise(id); }
  void fill(uint32_t id, uint32_t color) override { x.fill(id, color); }
  void resize(uint32_t id, int width, int height) override { x.moveResize(id, kLeft + 300, 200, width, height); }
  void show(uint32_t id, bool shown) override { shown ? x.map(id) : x.unmap(id); }
  void close(uint32_t id) override { x.destroy(id); }
  void movePointer(int px, int py) override { x.warpPointer(kLeft + px, py); }
  void changeElsewhere() override {
    if (!elsewhere_) elsewhere_ = x.create({.width = 200, .height = 200});
    x.fill(elsewhere_, shade_ += 0x010101);
  }

  std::unique_ptr<test::VirtualDisplay> server;
  test::TestWindows x;

 private:
  explicit X11Backend(std::unique_ptr<test::VirtualDisplay> s)
      : server(std::move(s)), x(server->name().c_str()), service_(makeX11ScreenCapture(main, server->name())) {
    x.warpPointer(kLeft + 1910, 1070);  // out of the way of the windows under test
  }
  std::unique_ptr<ScreenCaptureService> service_;
  uint32_t elsewhere_ = 0, shade_ = 0x404040;
};
#endif

#ifdef VANTOR_HAVE_WAYLAND
// A private headless sway of two outputs: the main one, HEADLESS-1, at the
// origin and a smaller one beside it. Windows float where a test puts them.
class WaylandBackend : public Backend {
 public:
  static std::unique_ptr<WaylandBackend> start(std::string* why) {
    std::shared_ptr session = test::VirtualWayland::start(VANTOR_VIRTUAL_WAYLAND_SCRIPT, "--outputs 2", why);
    return session ? std::unique_ptr<WaylandBackend>(new WaylandBackend(session, makeWaylandScreenCapture)) : nullptr;
  }
  ScreenCaptureService& service() override { return *service_; }
  std::vector<Display> displays() override {
    auto outputs = w.outputs();
    return {{outputs.at(0), 1920, 1080}, {outputs.at(1), 1280, 720}};
  }
  uint32_t window(const Look& l, Kind kind) override {
    uint32_t id = w.create(l.x, l.y, l.width, l.height, l.color);
    if (kind >= Kind::neverShown) w.show(id, false);  // on no workspace that is shown
    return id;
  }
  void raise(uint32_t id) override { w.raise(id); }
  void fill(uint32_t id, uint32_t color) override { w.fill(id, color); }
  void resize(uint32_t id, int width, int height) override { w.moveResize(id, 300, 200, width, height); }
  void show(uint32_t id, bool shown) override { w.show(id, shown); }
  void close(uint32_t id) override { w.destroy(id); }
  void movePointer(int, int) override {}
  void changeElsewhere() override { w.fill(elsewhere_, shade_ += 0x010101); }
  std::string cannot(Ability a) const override {
    if (a == Ability::chrome) return "popups and panels are not windows on Wayland";
    if (a == Ability::ownPixels) return "wlroots compositors copy a window's place on screen, what covers it included";
    if (a == Ability::pointer) return "the headless session has no pointer";
    return {};
  }

 protected:
  // The window on the other output is made first: a new window shows on the
  // focused output before it is moved.
  WaylandBackend(std::shared_ptr<test::VirtualWayland> s,
                 std::unique_ptr<ScreenCaptureService> (*make)(exec::Loop&))
      : session_(std::move(s)), service_(make(main)), elsewhere_(w.create(2000, 100, 200, 200, 0x404040)) {}
  std::shared_ptr<test::VirtualWayland> session_;
  std::unique_ptr<ScreenCaptureService> service_;

 public:
  test::WaylandTestWindows w;

 private:
  uint32_t elsewhere_ = 0, shade_ = 0x404040;
};
#endif

#ifdef VANTOR_HAVE_PORTAL
// The same sway, recorded through the ScreenCast portal (xdg-desktop-portal-wlr
// sharing HEADLESS-1, no dialog). Its servers start once for the whole
// suite, whose tests run in one process (see tests/CMakeLists.txt); each
// test's windows go with its backend's connection.
class PortalBackend final : public WaylandBackend {
 public:
  static std::unique_ptr<PortalBackend> start(std::string* why) {
    static std::string failed;
    static std::shared_ptr<test::VirtualWayland> session = test::VirtualWayland::start(
        VANTOR_VIRTUAL_WAYLAND_SCRIPT, "--outputs 2 --portal " VANTOR_PORTAL_SHIM, &failed);
    *why = failed;
    if (!session) return nullptr;
    session->use();
    return std::unique_ptr<PortalBackend>(new PortalBackend(session));
  }
  std::string cannot(Ability a) const override {
    if (a == Ability::windows) return "xdg-desktop-portal-wlr shares whole outputs only";
    if (a == Ability::staticStills) return "xdg-desktop-portal-wlr's first picture waits for the screen to be drawn";
    return WaylandBackend::cannot(a);
  }
  void repaint() override { w.command("output HEADLESS-1 bg #204060 solid_color"); }  // the session's own

 private:
  explicit PortalBackend(std::shared_ptr<test::VirtualWayland> s) : WaylandBackend(std::move(s), makePortalScreenCapture) {}
};
#endif

// ---- Driving a service from a test

// Runs the coroutine `body()` on `main` until it finishes; rethrows its failure.
template <typename Body>
void run(exec::MainLoop& main, Body body) {
  test::runOn(main, body());
}
// What `operation(resolver)` reports, awaited on `main`.
template <typename T, typename Operation>
T await(exec::MainLoop& main, Operation operation) {
  return test::runOn(main, exec::awaitCompletion<T>(operation));
}
inline ShareableContent content(Backend& b) {
  return await<ShareableContent>(b.main, [&](auto done) { b.service().getShareableContent(done); });
}
inline ImageRef still(Backend& b, const ContentFilter& f) {
  // A screen on a real desktop is drawn again soon enough (a cursor, a clock).
  std::jthread drawing;
  if (!b.can(Ability::staticStills))
    drawing = std::jthread([&b](std::stop_token stop) {
      for (; !stop.stop_requested(); std::this_thread::sleep_for(200ms)) b.repaint();
    });
  return await<ImageRef>(b.main, [&](auto done) { b.service().captureImage(f, done); });
}
inline asio::awaitable<void> start(Stream& s) {
  return exec::awaitCompletion<void>([&](exec::Resolver<void> done) { s.startCapture(done); });
}
inline asio::awaitable<void> stop(Stream& s) {
  return exec::awaitCompletion<void>([&](exec::Resolver<void> done) { s.stopCapture(done); });
}
inline asio::awaitable<void> sleepFor(std::chrono::milliseconds d) {
  asio::steady_timer t(co_await asio::this_coro::executor, d);
  co_await t.async_wait(asio::use_awaitable);
}
// Checks `done` every few milliseconds, letting the loop run in between.
inline asio::awaitable<bool> waitUntil(std::function<bool()> done, std::chrono::milliseconds timeout = 3s) {
  for (auto deadline = std::chrono::steady_clock::now() + timeout; !done(); co_await sleepFor(5ms))
    if (std::chrono::steady_clock::now() > deadline) co_return false;
  co_return true;
}
// The description of the Error `f` throws; fails the test when it throws none.
inline std::string failure(const std::function<void()>& f) {
  try {
    f();
    ADD_FAILURE() << "did not fail";
  } catch (const Error& e) {
    return e.description();
  }
  return {};
}
inline uint32_t rgbAt(const PixelBuffer& p, int x, int y) {
  const uint8_t* px = p.row(y) + static_cast<size_t>(x) * 4;
  return (uint32_t{px[2]} << 16) | (uint32_t{px[1]} << 8) | px[0];
}
inline const Window* findWindow(const ShareableContent& c, uint32_t id) {
  auto w = std::find_if(c.windows.begin(), c.windows.end(), [&](const Window& w) { return w.windowID == id; });
  return w == c.windows.end() ? nullptr : &*w;
}

// Frames as the consumer sees them; every one kept when `keepAll`.
struct Frames {
  std::vector<FrameRef> kept;
  FrameRef last;
  int handled = 0, offLoop = 0;  // offLoop: handled on another thread than the loop's (this test's)
  bool keepAll = false;
  void attach(Stream& s, exec::Loop& loop) {
    s.addStreamOutput(
        [this, thread = std::this_thread::get_id()](FrameRef f) {
          ++handled, offLoop += std::this_thread::get_id() != thread;
          if (keepAll) kept.push_back(f);
          last = std::move(f);
        },
        loop);
  }
  const PixelBuffer& image() const { return *last->image; }
};

}  // namespace vantor::capturetest
