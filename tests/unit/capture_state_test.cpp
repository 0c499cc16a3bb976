#include "control/capture_state.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "platform/sim/sim_screen_capture.h"
#include "support/capture_sinks.h"
#include "support/run_coroutine.h"

namespace vantor {
namespace {

using nlohmann::json;
using platform::sim::SimScreenCapture;

json error(const std::string& message) { return {{"type", "error"}, {"message", message}}; }
json status(const std::string& phase) { return {{"type", "status"}, {"phase", phase}}; }

class CaptureStateTest : public ::testing::Test {
 protected:
  CaptureStateTest() { sim.displays = {SimScreenCapture::display(7, 1280, 800)}; }
  ~CaptureStateTest() override { std::filesystem::remove_all(scratch); }

  void start(StartCommand command) { test::runOn(main, state.start(std::move(command))); }
  // Runs a synchronous controller operation on the main loop, where it belongs.
  template <typename F>
  void onMain(F f) {
    test::runOn(main, [&]() -> asio::awaitable<void> {
      f();
      co_return;
    }());
  }

  std::filesystem::path scratch = std::filesystem::temp_directory_path() / ("vantor-state-" + std::to_string(getpid()));
  test::CapturedOutput out;
  exec::MainLoop main;
  SimScreenCapture sim;
  CaptureState state{main, sim};
};

TEST_F(CaptureStateTest, CommandsThatNeedATakeAnswerNotRecording) {
  EXPECT_EQ(test::runOn(main, state.stop()), std::nullopt);
  onMain([&] { state.pause(); });
  onMain([&] { state.resume(); });
  test::runOn(main, state.restart());
  test::runOn(main, state.discard());
  test::runOn(main, state.screenshot());
  EXPECT_EQ(out.events(), (std::vector<json>{error("not recording"), error("not recording"), error("not recording"),
                                             error("not recording"), error("not recording"),
                                             error("screenshot: no active capture target")}));
  EXPECT_TRUE(out.logLines().empty());
}

TEST_F(CaptureStateTest, AStartThatCannotResolveItsTargetSaysWhyAfterStarting) {
  sim.displays.clear();
  start({"", false, (scratch / "a.mp4").string(), ""});
  sim.contentQueryFailure = Error("Vantor.X11", 2, "cannot connect to X server :5");
  start({"main", false, (scratch / "a.mp4").string(), ""});
  EXPECT_EQ(out.events(), (std::vector<json>{status("starting"), error("No displays found"), status("starting"),
                                             error("Failed to resolve capture target: cannot connect to X server :5")}));
  EXPECT_FALSE(state.lastStartCommand());
  EXPECT_FALSE(std::filesystem::exists(scratch));
}

TEST_F(CaptureStateTest, AResolvedStartRemembersItsCommandAndTargetAndMakesTheDirectory) {
  StartCommand command{"window-42", true, (scratch / "deep/er/take.mp4").string(), ""};
  start(command);
  EXPECT_EQ(state.lastStartCommand(), command);
  EXPECT_EQ(state.lastTargetMeta(), (CaptureTargetMeta{CaptureKind::window, "42", "Window 42"}));
  EXPECT_TRUE(std::filesystem::is_directory(scratch / "deep/er"));
  EXPECT_FALSE(state.isRecording());
  auto events = out.events();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0], status("starting"));
  EXPECT_EQ(events[1]["message"].get<std::string>().rfind("recorder.start failed: ", 0), 0u) << events[1];
}

}  // namespace
}  // namespace vantor
