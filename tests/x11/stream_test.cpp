// Streams against a real X server: what frames contain, when they come, and
// how they stop.

#include <algorithm>

#include "support/capture_sinks.h"
#include "x11_harness.h"

namespace vantor::x11test {
namespace {

using test::TestWindows;

constexpr uint32_t kRed = 0xff0000, kGreen = 0x00ff00, kBlue = 0x0000ff, kYellow = 0xffff00, kBlack = 0x000000;

// Frames as the consumer sees them, on the main loop.
struct Collector {
  std::vector<FrameRef> kept;  // every frame, when `keepAll`
  FrameRef last;
  int handled = 0;
  bool keepAll = false;

  void attach(Stream& s, exec::Loop& loop) {
    s.addStreamOutput(
        [this](FrameRef f) {
          ++handled;
          if (keepAll) kept.push_back(f);
          last = std::move(f);
        },
        loop);
  }
  const PixelBuffer& image() const { return *last->image; }
};

class Streams : public ::testing::Test {
 protected:
  void SetUp() override {
    VANTOR_REQUIRE_DISPLAY();
    x = std::make_unique<TestWindows>();
    x->warpPointer(x->screenWidth() - 10, 10);  // keep the cursor off the windows under test
    service = platform::makeX11ScreenCapture(main);
    display = queryContent(main, *service).displays.at(0);
  }

  std::unique_ptr<Stream> stream(const ContentFilter& f, int width, int height,
                                 std::chrono::nanoseconds interval = std::chrono::milliseconds(10), int depth = 4) {
    StreamConfiguration config;
    config.width = width;
    config.height = height;
    config.minimumFrameInterval = interval;
    config.queueDepth = depth;
    auto s = service->createStream(f, config);
    frames.attach(*s, main);
    return s;
  }

