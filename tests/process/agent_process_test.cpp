// The real binary through its standard streams, for what only the process
// shows: the start-up and exit, stdin read by the reader thread, the log
// lines on stderr, a host that stops listening, and the ending signals.
// Cutting, trimming and decoding lines, and the answers themselves, are
// tested in tests/unit, tests/component and by the fuzzer.

#include <signal.h>

#include <gtest/gtest.h>

#include <fstream>

#include <string>
#include <thread>
#include <vector>

#include "support/child_process.h"

namespace vantor::test {
namespace {

using namespace std::chrono_literals;

const std::string kStarted = "[INFO] vantor: started, waiting for commands on stdin";
const std::string kExiting = "[INFO] vantor: stdin closed, exiting";
const std::string kStop = R"({"type":"stop"})";
// Compact, as the host reads it.
const std::string kNotRecording = R"({"message":"not recording","type":"error"})";

TEST(AgentProcess, AnnouncesItselfUnpromptedAnswersEachLineAtOnceAndExitsZeroAtEndOfInput) {
  // Any first argument but "list-targets" runs command mode.
  for (std::vector<std::string> argv : {std::vector<std::string>{}, {"--help"}, {"-h", "extra"}, {""}}) {
    SCOPED_TRACE(::testing::PrintToString(argv));
    argv.insert(argv.begin(), VANTOR_BINARY);
    ChildProcess agent(argv);
    // Hosts wait for this line before they send anything.
    EXPECT_EQ(agent.readStderrLine(), kStarted);
    for (int i = 0; i < 2; ++i) {  // answered with stdin still open
      ASSERT_TRUE(agent.write(kStop + "\n"));
      auto answer = agent.readStdoutLine();
      ASSERT_TRUE(answer) << "no answer while stdin is open";
      EXPECT_EQ(*answer, kNotRecording);
    }
    if (argv.size() == 1) {  // a line longer than the input queue holds is still handled, whole
      ASSERT_TRUE(agent.write(R"({"type":"stop","pad":")" + std::string(17 << 20, 'x') + "\"}\n", 60s));
      auto answer = agent.readStdoutLine(60s);
      ASSERT_TRUE(answer);
      EXPECT_EQ(*answer, kNotRecording);
    }
    ASSERT_TRUE(agent.write(kStop));  // no LF: never handled, not even at end of input
    ProcessResult r = agent.finish();
    EXPECT_TRUE(r.exitedWith(0)) << r.describeEnd();
    EXPECT_EQ(r.err, kExiting + "\n");
    EXPECT_EQ(r.out, "");
  }
}

// Garbage far faster than it can be handled: the agent reads only as far
// ahead as its queue holds, so its memory stays put, and it logs every line
// once, in order.
TEST(AgentProcess, AFloodIsReadNoFasterThanItIsHandled) {
  ChildProcess agent({VANTOR_BINARY});
  ASSERT_EQ(agent.readStderrLine(), kStarted);
  auto kb = [&](const std::string& field) {  // a /proc/<pid>/status field such as "VmRSS:"
    std::ifstream status("/proc/" + std::to_string(agent.pid()) + "/status");
    for (std::string line; std::getline(status, line);)
      if (line.starts_with(field)) return std::atol(line.c_str() + field.size());
    return -1L;
  };
  const long before = kb("VmRSS:");
  constexpr int kLines = 300'000;
  std::string flood;
  for (int i = 0; i < kLines; ++i) flood += "flood " + std::to_string(i) + " " + std::string(200, 'x') + "\n";
  ASSERT_TRUE(agent.write(flood, 120s));
  const long peak = kb("VmHWM:");
  ProcessResult r = agent.finish(120s);
  const std::string_view prefix = "[ERROR] vantor: malformed JSON: flood ";
  int next = 0;
  for (size_t at = r.err.find(prefix); at != std::string::npos; at = r.err.find(prefix, at + 1), ++next)
    ASSERT_EQ(std::atoi(r.err.c_str() + at + prefix.size()), next);
  EXPECT_EQ(next, kLines);
  ASSERT_GT(before, 0);
#ifndef __SANITIZE_ADDRESS__  // its quarantine keeps freed memory: the size says nothing then
  EXPECT_LT(peak - before, 32 * 1024) << "kB more at the peak, for 63 MB of input";
#endif
}

TEST(AgentProcess, AHostThatClosesStdoutDoesNotEndTheAgent) {
  ChildProcess agent({VANTOR_BINARY});
  ASSERT_EQ(agent.readStderrLine(), kStarted);
  agent.closeStdout();
  // Every answer now fails to write; with SIGPIPE at its default the first
  // would end the process. The log line shows the lines after them handled.
  std::string stops;
  for (int i = 0; i < 1000; ++i) stops += kStop + "\n";
  ASSERT_TRUE(agent.write(stops + R"({"type":"Stop"})" "\n"));
  EXPECT_EQ(agent.readStderrLine(), "[INFO] vantor: unknown command type 'Stop'");
  ProcessResult r = agent.finish();
  EXPECT_TRUE(r.exitedWith(0)) << r.describeEnd();
  EXPECT_EQ(r.err, kExiting + "\n");
}

// A signal during a take: tests/system/take_test.cpp.
TEST(AgentProcess, EachEndingSignalEndsAnIdleAgentWithStatusZeroAndNoEvent) {
  for (auto [signal, name] : {std::pair{SIGTERM, "SIGTERM"}, {SIGINT, "SIGINT"}, {SIGHUP, "SIGHUP"}}) {
    SCOPED_TRACE(name);
    ChildProcess agent({VANTOR_BINARY});
    ASSERT_EQ(agent.readStderrLine(), kStarted);
    ASSERT_EQ(::kill(agent.pid(), signal), 0);
    ProcessResult r = agent.waitForExit();  // stdin stays open: the signal alone ends it
    EXPECT_TRUE(r.exitedWith(0)) << r.describeEnd();
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, std::string("[INFO] vantor: ") + name + " received, finishing the take\n");
  }
}

TEST(AgentProcess, ASecondSignalEndsAnAgentStuckOnAFullStderrAtOnce) {
  ChildProcess agent({VANTOR_BINARY});
  ASSERT_EQ(agent.readStderrLine(), kStarted);
  // Three pipes' worth of malformed lines, each logged whole in a page of its
  // own, for a host that reads none: the command loop ends up waiting in a
  // log write for good, so the first signal can never finish.
  agent.holdStderr();
  const std::string line(4096 - std::string("[ERROR] vantor: malformed JSON: \n").size(), 'x');
  std::string flood;
  for (int i = 0; i < 48; ++i) flood += line + "\n";
  ASSERT_TRUE(agent.write(flood));
  size_t unread = 0;  // stuck once the pipe stays as it is
  for (int i = 0; i < 100; ++i) {
    std::this_thread::sleep_for(100ms);
    size_t now = agent.stderrUnread();
    if (now == unread && now > 0) break;
    unread = now;
  }
  ASSERT_GT(unread, 0u);
  ASSERT_LT(unread, 48u * 4096) << "every line was logged: nothing held the agent";
  // Both may be pending when the agent looks; it takes the lower number first.
  ASSERT_EQ(::kill(agent.pid(), SIGTERM), 0);
  ASSERT_EQ(::kill(agent.pid(), SIGINT), 0);
  ProcessResult r = agent.waitForExit();
  EXPECT_TRUE(r.exitedWith(128 + SIGINT) || r.exitedWith(128 + SIGTERM)) << r.describeEnd();
}

}  // namespace
}  // namespace vantor::test
