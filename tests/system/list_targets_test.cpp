// `vantor list-targets` end to end: the mode, its one line of output and its
// exit status. Which windows are listed, and how, is tested against the X11
// backend in tests/x11 and on the document in tests/unit.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "support/child_process.h"
#include "support/x11_test_windows.h"

namespace vantor::test {
namespace {

using nlohmann::json;

ProcessResult listTargets(const std::string& display) {
  setenv("DISPLAY", display.c_str(), 1);
  return ChildProcess({VANTOR_BINARY, "list-targets"}).finish();
}

TEST(ListTargets, PrintsOneCompactLineWithTheDisplayAndTheWindowsFrontMostFirst) {
  std::string why;
  auto server = VirtualDisplay::start(VANTOR_SOURCE_DIR "/scripts/virtual-display.sh", "", &why);
  if (!server) GTEST_SKIP() << "SKIPPED: cannot start a virtual X server (" << why << ")";
  TestWindows windows(server->name().c_str());
  uint32_t back = windows.create({.x = 10, .y = 10, .netWmName = "notes/today.txt", .wmClass = "Gedit"});
  uint32_t front = windows.create({.x = 40, .y = 40, .wmName = "plain title", .wmClass = "XTerm"});
  windows.create({.x = 70, .y = 70, .netWmName = "tip", .wmClass = "Tip", .windowType = "_NET_WM_WINDOW_TYPE_TOOLTIP"});
  ProcessResult r = listTargets(server->name());
  ASSERT_TRUE(r.exitedWith(0)) << r.describeEnd() << r.err;
  EXPECT_EQ(r.err, "");
  ASSERT_FALSE(r.out.empty());
  EXPECT_EQ(r.out.find('\n'), r.out.size() - 1) << r.out;
  EXPECT_NE(r.out.find(R"(Gedit — notes\/today.txt)"), std::string::npos) << r.out;
  json listing = json::parse(r.out, nullptr, false);
  ASSERT_TRUE(listing.is_object()) << r.out;
  // Compact, with its one slash escaped, and a newline last.
  EXPECT_EQ(r.out.size(), listing.dump().size() + 2) << r.out;
  ASSERT_EQ(listing["displays"].size(), 1u) << r.out;
  EXPECT_EQ(listing["displays"][0]["label"], "Display 1 (1920×1080)");
  EXPECT_TRUE(listing["displays"][0].value("id", "").starts_with("display-")) << r.out;
  EXPECT_EQ(listing["windows"], (json{{{"id", "window-" + std::to_string(front)}, {"label", "XTerm — plain title"}},
                                      {{"id", "window-" + std::to_string(back)}, {"label", "Gedit — notes/today.txt"}}}));
}

TEST(ListTargets, WithoutAReachableServerExitsWithStatusOneAndOneLine) {
  for (const char* display : {":999", ""}) {
    ProcessResult r = listTargets(display);
    EXPECT_TRUE(r.exitedWith(1)) << display << ": " << r.describeEnd();
    EXPECT_EQ(r.out, "") << display;
    EXPECT_TRUE(r.err.starts_with("list-targets: SCShareableContent failed: ")) << r.err;
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
  }
}

}  // namespace
}  // namespace vantor::test
