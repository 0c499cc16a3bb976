// Screenshots on the simulated platform, with and without the still path:
// which image answers, its size, the event's form; and the JPEG and Base64
// pieces on their own.

#include <gtest/gtest.h>

#include "platform/jpeg.h"
#include "support/controller_fixture.h"
#include "support/screenshot_probe.h"
#include "util/base64.h"

namespace vantor {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using platform::sim::SimScreenCapture;
using test::errorEvent;

class ScreenshotTest : public test::ControllerFixture {
 protected:
  // A display whose native size is not the stream's, so the answer shows
  // which path it came from.
  ScreenshotTest() : ControllerFixture("screenshot") {
    sim.capture.displays = {SimScreenCapture::display(7, 1280, 720)};
    sim.capture.windows = {SimScreenCapture::window(42, "Notes", "Editor")};
  }

  void start(CaptureState& s, std::string target = "") {
    test::runOn(main, s.start({std::move(target), false, (scratch / "take.mp4").string(), ""}));
  }
  // The decoded image of the one screenshot event since the last clear, or
  // nothing (with the event seen) when the answer was an error.
  std::optional<test::DecodedJpeg> screenshot(CaptureState& s) {
    out.clear();
    test::runOn(main, s.screenshot());
    auto events = out.events();
    // The take's own ticks may fall in between on a slow run.
    std::erase_if(events, [](const json& e) { return e["type"] == "elapsed"; });
    EXPECT_EQ(events.size(), 1u);
    if (events.size() != 1 || events[0]["type"] != "screenshotData") return std::nullopt;
    lastEvent = events[0];
    EXPECT_EQ(lastEvent.size(), 3u);
    auto bytes = test::base64Decode(lastEvent["imageBase64"].get<std::string>());
    EXPECT_TRUE(bytes && bytes->size() > 2 && (*bytes)[0] == 0xFF && (*bytes)[1] == 0xD8);
    return bytes ? test::decodeJpeg(*bytes) : std::nullopt;
  }
  void emitFrames(int n) {
    for (int i = 0; i < n; ++i) sim.capture.lastStream()->emitFrame();
    wait(20ms);
  }

