#pragma once
// What the takes of the real agent share: a private Xvfb per test, a scratch
// folder kept when the test fails, the agent session, and the movie read back
// with FFmpeg's libraries, one decoded picture at a time.
//
// Moving content is a window repainted with the next colour of a palette
// about every 16 ms: each picture is one solid colour, so every decoded
// frame can be checked pixel by pixel, and consecutive colours differ widely,
// so every repaint the agent caught is a distinct frame.

#include <stdlib.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/agent_session.h"
#include "support/movie_probe.h"
#include "support/screenshot_probe.h"
#include "support/wayland_test_windows.h"
#include "support/x11_test_windows.h"

namespace vantor::test {

constexpr int kWidth = 1920, kHeight = 1080;
// A decoded pixel against the colour painted: 4:2:0 and limited range cost a few steps.
constexpr int kColourTolerance = 16;
constexpr uint32_t kBlack = 0x000000;
// Far apart, and far from black, so that a wrong picture cannot pass for a right one.
constexpr std::array<uint32_t, 10> kPalette = {0xff0000, 0x00ff00, 0x0000ff, 0xffff00, 0x00ffff,
                                               0xff00ff, 0xffffff, 0x808080, 0xc04000, 0x4080c0};

inline double secondsBetween(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double>(to - from).count();
}
inline int distance(uint32_t a, uint32_t b) {
  int d = 0;
  for (int shift : {0, 8, 16}) d = std::max(d, std::abs(int((a >> shift) & 0xff) - int((b >> shift) & 0xff)));
  return d;
}
inline bool isPaletteColour(uint32_t rgb) {
  return std::any_of(kPalette.begin(), kPalette.end(), [&](uint32_t p) { return distance(rgb, p) <= kColourTolerance; });
}
inline uint32_t rgbOf(const DecodedJpeg::Colour& c) {
  auto byte = [](double v) { return uint32_t(std::lround(std::clamp(v, 0.0, 255.0))); };
  return byte(c.r) << 16 | byte(c.g) << 8 | byte(c.b);
}

// One decoded picture, reduced to what the checks look at.
struct Picture {
  double pts = 0, duration = 0;
  bool changed = false;  // differs from the picture before it
  std::vector<uint32_t> probes;       // colours at the probe points, in their order
};

struct Movie {
  MovieFacts facts;
  std::vector<Picture> pictures;
  int changesBetween(double from, double to) const {
    return int(std::count_if(pictures.begin(), pictures.end(),
                             [&](const Picture& p) { return p.changed && p.pts >= from && p.pts < to; }));
  }
};

// Probes the movie and decodes every picture once; throws when FFmpeg cannot read it.
inline Movie readMovie(const std::filesystem::path& path, const std::vector<std::pair<int, int>>& probes) {
  Movie movie{probeMovie(path), {}};
  std::vector<uint8_t> previous;
  forEachVideoFrame(path, [&](const DecodedFrame& f) {
    Picture p{f.pts, f.duration, previous.size() != f.bgra.size(), {}};
    // Every fourth pixel of every fourth row: the content is large areas of one colour.
    for (size_t row = 0; !p.changed && row < size_t(f.height); row += 4)
      for (size_t i = row * f.width * 4; !p.changed && i < (row + 1) * f.width * 4; i += i % 4 == 2 ? 14 : 1)
        p.changed = std::abs(int(f.bgra[i]) - int(previous[i])) > 24;
    for (auto [x, y] : probes) p.probes.push_back(f.rgbAt(x, y));
    previous = f.bgra;
    movie.pictures.push_back(std::move(p));
    return true;
  }, /*fast=*/true);
  return movie;
}

// The screen a take records, with windows made to order on it: a private
// Xvfb, or a private headless sway. The agent is told which (VANTOR_BACKEND),
// so a test run inside a desktop session never records that session.
class Screen {
 public:
  virtual ~Screen() = default;
  // A window of one colour at x, y, in front of the others.
  virtual uint32_t window(int x, int y, int width, int height, uint32_t color, const std::string& title = "") = 0;
  virtual void fill(uint32_t window, uint32_t color) = 0;  // from any thread
  virtual void move(uint32_t window, int x, int y, int width, int height) = 0;
  virtual void close(uint32_t window) = 0;
};

class X11Screen final : public Screen {
 public:
  X11Screen(std::unique_ptr<VirtualDisplay> server) : server(std::move(server)), x(this->server->name().c_str()) {
    setenv("DISPLAY", this->server->name().c_str(), 1);
    setenv("VANTOR_BACKEND", "x11", 1);
    x.warpPointer(kWidth - 1, kHeight - 1);  // away from every probe point
  }
  uint32_t window(int wx, int wy, int width, int height, uint32_t color, const std::string& title) override {
    return x.create({.x = wx, .y = wy, .width = width, .height = height, .color = color, .netWmName = title,
                     .wmClass = "Painter"});
  }
  void move(uint32_t w, int wx, int wy, int width, int height) override { x.moveResize(w, wx, wy, width, height); }
  void fill(uint32_t w, uint32_t color) override {
    // Painters call from their own thread: one connection each.
    thread_local std::unique_ptr<TestWindows> own;
    if (std::this_thread::get_id() == owner_) return x.fill(w, color);
    if (!own) own = std::make_unique<TestWindows>(server->name().c_str());
    own->fill(w, color);
  }
  void close(uint32_t w) override { x.destroy(w); }

