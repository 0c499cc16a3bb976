// SIGTERM, SIGINT and SIGHUP with no take running, and a second signal while
// the agent cannot finish. A signal during a take: tests/system/sound_take_test.cpp.

#include <signal.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "support/agent_process.h"

namespace vantor::testing {
namespace {

using namespace std::chrono_literals;

std::string signalLine(const char* name) {
  return std::string("[INFO] vantor: ") + name + " received, finishing the take\n";
}

TEST(EndingSignal, WithoutATakeEachEndsTheAgentWithStatusZeroAndNoEvent) {
  for (auto [signal, name] : {std::pair{SIGTERM, "SIGTERM"}, {SIGINT, "SIGINT"}, {SIGHUP, "SIGHUP"}}) {
    SCOPED_TRACE(name);
    AgentProcess agent;
    ASSERT_EQ(agent.readStderrLine(), std::optional<std::string>(kStartedLine));
    ASSERT_EQ(::kill(agent.pid(), signal), 0);
    // Standard input stays open: the signal alone ends the agent.
    ProcessResult r = agent.waitForExit();
    EXPECT_TRUE(r.exited && r.exitCode == 0) << r.describeEnd();
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, signalLine(name));
  }
}

TEST(EndingSignal, ASecondOneEndsAnAgentStuckOnAFullStderrAtOnce) {
  AgentProcess agent;
  ASSERT_EQ(agent.readStderrLine(), std::optional<std::string>(kStartedLine));
  // Malformed lines are logged whole: three pipes' worth of log lines for a
  // host that reads none of them. The command loop ends up waiting in a log
  // write for good, so the first signal can never finish. Each log line fills
  // a page of the pipe exactly, so not even a short line fits in beside them.
  agent.holdStderr();
  const std::string line(4096 - malformedJsonLog("").size() - 1, 'x');
  std::string flood;
  for (int i = 0; i < 48; ++i) flood += line + "\n";
  ASSERT_TRUE(agent.write(flood));
  // Stuck once the pipe stays as it is with lines still to log.
  size_t unread = 0;
  for (int i = 0; i < 100; ++i) {
    std::this_thread::sleep_for(100ms);
    size_t now = agent.stderrUnread();
    if (now == unread && now > 0) break;
    unread = now;
  }
  ASSERT_GT(unread, 0u);
  ASSERT_LT(unread, 48u * 4096) << "the agent logged every line: nothing held it";

  // Both may be pending when the agent looks; it takes the lower number first.
  ASSERT_EQ(::kill(agent.pid(), SIGTERM), 0);
  ASSERT_EQ(::kill(agent.pid(), SIGINT), 0);
  ProcessResult r = agent.waitForExit();
  EXPECT_TRUE(r.exited && (r.exitCode == 128 + SIGINT || r.exitCode == 128 + SIGTERM)) << r.describeEnd();
}

}  // namespace
}  // namespace vantor::testing