  json lastEvent;
};

TEST_F(ScreenshotTest, TheStillPathAnswersWithAFreshImageAtTheTargetsOwnSize) {
  start(state);
  auto image = screenshot(state);
  ASSERT_TRUE(image);
  EXPECT_EQ(image->width, 1280);
  EXPECT_EQ(image->height, 720);
  EXPECT_EQ(sim.capture.stillsTaken, 1);
  EXPECT_TRUE(lastEvent["timestamp"].is_number());
  EXPECT_LT(lastEvent["timestamp"].get<double>(), 0.5);
  // Also after the take has stopped, for as long as the target is known.
  stop();
  image = screenshot(state);
  ASSERT_TRUE(image);
  EXPECT_EQ(image->width, 1280);
}

TEST_F(ScreenshotTest, WhenTheStillCannotBeHadTheLatestFrameAnswers) {
  start(state, "window-42");
  // Before any frame there is nothing to fall back on.
  sim.capture.screenshotFailure = Error("Vantor.X11", 4, "BadMatch");
  EXPECT_FALSE(screenshot(state));
  EXPECT_EQ(eventsOfType("error"), std::vector<json>{errorEvent("screenshot: failed to capture JPEG")});
  for (auto& line : out.logLines()) EXPECT_EQ(line.find("screenshot"), line.npos) << line;

  emitFrames(3);
  auto image = screenshot(state);  // the still failed: the stream's frame, at the stream's size
  ASSERT_TRUE(image);
  EXPECT_EQ(image->width, 1920);
  EXPECT_EQ(image->height, 1080);

  sim.capture.screenshotFailure.reset();
  image = screenshot(state);
  ASSERT_TRUE(image);
  EXPECT_EQ(image->width, 640);  // the window's own size

  sim.capture.windows.clear();  // the window closed: its last frame answers
  image = screenshot(state);
  ASSERT_TRUE(image);
  EXPECT_EQ(image->width, 1920);
}

TEST_F(ScreenshotTest, WithoutTheStillPathOnlyFramesAnswerAlsoAfterTheStop) {
  sim.capabilities.screenshotService = false;
  CaptureState framesOnly{main, sim.platform(), events};
  start(framesOnly);
  EXPECT_FALSE(screenshot(framesOnly));
  EXPECT_EQ(eventsOfType("error"), std::vector<json>{errorEvent("screenshot: failed to capture JPEG")});
  emitFrames(2);
  test::runOn(main, framesOnly.stop());
  auto image = screenshot(framesOnly);
  ASSERT_TRUE(image);
  EXPECT_EQ(image->width, 1920);
  EXPECT_EQ(image->height, 1080);
  EXPECT_EQ(sim.capture.stillsTaken, 0);
}

TEST_F(ScreenshotTest, TwoScreenshotsDuringOnePauseCarryTheSameTime) {
  start(state);
  wait(50ms);
  onMain([&] { state.pause(); });
  ASSERT_TRUE(screenshot(state));
  double first = lastEvent["timestamp"];
  wait(30ms);
  ASSERT_TRUE(screenshot(state));
  EXPECT_EQ(lastEvent["timestamp"].get<double>(), first);
  EXPECT_GT(first, 0.04);
}

TEST(Base64, EncodesTheStandardTestVectors) {
  auto encode = [](std::string_view s) {
    return base64Encode({reinterpret_cast<const uint8_t*>(s.data()), s.size()});
  };
  EXPECT_EQ(encode(""), "");
  EXPECT_EQ(encode("f"), "Zg==");
  EXPECT_EQ(encode("fo"), "Zm8=");
  EXPECT_EQ(encode("foo"), "Zm9v");
  EXPECT_EQ(encode("foob"), "Zm9vYg==");
  EXPECT_EQ(encode("fooba"), "Zm9vYmE=");
  EXPECT_EQ(encode("foobar"), "Zm9vYmFy");
  std::vector<uint8_t> all(256);
  for (int i = 0; i < 256; ++i) all[i] = uint8_t(i);
  EXPECT_EQ(test::base64Decode(base64Encode(all)), all);
  EXPECT_EQ(base64Encode(std::vector<uint8_t>{0xFB, 0xFF}), "+/8=");
}

TEST(JpegEncoder, KeepsSizeAndColoursAndRefusesAnEmptyImage) {
  // Four quadrants of different colours, with garbage in the padding byte.
  auto image = platform::makeImage(64, 48);
  const uint8_t colours[4][3] = {{0, 0, 255}, {0, 255, 0}, {255, 0, 0}, {200, 200, 200}};
  for (int y = 0; y < 48; ++y)
    for (int x = 0; x < 64; ++x) {
      uint8_t* p = image->row(y) + x * 4;
      const uint8_t* c = colours[(y >= 24) * 2 + (x >= 32)];
      p[0] = c[0], p[1] = c[1], p[2] = c[2], p[3] = uint8_t(x * 7);
    }
  auto bytes = encodeJpeg(*image);
  ASSERT_TRUE(bytes);
  auto decoded = test::decodeJpeg(*bytes);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->width, 64);
  EXPECT_EQ(decoded->height, 48);
  for (int q = 0; q < 4; ++q) {
    auto m = decoded->mean(q % 2 * 32 + 8, q / 2 * 24 + 8, 16, 8);
    EXPECT_NEAR(m.b, colours[q][0], 12) << q;
    EXPECT_NEAR(m.g, colours[q][1], 12) << q;
    EXPECT_NEAR(m.r, colours[q][2], 12) << q;
  }
  EXPECT_FALSE(encodeJpeg(platform::PixelBuffer{}));
}

}  // namespace
}  // namespace vantor
