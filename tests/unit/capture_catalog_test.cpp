#include "targets/capture_catalog.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "platform/sim/sim_screen_capture.h"
#include "support/run_coroutine.h"

namespace vantor {
namespace {

using platform::ContentFilter;
using platform::sim::SimScreenCapture;

class CatalogTest : public ::testing::Test {
 protected:
  CatalogTest() {
    sim.displays = {SimScreenCapture::display(1, 1512, 982), SimScreenCapture::display(3, 1920, 1080)};
    sim.windows = {SimScreenCapture::window(42, "Editor", "code"),
                   SimScreenCapture::window(43, "Menu", "code", /*layer=*/8),
                   SimScreenCapture::window(44, "Hidden", "code", 0, /*onScreen=*/false)};
  }

  std::optional<CaptureTargetMeta> resolve(std::string_view target, std::string_view mode) {
    return test::runOn(main, resolveTarget(sim, target, mode));
  }
  std::optional<ContentFilter> filterFor(CaptureKind kind, std::string id) {
    return test::runOn(main, CaptureCatalog::filter(sim, {kind, std::move(id), "x"}));
  }

  exec::MainLoop main;
  SimScreenCapture sim;
};

TEST_F(CatalogTest, TheMainDisplayIsTheFirstListedWithItsSizeInTheLabel) {
  for (auto [target, mode] : {std::pair{"", ""}, {"main", ""}, {"window-42", "screen"}, {"display-3", "display"}}) {
    EXPECT_EQ(resolve(target, mode), (CaptureTargetMeta{CaptureKind::display, "1", "Display (1512\u00d7982)"}))
        << target << " / " << mode;
  }
  sim.displays.clear();
  EXPECT_EQ(resolve("", ""), std::nullopt);
}

TEST_F(CatalogTest, OtherTargetsParseWithoutAskingThePlatform) {
  struct Case {
    const char* target;
    CaptureTargetMeta expected;
  };
  for (const Case& c : std::initializer_list<Case>{
           {"display-3", {CaptureKind::display, "3", "Display 3"}},
           {"window-42", {CaptureKind::window, "42", "Window 42"}},
           {"display-", {CaptureKind::display, "", "Display "}},
           {"window-abc", {CaptureKind::window, "abc", "Window abc"}},
           {"Main", {CaptureKind::display, "Main", "Display Main"}},
           {"display", {CaptureKind::display, "display", "Display display"}},
           {"7", {CaptureKind::display, "7", "Display 7"}},
       }) {
    EXPECT_EQ(resolve(c.target, "window"), c.expected) << c.target;
  }
  EXPECT_EQ(sim.contentQueries.load(), 0);
}

TEST_F(CatalogTest, AFailedQueryForTheMainDisplayPassesThePlatformErrorOnUnchanged) {
  sim.contentQueryFailure = Error("Vantor.X11", 3, "cannot connect to X server :9");
  try {
    resolve("", "");
    FAIL() << "expected the platform's error";
  } catch (const Error& e) {
    EXPECT_EQ(e.domain(), "Vantor.X11");
    EXPECT_EQ(e.code(), 3);
    EXPECT_EQ(e.description(), "cannot connect to X server :9");
  }
  EXPECT_EQ(resolve("display-1", ""), (CaptureTargetMeta{CaptureKind::display, "1", "Display 1"}));
}

TEST_F(CatalogTest, FiltersMatchIdsAsExactDecimalTextAndOnlyOnScreenNormalWindows) {
  auto display = filterFor(CaptureKind::display, "3");
  ASSERT_TRUE(display);
  EXPECT_EQ(display->kind, ContentFilter::Kind::display);
  EXPECT_EQ(display->display.displayID, 3u);
  for (const char* id : {"03", " 3", "3 ", "display", ""}) EXPECT_FALSE(filterFor(CaptureKind::display, id)) << id;

  auto window = filterFor(CaptureKind::window, "42");
  ASSERT_TRUE(window);
  EXPECT_EQ(window->kind, ContentFilter::Kind::window);
  EXPECT_EQ(window->window.windowID, 42u);
  for (const char* id : {"43" /* a menu */, "44" /* off screen */, "abc"})
    EXPECT_FALSE(filterFor(CaptureKind::window, id)) << id;

  sim.displays.clear();
  EXPECT_FALSE(filterFor(CaptureKind::display, "1"));
}

TEST(CaptureTargetMetaForm, RoundTripsAndRejectsUnknownKinds) {
  CaptureTargetMeta meta{CaptureKind::window, "42", "Window 42"};
  EXPECT_EQ(toKeyedForm(meta).dump(), R"({"kind":"window","identifier":"42","label":"Window 42"})");
  EXPECT_EQ(fromKeyedForm(nlohmann::json::parse(toKeyedForm(meta).dump())), meta);
  EXPECT_FALSE(fromKeyedForm(nlohmann::json::parse(R"({"kind":"screen","identifier":"1","label":"x"})")));
  EXPECT_FALSE(fromKeyedForm(nlohmann::json::parse(R"({"kind":"Display","identifier":"1","label":"x"})")));
  EXPECT_FALSE(fromKeyedForm(nlohmann::json::parse(R"({"kind":"display","identifier":"1"})")));
  EXPECT_FALSE(fromKeyedForm(nlohmann::json::parse(R"({"kind":"display","identifier":1,"label":"x"})")));
}

}  // namespace
}  // namespace vantor
