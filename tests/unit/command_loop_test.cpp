#include "app/command_loop.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <asio/co_spawn.hpp>
#include <filesystem>
#include <thread>

#include "support/sim_platform.h"
#include "support/capture_sinks.h"
#include "support/controller_fixture.h"

namespace vantor::app {
namespace {

using nlohmann::json;

class CommandLoopTest : public ::testing::Test {
 protected:
  // Feeds `lines` from another thread, as the reader does, and runs the loop to the end.
  void run(std::vector<std::string> lines) {
    LineQueue queue;
    std::thread producer([&] {
      for (auto& l : lines) queue.push(l);
      queue.close();
    });
    bool finished = false;
    CommandLoop loop(queue, state);
    asio::co_spawn(main.context(), loop.run(), [&](std::exception_ptr e) {
      finished = !e;
    });
    main.run();
    producer.join();
    ASSERT_TRUE(finished);
  }

  test::CapturedOutput out;
  exec::MainLoop main;
  test::SimPlatform sim;
  app::EventLines events;
  CaptureState state{main, sim.platform(), events};
};

TEST_F(CommandLoopTest, AnswersEachCommandInOrderAndEndsWithTheExitLog) {
  run({R"({"type":"stop"})", R"({"type":"screenshot"})", R"({"type":"pause","extra":1})",
       R"({"type":"start"})", R"({"type":"resume"})", R"({"type":"restart"})", R"({"type":"discard"})"});
  EXPECT_EQ(out.events(), (std::vector<json>{
                              {{"type", "error"}, {"message", "not recording"}},
                              {{"type", "error"}, {"message", "screenshot: no active capture target"}},
                              {{"type", "error"}, {"message", "not recording"}},
                              {{"type", "error"}, {"message", "malformed start command"}},
                              {{"type", "error"}, {"message", "not recording"}},
                              {{"type", "error"}, {"message", "not recording"}},
                              {{"type", "error"}, {"message", "not recording"}}}));
  EXPECT_EQ(out.logLines(), std::vector<std::string>{"[INFO] vantor: stdin closed, exiting"});
}

TEST_F(CommandLoopTest, ReportsUndecodableLinesAndUnknownTypesOnlyInTheLog) {
  run({"not json", R"({"kind":"stop"})", R"({"type":"Stop"})", R"({"type":"\/x \u00e9"})", "[]"});
  EXPECT_TRUE(out.eventLines().empty());
  EXPECT_EQ(out.logLines(), (std::vector<std::string>{
                                "[ERROR] vantor: malformed JSON: not json",
                                R"([ERROR] vantor: malformed JSON: {"kind":"stop"})",
                                "[INFO] vantor: unknown command type 'Stop'",
                                "[INFO] vantor: unknown command type '/x \xC3\xA9'",
                                "[ERROR] vantor: malformed JSON: []",
                                "[INFO] vantor: stdin closed, exiting"}));
}

TEST_F(CommandLoopTest, EndsAtOnceWhenInputIsAlreadyClosed) {
  run({});
  EXPECT_TRUE(out.eventLines().empty());
  EXPECT_EQ(out.logLines(), std::vector<std::string>{"[INFO] vantor: stdin closed, exiting"});
}

// What a signal to end does: an idle loop ends at once and quietly; a busy
// one lets the command in hand finish, stops the take it left running as
// "stop" does, and runs none of the lines queued behind it.
TEST_F(CommandLoopTest, FinishWaitsForTheCommandInHandThenStopsTheTakeAndRunsNothingElse) {
  {
    LineQueue idle;
    CommandLoop loop(idle, state);
    bool ended = false;
    asio::co_spawn(main.context(), loop.run(), [&](std::exception_ptr e) { ended = !e; });
    main.post([&] { loop.finish(); });
    main.runUntil([&] { return ended; });
    EXPECT_TRUE(out.eventLines().empty());
    EXPECT_TRUE(out.logLines().empty());
  }

  auto dir = std::filesystem::temp_directory_path() / ("vantor-finish-" + std::to_string(getpid()));
  std::string video = (dir / "take.mp4").string();
  LineQueue queue;
  queue.push(json{{"type", "start"}, {"target", ""}, {"includeMic", false}, {"outputPath", video}, {"mode", ""}}.dump());
  queue.push(R"({"type":"screenshot"})");
  queue.push(R"({"type":"stop"})");
  CommandLoop loop(queue, state);
  bool ended = false;
  asio::co_spawn(main.context(), loop.run(), [&](std::exception_ptr e) { ended = !e; });
  std::vector<json> whenFinishCame;
  main.post([&] {
    whenFinishCame = out.events();
    loop.finish();
  });
  main.runUntil([&] { return ended; });
  std::filesystem::remove_all(dir);

  EXPECT_EQ(whenFinishCame, std::vector<json>{test::statusEvent("starting")}) << "finish did not come mid-start";
  EXPECT_EQ(out.events(), (std::vector<json>{test::statusEvent("starting"), test::statusEvent("recording"),
                                             test::statusEvent("stopping"), {{"type", "finished"}, {"videoPath", video}}}));
  EXPECT_FALSE(state.isRecording());
}

}  // namespace
}  // namespace vantor::app
