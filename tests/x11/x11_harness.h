#pragma once
// Shared pieces of the X11 capture tests: skipping without an X server,
// running coroutines on the main loop, reading pixels.

#include <gtest/gtest.h>

#include <asio/co_spawn.hpp>
#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>

#include "exec/completion.h"
#include "exec/main_loop.h"
#include "platform/screen_capture.h"
#include "platform/x11/x11_screen_capture.h"
#include "support/x11_test_windows.h"

namespace vantor::x11test {

using namespace std::chrono_literals;
using platform::ContentFilter;
using platform::FrameRef;
using platform::ImageRef;
using platform::PixelBuffer;
using platform::ScreenCaptureService;
using platform::ShareableContent;
using platform::Stream;
using platform::StreamConfiguration;

inline bool haveDisplay() {
  const char* d = std::getenv("DISPLAY");
  return d && *d;
}

#define VANTOR_REQUIRE_DISPLAY()                                                                       \
  do {                                                                                                 \
    if (!::vantor::x11test::haveDisplay())                                                             \
      GTEST_SKIP() << "SKIPPED: DISPLAY is not set, no X server to test against; run under "           \
                      "scripts/virtual-display.sh (source it and call vantor_display_start)";          \
  } while (0)

// Runs `body()` (a coroutine) on `main` until it finishes; rethrows its failure.
template <typename Body>
void runOnMain(exec::MainLoop& main, Body body) {
  std::exception_ptr failure;
  bool finished = false;
  asio::co_spawn(main.context(), body(), [&](std::exception_ptr e) {
    failure = e;
    finished = true;
  });
  main.run();
  if (failure) std::rethrow_exception(failure);
  ASSERT_TRUE(finished);
}

inline asio::awaitable<void> sleepFor(std::chrono::milliseconds d) {
  asio::steady_timer t(co_await asio::this_coro::executor, d);
  co_await t.async_wait(asio::use_awaitable);
}

// Checks `done` every few milliseconds, letting the loop run in between.
inline asio::awaitable<bool> waitUntil(std::function<bool()> done, std::chrono::milliseconds timeout = 3s) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) co_return false;
    co_await sleepFor(5ms);
  }
  co_return true;
}

inline asio::awaitable<ShareableContent> content(ScreenCaptureService& s) {
  co_return co_await exec::awaitCompletion<ShareableContent>(
      [&](exec::Resolver<ShareableContent> done) { s.getShareableContent(done); });
}
inline asio::awaitable<ImageRef> still(ScreenCaptureService& s, const ContentFilter& f) {
  co_return co_await exec::awaitCompletion<ImageRef>([&](exec::Resolver<ImageRef> done) { s.captureImage(f, done); });
}
inline asio::awaitable<void> start(Stream& s) {
  co_await exec::awaitCompletion<void>([&](exec::Resolver<void> done) { s.startCapture(done); });
}
inline asio::awaitable<void> stop(Stream& s) {
  co_await exec::awaitCompletion<void>([&](exec::Resolver<void> done) { s.stopCapture(done); });
}

// Blocking forms for tests that need one answer.
inline ShareableContent queryContent(exec::MainLoop& main, ScreenCaptureService& s) {
  ShareableContent out;
  runOnMain(main, [&]() -> asio::awaitable<void> { out = co_await content(s); });
  return out;
}
inline ImageRef captureStill(exec::MainLoop& main, ScreenCaptureService& s, const ContentFilter& f) {
  ImageRef out;
  runOnMain(main, [&]() -> asio::awaitable<void> { out = co_await still(s, f); });
  return out;
}

// The Error `f` throws; fails the test when it throws nothing or something else.
inline Error errorFrom(const std::function<void()>& f) {
  try {
    f();
  } catch (const Error& e) {
    return e;
  } catch (const std::exception& e) {
    ADD_FAILURE() << "threw a non-Error: " << e.what();
    return Error("", 0, e.what());
  }
  ADD_FAILURE() << "did not fail";
  return Error("", 0, "");
}

inline uint32_t rgbAt(const PixelBuffer& p, int x, int y) {
  const uint8_t* px = p.row(y) + static_cast<size_t>(x) * 4;
  return (uint32_t{px[2]} << 16) | (uint32_t{px[1]} << 8) | px[0];
}

inline const platform::Window* findWindow(const ShareableContent& c, uint32_t id) {
  for (const auto& w : c.windows)
    if (w.windowID == id) return &w;
  return nullptr;
}

// Where our windows come in the listing, front-most first.
inline std::vector<uint32_t> orderOf(const ShareableContent& c, const std::vector<uint32_t>& ours) {
  std::vector<uint32_t> out;
  for (const auto& w : c.windows)
    if (std::find(ours.begin(), ours.end(), w.windowID) != ours.end()) out.push_back(w.windowID);
  return out;
}

}  // namespace vantor::x11test
