// The command loop: lines in order, what is not a command only in the log,
// and how it ends (what each command answers: component/controller_test).

#include "app/command_loop.h"

#include <gtest/gtest.h>

#include <asio/co_spawn.hpp>
#include <thread>

#include "support/controller_fixture.h"

namespace vantor::app {
namespace {

using nlohmann::json;

class CommandLoopTest : public test::ControllerFixture {
 protected:
  // Runs the loop over `queue` until it ends, calling finish() once `finishWhen` answers true.
  void run(LineQueue& queue, std::function<bool()> finishWhen = [] { return false; }) {
    CommandLoop loop(queue, *state);
    bool ended = false, finished = false;
    asio::co_spawn(main.context(), loop.run(), [&](std::exception_ptr e) { ended = !e; });
    main.runUntil([&] {
      if (!finished && finishWhen()) finished = true, loop.finish();
      return ended;
    });
  }
};

TEST_F(CommandLoopTest, HandlesLinesInOrderLogsWhatIsNotACommandAndEndsWithTheExitLine) {
  LineQueue queue;
  std::thread producer([&] {
    for (const char* l : {"not json", R"({"type":"stop"})", R"({"kind":"stop"})", R"({"type":"Stop"})",
                          R"({"type":"\/x \u00e9"})", "[]", R"({"type":"screenshot"})"})
      queue.push(l);
    queue.close();
  });
  run(queue);
  producer.join();
  EXPECT_EQ(told(), (std::vector<json>{test::errorEvent("not recording"),
                                       test::errorEvent("screenshot: no active capture target")}));
  EXPECT_EQ(out.logLines(), (std::vector<std::string>{"[ERROR] vantor: malformed JSON: not json",
                                                      R"([ERROR] vantor: malformed JSON: {"kind":"stop"})",
                                                      "[INFO] vantor: unknown command type 'Stop'",
                                                      "[INFO] vantor: unknown command type '/x \xC3\xA9'",
                                                      "[ERROR] vantor: malformed JSON: []",
                                                      "[INFO] vantor: stdin closed, exiting"}));
}

// A signal to end: an idle loop ends at once and quietly; a busy one lets
// the command in hand finish, stops the take it left running as "stop"
// does, and runs none of the lines queued behind it.
TEST_F(CommandLoopTest, FinishWaitsForTheCommandInHandThenStopsTheTakeAndRunsNothingElse) {
  LineQueue idle;
  run(idle, [] { return true; });
  EXPECT_TRUE(out.eventLines().empty());
  EXPECT_TRUE(out.logLines().empty());

  LineQueue queue;
  for (std::string l : {test::startLine(), std::string(R"({"type":"screenshot"})"), std::string(R"({"type":"stop"})")})
    queue.push(l);
  std::vector<json> whenFinishCame;
  run(queue, [&] { return !out.eventLines().empty() && (whenFinishCame = out.events(), true); });
  EXPECT_EQ(whenFinishCame, std::vector<json>{test::statusEvent("starting")}) << "finish did not come mid-start";
  EXPECT_EQ(out.events(), (std::vector<json>{test::statusEvent("starting"), test::statusEvent("recording"),
                                             test::statusEvent("stopping"),
                                             {{"type", "finished"}, {"videoPath", video.string()}}}));
  EXPECT_FALSE(state->isRecording());
}

}  // namespace
}  // namespace vantor::app