  std::unique_ptr<VirtualDisplay> server;
  TestWindows x;

 private:
  std::thread::id owner_ = std::this_thread::get_id();
};

class WaylandScreen final : public Screen {
 public:
  // `backend`: "wayland" (wlr-screencopy) or "portal" (a session started with its portal).
  WaylandScreen(std::unique_ptr<VirtualWayland> session, const std::string& backend = "wayland")
      : session(std::move(session)) {
    unsetenv("DISPLAY");
    setenv("VANTOR_BACKEND", backend.c_str(), 1);
  }
  uint32_t window(int x, int y, int width, int height, uint32_t color, const std::string& title) override {
    return windows.create(x, y, width, height, color, title);
  }
  void move(uint32_t w, int x, int y, int width, int height) override { windows.moveResize(w, x, y, width, height); }
  void fill(uint32_t w, uint32_t color) override { windows.fill(w, color); }
  void close(uint32_t w) override { windows.destroy(w); }

  std::unique_ptr<VirtualWayland> session;
  WaylandTestWindows windows;
};

// Repaints one window with the next colour of the palette about every 16 ms
// until stopped: moving content whose every picture is one known colour.
class Painting {
 public:
  Painting(Screen& screen, uint32_t window)
      : thread_([this, &screen, window] {
          auto next = Clock::now();
          for (size_t n = 1; !stop_.load(); ++n, std::this_thread::sleep_until(next += 16ms))
            screen.fill(window, kPalette[n % kPalette.size()]);
        }) {}
  ~Painting() { stop(); }
  void stop() {
    stop_.store(true);
    if (thread_.joinable()) thread_.join();
  }

 private:
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// A take on X11 by default; EveryScreenTake runs on each screen.
class SystemTake : public ::testing::Test {
 protected:
  void SetUp() override { startScreen("x11"); }
  void startScreen(const std::string& kind, const std::string& options = "") {
    std::string why;
    if (kind == "wayland" || kind == "portal") {
      auto session = VirtualWayland::start(VANTOR_SOURCE_DIR "/scripts/virtual-wayland.sh",
                                           kind == "portal" ? options + " --portal " VANTOR_PORTAL_SHIM : options, &why);
      if (!session) GTEST_SKIP() << "SKIPPED: cannot start a headless sway" << (kind == "portal" ? " with the ScreenCast portal" : "") << " (" << why << ")";
      screen_ = std::make_unique<WaylandScreen>(std::move(session), kind);
    } else {
      auto server = VirtualDisplay::start(VANTOR_SOURCE_DIR "/scripts/virtual-display.sh", options, &why);
      if (!server) GTEST_SKIP() << "SKIPPED: cannot start a virtual X server (" << why << ")";
      auto x11 = std::make_unique<X11Screen>(std::move(server));
      windows_ = &x11->x;
      screen_ = std::move(x11);
    }
  }
  void TearDown() override {
    if (HasFailure()) dir_.keep();
  }
  static bool soundServer() { return std::system("pactl info >/dev/null 2>&1") == 0; }

  std::unique_ptr<Agent> agent(ChildOptions options = {}) {
    return std::make_unique<Agent>([](const std::string& what) { ADD_FAILURE() << what; }, options);
  }
  std::unique_ptr<Painting> paint(uint32_t window) { return std::make_unique<Painting>(*screen_, window); }
  // The next error event's message; empty when none came.
  static std::string nextError(Agent& agent) {
    auto e = agent.waitFor([](const json& e) { return isType(e, "error"); }, 10s);
    EXPECT_TRUE(e && e->body.size() == 2) << (e ? e->body.dump() : "no error event");
    return e ? e->body.value("message", "") : "";
  }
  std::vector<std::string> filesLeft() const {
    std::vector<std::string> names;
    for (auto& entry : std::filesystem::directory_iterator(dir_.path())) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }

  std::unique_ptr<Screen> screen_;
  TestWindows* windows_ = nullptr;  // the X11 screen's, for what only X11 shows
  ScratchDir dir_{"vantor-take"};
};

class EveryScreenTake : public SystemTake, public ::testing::WithParamInterface<std::string> {
 protected:
  void SetUp() override { startScreen(GetParam()); }
};

#define VANTOR_REQUIRE_SOUND_SERVER() \
  if (!soundServer()) GTEST_SKIP() << "SKIPPED: no sound server reachable (scripts/test.sh starts one)"

}  // namespace vantor::test
