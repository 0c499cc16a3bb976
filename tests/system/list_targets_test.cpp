// `vantor list-targets` end to end: the real binary against private Xvfb
// servers with real client windows.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "support/agent_process.h"
#include "support/x11_test_windows.h"

namespace vantor {
namespace {

using nlohmann::json;
using vantor::testing::AgentProcess;
using vantor::testing::ProcessResult;

struct Listing {
  ProcessResult result;
  json document;
};

Listing listTargets(const std::string& display) {
  setenv("DISPLAY", display.c_str(), 1);
  AgentProcess agent({"list-targets"});
  agent.closeStdin();
  Listing listing{agent.finish(), {}};
  if (!listing.result.out.empty()) listing.document = json::parse(listing.result.out, nullptr, false);
  return listing;
}

std::vector<std::string> labels(const json& entries) {
  std::vector<std::string> out;
  for (const json& e : entries) out.push_back(e.at("label").get<std::string>());
  return out;
}

std::string ownProcessName() {
  std::ifstream comm("/proc/self/comm");
  std::string name;
  std::getline(comm, name);
  return name;
}

class ListTargets : public ::testing::Test {
 protected:
  void startDisplay(const std::string& options) {
    std::string why;
    server = test::VirtualDisplay::start(VANTOR_SOURCE_DIR "/scripts/virtual-display.sh", options, &why);
    if (!server) GTEST_SKIP() << "SKIPPED: cannot start a virtual X server (" << why << ")";
    windows = std::make_unique<test::TestWindows>(server->name().c_str());
  }

  // The windows every scenario shows, bottom to top; returns their ids in that order.
  std::vector<uint32_t> createScene() {
    std::vector<uint32_t> ids;
    ids.push_back(windows->create({.x = 10, .y = 10, .netWmName = "notes/today.txt", .wmClass = "Gedit"}));
    ids.push_back(windows->create({.x = 40, .y = 40, .wmName = "plain title", .wmClass = "XTerm"}));
    ids.push_back(windows->create({.x = 70, .y = 70, .netWmName = " ", .wmClass = "Blank"}));
    ids.push_back(windows->create({.x = 100, .y = 100, .netWmName = "by pid", .pid = uint32_t(getpid())}));
    // Left out: no title, an empty title, override-redirect, a tooltip, an unmapped window.
    windows->create({.x = 130, .y = 130, .wmClass = "NoTitle"});
    windows->create({.x = 160, .y = 160, .netWmName = "", .wmClass = "Empty"});
    windows->create({.x = 190, .y = 190, .netWmName = "popup", .wmClass = "Menu", .overrideRedirect = true});
    windows->create({.x = 220, .y = 220, .netWmName = "tip", .wmClass = "Tip",
                     .windowType = "_NET_WM_WINDOW_TYPE_TOOLTIP"});
    windows->create({.x = 250, .y = 250, .netWmName = "hidden", .wmClass = "Hidden", .mapped = false});
    windows->sync();
    return ids;
  }

  void expectScene(const Listing& listing, const std::vector<uint32_t>& ids) {
    ASSERT_EQ(listing.result.exitCode, 0) << listing.result.describeEnd() << listing.result.err;
    EXPECT_EQ(listing.result.err, "");
    // One line of compact JSON, newline last, slashes escaped.
    const std::string& out = listing.result.out;
    ASSERT_FALSE(out.empty());
    EXPECT_EQ(out.back(), '\n');
    EXPECT_EQ(out.find('\n'), out.size() - 1);
    EXPECT_NE(out.find(R"(Gedit — notes\/today.txt)"), std::string::npos) << out;
    EXPECT_EQ(out.rfind(R"({"displays":[{"id":"display-)", 0), 0u) << out;

    ASSERT_TRUE(listing.document.is_object()) << out;
    EXPECT_EQ(labels(listing.document["windows"]),
              (std::vector<std::string>{ownProcessName() + " — by pid", "Blank —  ", "XTerm — plain title",
                                        "Gedit — notes/today.txt"}));
    std::vector<std::string> expectedIds;
    for (auto it = ids.rbegin(); it != ids.rend(); ++it) expectedIds.push_back("window-" + std::to_string(*it));
    std::vector<std::string> gotIds;
    for (const json& w : listing.document["windows"]) gotIds.push_back(w.at("id").get<std::string>());
    EXPECT_EQ(gotIds, expectedIds);
  }

  std::unique_ptr<test::VirtualDisplay> server;
  std::unique_ptr<test::TestWindows> windows;
};

TEST_F(ListTargets, ListsTheScreenAndTheNormalWindowsFrontMostFirstWithoutAWindowManager) {
  startDisplay("");
  if (!server) return;
  auto ids = createScene();
  Listing listing = listTargets(server->name());
  expectScene(listing, ids);
  ASSERT_EQ(listing.document["displays"].size(), 1u);
  EXPECT_EQ(listing.document["displays"][0]["label"], "Display 1 (1920×1080)");
}

TEST_F(ListTargets, FindsTheClientWindowsInsideAWindowManagersFrames) {
  startDisplay("--wm");
  if (!server) return;
  auto ids = createScene();
  expectScene(listTargets(server->name()), ids);
}

TEST_F(ListTargets, ListsEachMonitorWithThePrimaryFirstAndKeepsTheirIds) {
  startDisplay("--size 3840x1080 --monitors 2");
  if (!server) return;
  Listing first = listTargets(server->name());
  ASSERT_EQ(first.result.exitCode, 0) << first.result.err;
  const json& displays = first.document["displays"];
  ASSERT_EQ(displays.size(), 2u) << first.result.out;
  EXPECT_EQ(labels(displays), (std::vector<std::string>{"Display 1 (1920×1080)", "Display 2 (1920×1080)"}));
  EXPECT_NE(displays[0]["id"], displays[1]["id"]);
  EXPECT_EQ(first.document["windows"], json::array());
  Listing again = listTargets(server->name());
  EXPECT_EQ(again.document["displays"], displays);
}

TEST(ListTargetsFailure, NoReachableServerExitsWithStatusOneAndAPlainMessage) {
  for (const char* display : {":999", ""}) {
    Listing listing = listTargets(display);
    EXPECT_EQ(listing.result.exitCode, 1) << display << ": " << listing.result.describeEnd();
    EXPECT_EQ(listing.result.out, "") << display;
    EXPECT_EQ(listing.result.err.rfind("list-targets: SCShareableContent failed: ", 0), 0u) << listing.result.err;
    EXPECT_EQ(listing.result.err.back(), '\n');
    EXPECT_EQ(listing.result.err.find('\n'), listing.result.err.size() - 1) << listing.result.err;
  }
}

}  // namespace
}  // namespace vantor
