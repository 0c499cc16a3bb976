// Stills: a display or a window at its own size, cursor drawn.

#include "x11_harness.h"

namespace vantor::x11test {
namespace {

using test::TestWindows;

constexpr uint32_t kRed = 0xff0000, kBlue = 0x0000ff, kWhite = 0xffffff;

class Stills : public ::testing::Test {
 protected:
  void SetUp() override {
    VANTOR_REQUIRE_DISPLAY();
    x = std::make_unique<TestWindows>();
    x->warpPointer(x->screenWidth() - 10, 10);
    service = platform::makeX11ScreenCapture(main);
  }
  exec::MainLoop main;
  std::unique_ptr<TestWindows> x;
  std::unique_ptr<ScreenCaptureService> service;
};

TEST_F(Stills, DisplayStillIsTheWholeMonitorAtNativeSize) {
  EXPECT_TRUE(service->hasScreenshotService());
  x->create({.x = 400, .y = 300, .width = 100, .height = 50, .color = kRed});
  auto display = queryContent(main, *service).displays.at(0);
  auto image = captureStill(main, *service, ContentFilter::forDisplay(display));
  ASSERT_TRUE(image);
  EXPECT_EQ(image->width, x->screenWidth());
  EXPECT_EQ(image->height, x->screenHeight());
  EXPECT_GE(image->stride, image->width * 4);
  EXPECT_EQ(rgbAt(*image, 400, 300), kRed);
  EXPECT_EQ(rgbAt(*image, 499, 349), kRed);
  EXPECT_NE(rgbAt(*image, 500, 349), kRed);
}

TEST_F(Stills, WindowStillIsItsInsideOnlyAtNativeSize) {
  // A checkerboard tells whether the image is shifted; the border must not show.
  auto w = x->create({.x = 200, .y = 200, .width = 64, .height = 48, .borderWidth = 5, .borderColor = 0xff00ff,
                      .color = kWhite, .checkerColor = kBlue, .checkerSize = 8});
  auto image = captureStill(main, *service, ContentFilter::forWindow({w}));
  ASSERT_TRUE(image);
  ASSERT_EQ(image->width, 64);
  ASSERT_EQ(image->height, 48);
  for (int y = 0; y < 48; ++y) {
    for (int x0 = 0; x0 < 64; ++x0) {
      bool second = ((x0 / 8) + (y / 8)) % 2 == 1;
      ASSERT_EQ(rgbAt(*image, x0, y), second ? kBlue : kWhite) << x0 << "," << y;
    }
  }
}

TEST_F(Stills, DrawTheCursorOnlyWhenItIsInside) {
  auto w = x->create({.x = 300, .y = 300, .width = 100, .height = 100, .color = kRed});
  auto countOther = [](const PixelBuffer& img) {
    int n = 0;
    for (int y = 0; y < img.height; ++y)
      for (int x0 = 0; x0 < img.width; ++x0) n += rgbAt(img, x0, y) != kRed;
    return n;
  };
  auto outside = captureStill(main, *service, ContentFilter::forWindow({w}));
  EXPECT_EQ(countOther(*outside), 0);

  x->warpPointer(350, 350);
  auto inside = captureStill(main, *service, ContentFilter::forWindow({w}));
  EXPECT_GT(countOther(*inside), 20);  // the server's cursor image, around the hotspot at (50, 50)
  int near = 0;
  for (int y = 35; y < 65; ++y)
    for (int x0 = 35; x0 < 65; ++x0) near += rgbAt(*inside, x0, y) != kRed;
  EXPECT_EQ(near, countOther(*inside));
}

TEST_F(Stills, FailClearlyForTargetsThatAreGone) {
  auto w = x->create({});
  x->destroy(w);
  Error e = errorFrom([&] { captureStill(main, *service, ContentFilter::forWindow({w})); });
  EXPECT_EQ(e.domain(), "Vantor.X11");
  EXPECT_EQ(e.description(), "window " + std::to_string(w) + " is no longer available");

  auto hidden = x->create({.mapped = false});
  e = errorFrom([&] { captureStill(main, *service, ContentFilter::forWindow({hidden})); });
  EXPECT_EQ(e.description(), "window " + std::to_string(hidden) + " is not on screen");

  e = errorFrom([&] { captureStill(main, *service, ContentFilter::forDisplay({12345, 10, 10})); });
  EXPECT_EQ(e.description(), "display 12345 is no longer available");

  // The service's connection survives the failures.
  auto display = queryContent(main, *service).displays.at(0);
  EXPECT_TRUE(captureStill(main, *service, ContentFilter::forDisplay(display)));
}

}  // namespace
}  // namespace vantor::x11test
