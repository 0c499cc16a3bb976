// Targets: what a "target" names, the content filters found for it, and the
// listing document of list-targets.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "platform/sim/sim_screen_capture.h"
#include "support/run_coroutine.h"
#include "targets/capture_catalog.h"
#include "targets/listing.h"

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

TEST_F(CatalogTest, TargetsNameTheMainDisplayOrParseWithoutAskingThePlatform) {
  const std::tuple<const char*, const char*, CaptureTargetMeta> cases[] = {
      {"display-3", "window", {CaptureKind::display, "3", "Display 3"}},
      {"window-42", "window", {CaptureKind::window, "42", "Window 42"}},
      {"display-", "", {CaptureKind::display, "", "Display "}},
      {"window-abc", "", {CaptureKind::window, "abc", "Window abc"}},
      {"Main", "", {CaptureKind::display, "Main", "Display Main"}},
      {"7", "", {CaptureKind::display, "7", "Display 7"}},
  };
  for (auto& [target, mode, meta] : cases) EXPECT_EQ(resolve(target, mode), meta) << target;
  EXPECT_EQ(sim.contentQueries.load(), 0);
  // The main display is the first listed, whatever "target" says in a display mode.
  for (auto [target, mode] : {std::pair{"", ""}, {"main", ""}, {"window-42", "screen"}, {"display-3", "display"}})
    EXPECT_EQ(resolve(target, mode), (CaptureTargetMeta{CaptureKind::display, "1", "Display (1512\u00d7982)"})) << target;
  // No display, or none readable: the controller table (NoDisplaysOrNoneReadable).
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
}

platform::Window window(uint32_t id, std::optional<std::string> title, std::optional<std::string> app, int layer = 0) {
  return SimScreenCapture::window(id, std::move(title), std::move(app), layer).window;
}

TEST(ListingDocument, NumbersDisplaysInOrderAndKeepsNormalWindowsWithTitleAndApplication) {
  EXPECT_EQ(listingDocument({{{5, 1512, 982}}, {window(77, "a/b", "TextEdit")}}),
            R"j({"displays":[{"id":"display-5","label":"Display 1 (1512×982)"}],)j"
            R"j("windows":[{"id":"window-77","label":"TextEdit — a\/b"}]})j");
  EXPECT_EQ(listingDocument({}), R"({"displays":[],"windows":[]})");
  platform::ShareableContent content{{{9, 800, 600}, {2, 1024, 768}, {4294967295u, 1, 1}},
                                     {window(1, std::nullopt, "app"), window(2, "", "app"), window(3, "t", std::nullopt),
                                      window(4, "t", "app", 3), window(5, " ", "app"), window(6, "a", ""),
                                      window(7, "Ünïcode \"q\"", "Prog")}};
  auto doc = nlohmann::json::parse(listingDocument(content));
  EXPECT_EQ(doc["displays"], nlohmann::json::parse(R"j([
      {"id":"display-9","label":"Display 1 (800×600)"},
      {"id":"display-2","label":"Display 2 (1024×768)"},
      {"id":"display-4294967295","label":"Display 3 (1×1)"}])j"));
  EXPECT_EQ(doc["windows"], nlohmann::json::parse(R"j([
      {"id":"window-5","label":"app —  "},
      {"id":"window-6","label":" — a"},
      {"id":"window-7","label":"Prog — Ünïcode \"q\""}])j"));
}

}  // namespace
}  // namespace vantor
