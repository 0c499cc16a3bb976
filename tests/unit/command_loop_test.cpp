#include "app/command_loop.h"

#include <gtest/gtest.h>

#include <asio/co_spawn.hpp>
#include <thread>

#include "support/sim_platform.h"
#include "support/capture_sinks.h"

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
    asio::co_spawn(main.context(), runCommandLoop(queue, state), [&](std::exception_ptr e) {
      finished = !e;
    });
    main.run();
    producer.join();
    ASSERT_TRUE(finished);
  }

  test::CapturedOutput out;
  exec::MainLoop main;
  test::SimPlatform sim;
  CaptureState state{main, sim.platform()};
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

}  // namespace
}  // namespace vantor::app