  exec::MainLoop main;
  std::unique_ptr<TestWindows> x;
  std::unique_ptr<ScreenCaptureService> service;
  platform::Display display;
  Collector frames;
};

TEST_F(Streams, DisplayFrameShowsAWindowInItsColourAtItsPlace) {
  x->create({.x = 300, .y = 200, .width = 400, .height = 300, .color = kRed});
  auto s = stream(ContentFilter::forDisplay(display), display.width, display.height);
  auto before = std::chrono::steady_clock::now();
  runOnMain(main, [&]() -> asio::awaitable<void> {
    co_await start(*s);
    EXPECT_TRUE(co_await waitUntil([&] { return frames.handled >= 1; }));
    co_await stop(*s);
  });
  ASSERT_TRUE(frames.last && frames.last->image);
  const auto& img = frames.image();
  ASSERT_EQ(img.width, display.width);
  ASSERT_EQ(img.height, display.height);
  EXPECT_EQ(rgbAt(img, 300, 200), kRed);
  EXPECT_EQ(rgbAt(img, 699, 499), kRed);
  EXPECT_EQ(rgbAt(img, 500, 350), kRed);
  EXPECT_NE(rgbAt(img, 299, 200), kRed);
  EXPECT_NE(rgbAt(img, 700, 499), kRed);
  EXPECT_NE(rgbAt(img, 500, 500), kRed);
  EXPECT_GE(frames.last->presentationTime, before);
  EXPECT_LE(frames.last->presentationTime, std::chrono::steady_clock::now());
  EXPECT_EQ(frames.last->index, 0u);
}

TEST_F(Streams, SmallerWindowIsCentredAtNativeSizeWithBlackBars) {
  auto w = x->create({.x = 50, .y = 60, .width = 640, .height = 360, .color = kGreen});
  auto s = stream(ContentFilter::forWindow({w}), 1920, 1080);
  runOnMain(main, [&]() -> asio::awaitable<void> {
    co_await start(*s);
    EXPECT_TRUE(co_await waitUntil([&] { return frames.handled >= 1; }));
    co_await stop(*s);
  });
  ASSERT_TRUE(frames.last);
  const auto& img = frames.image();
  ASSERT_EQ(img.width, 1920);
  ASSERT_EQ(img.height, 1080);
  for (auto [px, py] : {std::pair{640, 360}, {1279, 719}, {960, 540}, {640, 719}, {1279, 360}})
    EXPECT_EQ(rgbAt(img, px, py), kGreen) << px << "," << py;
  for (auto [px, py] : {std::pair{639, 540}, {1280, 540}, {960, 359}, {960, 720}, {0, 0}, {1919, 1079}})
    EXPECT_EQ(rgbAt(img, px, py), kBlack) << px << "," << py;
}

TEST_F(Streams, LargerContentIsScaledDownWithItsAspectKept) {
  auto w = x->create({.x = 0, .y = 100, .width = 1280, .height = 400, .color = kBlue});
  auto s = stream(ContentFilter::forWindow({w}), 640, 360);
  runOnMain(main, [&]() -> asio::awaitable<void> {
    co_await start(*s);
    EXPECT_TRUE(co_await waitUntil([&] { return frames.handled >= 1; }));
    co_await stop(*s);
  });
  ASSERT_TRUE(frames.last);
  const auto& img = frames.image();
  ASSERT_EQ(img.width, 640);
  ASSERT_EQ(img.height, 360);
  // 1280x400 halves to 640x200, rows 80 to 279.
  for (auto [px, py] : {std::pair{0, 80}, {639, 279}, {320, 180}}) EXPECT_EQ(rgbAt(img, px, py), kBlue) << px << "," << py;
  for (auto [px, py] : {std::pair{320, 79}, {320, 280}, {0, 0}}) EXPECT_EQ(rgbAt(img, px, py), kBlack) << px << "," << py;
}

TEST_F(Streams, CoveredWindowComesOutInItsOwnColour) {
  auto below = x->create({.x = 300, .y = 300, .width = 400, .height = 300, .color = kBlue});
  x->create({.x = 250, .y = 250, .width = 500, .height = 400, .color = kYellow});
  auto s = stream(ContentFilter::forWindow({below}), 400, 300);
  runOnMain(main, [&]() -> asio::awaitable<void> {
    co_await start(*s);
    EXPECT_TRUE(co_await waitUntil([&] { return frames.handled >= 1; }));
    co_await stop(*s);
  });
  ASSERT_TRUE(frames.last);
  const auto& img = frames.image();
  for (auto [px, py] : {std::pair{0, 0}, {399, 299}, {200, 150}, {0, 299}, {399, 0}})
    EXPECT_EQ(rgbAt(img, px, py), kBlue) << px << "," << py;

  auto still = captureStill(main, *service, ContentFilter::forWindow({below}));
  EXPECT_EQ(rgbAt(*still, 200, 150), kBlue);
}

TEST_F(Streams, DeliversTheFirstFrameAndThenOnlyWhenSomethingChanges) {
  auto w = x->create({.x = 100, .y = 100, .width = 200, .height = 200, .color = kRed});
  auto s = stream(ContentFilter::forDisplay(display), display.width, display.height);
  runOnMain(main, [&]() -> asio::awaitable<void> {
    co_await start(*s);
    EXPECT_TRUE(co_await waitUntil([&] { return frames.handled >= 1; }));
    co_await sleepFor(300ms);
    EXPECT_EQ(frames.handled, 1) << "frames of an unchanged screen";

    x->fill(w, kGreen);
    EXPECT_TRUE(co_await waitUntil([&] { return frames.handled >= 2; }));
    EXPECT_EQ(rgbAt(frames.image(), 150, 150), kGreen);
    co_await sleepFor(300ms);
    EXPECT_EQ(frames.handled, 2);

    x->warpPointer(600, 600);  // the cursor moved: the picture changed
    EXPECT_TRUE(co_await waitUntil([&] { return frames.handled >= 3; }));
    co_await sleepFor(300ms);
    EXPECT_EQ(frames.handled, 3);
    co_await stop(*s);
  });
  EXPECT_EQ(frames.last->index, 2u);
  EXPECT_EQ(s->stats().delivered, 3u);
  EXPECT_EQ(s->stats().grabs, 3u);
  EXPECT_EQ(s->stats().dropped, 0u);
}

TEST_F(Streams, FramesComeInOrderNoFasterThanTheMinimumInterval) {
  auto w = x->create({.x = 100, .y = 100, .width = 200, .height = 200, .color = kRed});
  frames.keepAll = true;
  auto s = stream(ContentFilter::forDisplay(display), 640, 360, std::chrono::milliseconds(50), 64);
  runOnMain(main, [&]() -> asio::awaitable<void> {
    co_await start(*s);
    // Repaint every 5 ms for 600 ms: far more changes than frames allowed.
    for (int i = 0; i < 120; ++i) {
      x->fill(w, i % 2 ? kRed : kGreen);
      co_await sleepFor(5ms);
    }
    co_await stop(*s);
  });
  ASSERT_GE(frames.kept.size(), 5u);
  EXPECT_LE(frames.kept.size(), 15u);  // 600 ms at 50 ms, plus the first frame and slack
  for (size_t i = 1; i < frames.kept.size(); ++i) {
    EXPECT_EQ(frames.kept[i]->index, frames.kept[i - 1]->index + 1);
    EXPECT_GE(frames.kept[i]->presentationTime - frames.kept[i - 1]->presentationTime, std::chrono::milliseconds(49));
  }
}

TEST_F(Streams, NoFrameIsHandledAfterStopReports) {
  auto w = x->create({.x = 100, .y = 100, .width = 200, .height = 200, .color = kRed});
  auto s = stream(ContentFilter::forDisplay(display), 1920, 1080, std::chrono::milliseconds(1));
  int handledAtStop = -1;
  runOnMain(main, [&]() -> asio::awaitable<void> {
    co_await start(*s);
    for (int i = 0; i < 40; ++i) {
      x->fill(w, i % 2 ? kRed : kGreen);
      co_await sleepFor(2ms);
    }
    co_await stop(*s);
    handledAtStop = frames.handled;
    for (int i = 0; i < 40; ++i) {
      x->fill(w, i % 2 ? kRed : kGreen);
      co_await sleepFor(5ms);
    }
  });
  EXPECT_GT(handledAtStop, 1);
  EXPECT_EQ(frames.handled, handledAtStop);
  EXPECT_GE(s->stats().delivered, static_cast<uint64_t>(handledAtStop));
}

TEST_F(Streams, HoldsAtMostQueueDepthFramesInFlightAndCountsTheRestAsDropped) {
  auto w = x->create({.x = 100, .y = 100, .width = 200, .height = 200, .color = kRed});
  frames.keepAll = true;  // the consumer releases nothing
  auto s = stream(ContentFilter::forDisplay(display), 640, 360, std::chrono::milliseconds(2), 3);
  runOnMain(main, [&]() -> asio::awaitable<void> {
    co_await start(*s);
    for (int i = 0; i < 60; ++i) {
      x->fill(w, i % 2 ? kRed : kGreen);
      co_await sleepFor(3ms);
    }
    EXPECT_EQ(frames.handled, 3);
    EXPECT_GT(s->stats().dropped, 0u);
    // Released frames make room again.
    frames.kept.clear();
    frames.last.reset();
    x->fill(w, kBlue);
    EXPECT_TRUE(co_await waitUntil([&] { return frames.handled > 3; }));
    co_await stop(*s);
  });
  ASSERT_TRUE(frames.last);
  EXPECT_EQ(rgbAt(frames.image(), 50 + 10, 50 + 10), kBlue);  // (100,100) on 1920x1080 is (33,33) at 640x360
}

TEST_F(Streams, WindowStreamFollowsResizes) {
  auto w = x->create({.x = 100, .y = 100, .width = 640, .height = 360, .color = kGreen});
  auto s = stream(ContentFilter::forWindow({w}), 1920, 1080);
  runOnMain(main, [&]() -> asio::awaitable<void> {
    co_await start(*s);
    EXPECT_TRUE(co_await waitUntil([&] { return frames.handled >= 1; }));
    EXPECT_EQ(rgbAt(frames.image(), 700, 400), kGreen);
    x->moveResize(w, 400, 300, 320, 180);
    EXPECT_TRUE(co_await waitUntil([&] { return frames.last && rgbAt(frames.image(), 700, 400) == kBlack; }));
    co_await stop(*s);
  });
  const auto& img = frames.image();
  EXPECT_EQ(rgbAt(img, 800, 450), kGreen);  // 320x180 centred: 800..1119, 450..629
  EXPECT_EQ(rgbAt(img, 1119, 629), kGreen);
  EXPECT_EQ(rgbAt(img, 799, 450), kBlack);
  EXPECT_EQ(rgbAt(img, 1120, 629), kBlack);
}

TEST_F(Streams, WindowStreamPausesWhileUnmappedAndResumesWhenMappedAgain) {
  auto w = x->create({.x = 100, .y = 100, .width = 320, .height = 180, .color = kGreen});
  auto s = stream(ContentFilter::forWindow({w}), 320, 180);
  runOnMain(main, [&]() -> asio::awaitable<void> {
    co_await start(*s);
    EXPECT_TRUE(co_await waitUntil([&] { return frames.handled >= 1; }));
    x->unmap(w);
    x->fill(w, kBlue);  // drawn while unmapped: nothing to show yet
    co_await sleepFor(200ms);
    EXPECT_EQ(frames.handled, 1);
    // Mapped again the window has new storage, which the stream must find.
    x->map(w);
    EXPECT_TRUE(co_await waitUntil([&] { return frames.handled >= 2; }));
    x->fill(w, kRed);
    EXPECT_TRUE(co_await waitUntil([&] { return frames.last && rgbAt(frames.image(), 160, 90) == kRed; }));
    co_await stop(*s);
  });
  EXPECT_EQ(rgbAt(frames.image(), 0, 0), kRed);
}

TEST_F(Streams, AWindowThatVanishesEndsItsFramesWithOneLogLine) {
  test::CapturedOutput out;
  auto w = x->create({.x = 100, .y = 100, .width = 200, .height = 200, .color = kRed});
  auto s = stream(ContentFilter::forWindow({w}), 200, 200);
  runOnMain(main, [&]() -> asio::awaitable<void> {
    co_await start(*s);
    EXPECT_TRUE(co_await waitUntil([&] { return frames.handled >= 1; }));
    x->destroy(w);
    std::string expected = "[INFO] x11: window " + std::to_string(w) + " is gone; stream ends";
    EXPECT_TRUE(co_await waitUntil([&] {
      auto lines = out.logLines();
      return std::find(lines.begin(), lines.end(), expected) != lines.end();
    })) << ::testing::PrintToString(out.logLines());
    co_await stop(*s);
  });
  EXPECT_EQ(frames.handled, 1);
  EXPECT_EQ(out.logLines().size(), 1u);
}

TEST_F(Streams, StartFailsForTargetsThatAreGone) {
  auto w = x->create({});
  x->destroy(w);
  auto gone = stream(ContentFilter::forWindow({w}), 640, 360);
  Error e = errorFrom([&] { runOnMain(main, [&]() -> asio::awaitable<void> { co_await start(*gone); }); });
  EXPECT_EQ(e.domain(), "Vantor.X11");
  EXPECT_EQ(e.description(), "window " + std::to_string(w) + " is no longer available");

  auto noDisplay = stream(ContentFilter::forDisplay({12345, 640, 360}), 640, 360);
  e = errorFrom([&] { runOnMain(main, [&]() -> asio::awaitable<void> { co_await start(*noDisplay); }); });
  EXPECT_EQ(e.description(), "display 12345 is no longer available");
}

TEST(StreamsOnTwoMonitors, EachMonitorStreamShowsAndWatchesOnlyItsRectangle) {
  std::string why;
  auto server = test::VirtualDisplay::start(VANTOR_VIRTUAL_DISPLAY_SCRIPT, "--size 3840x1080 --monitors 2", &why);
  if (!server) GTEST_SKIP() << "SKIPPED: no private X server (" << why << ")";
  TestWindows x(server->name().c_str());
  x.warpPointer(1910, 1070);
  exec::MainLoop main;
  auto service = platform::makeX11ScreenCapture(main, server->name());
  auto content = queryContent(main, *service);
  ASSERT_EQ(content.displays.size(), 2u);
  auto right = content.displays[0], left = content.displays[1];

  auto onLeft = x.create({.x = 100, .y = 100, .width = 200, .height = 200, .color = kRed});
  auto onRight = x.create({.x = 1920 + 100, .y = 100, .width = 200, .height = 200, .color = kBlue});
  Collector leftFrames, rightFrames;
  StreamConfiguration config;
  config.minimumFrameInterval = std::chrono::milliseconds(5);
  auto leftStream = service->createStream(ContentFilter::forDisplay(left), config);
  auto rightStream = service->createStream(ContentFilter::forDisplay(right), config);
  leftFrames.attach(*leftStream, main);
  rightFrames.attach(*rightStream, main);
  runOnMain(main, [&]() -> asio::awaitable<void> {
    co_await start(*leftStream);
    co_await start(*rightStream);
    EXPECT_TRUE(co_await waitUntil([&] { return leftFrames.handled >= 1 && rightFrames.handled >= 1; }));
    EXPECT_EQ(rgbAt(leftFrames.image(), 150, 150), kRed);
    EXPECT_EQ(rgbAt(rightFrames.image(), 150, 150), kBlue);

    x.fill(onRight, kGreen);
    EXPECT_TRUE(co_await waitUntil([&] { return rightFrames.handled >= 2; }));
    EXPECT_EQ(rgbAt(rightFrames.image(), 150, 150), kGreen);
    co_await sleepFor(200ms);
    EXPECT_EQ(leftFrames.handled, 1) << "a change on the other monitor made a frame";

    x.fill(onLeft, kYellow);
    EXPECT_TRUE(co_await waitUntil([&] { return leftFrames.handled >= 2; }));
    EXPECT_EQ(rgbAt(leftFrames.image(), 150, 150), kYellow);
    co_await stop(*leftStream);
    co_await stop(*rightStream);
  });
}

}  // namespace
}  // namespace vantor::x11test
