// How the command loop ends on a signal. What each line is answered with:
// component/controller_test; the log lines of what is not a command and the
// exit line: process/agent_process_test, on the real binary.

#include "app/command_loop.h"

#include <gtest/gtest.h>

#include <asio/co_spawn.hpp>

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
