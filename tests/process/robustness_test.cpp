// Hostile or careless hosts: enormous, deeply nested or binary lines, floods
// of commands and a host that stops reading. The agent may reject a line but
// must keep answering and exit normally when its stdin ends.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/agent_process.h"

namespace vantor::testing {
namespace {

using json = nlohmann::json;

const std::string kStop = R"({"type":"stop"})";

// Sends each abusive line, then a plain stop, and checks that the stop is
// still answered and the agent ends normally.
void expectMalformedThenStillServing(const std::vector<std::string>& lines) {
  std::string input;
  std::vector<std::string> expectedLog;
  for (const std::string& line : lines) {
    input += line + "\n";
    expectedLog.push_back(malformedJsonLog(line));
  }
  input += kStop + "\n";
  ProcessResult r = runAgent(input);
  EXPECT_TRUE(exitedCleanly(r));
  EXPECT_TRUE(eventsAre(r.out, {kNotRecording}));
  std::vector<std::string> log = commandLogLines(r);
  ASSERT_EQ(log.size(), expectedLog.size());
  for (size_t i = 0; i < log.size(); ++i) {
    // Lines this long make a failing EXPECT_EQ unreadable; compare quietly.
    EXPECT_TRUE(log[i] == expectedLog[i])
        << "log line " << i << " (" << log[i].size() << " bytes) differs from the expected "
        << expectedLog[i].size() << " bytes; it starts: " << log[i].substr(0, 120);
  }
}

TEST(Robustness, HugeGarbageLineIsRejectedWhole) {
  // JSON-looking but never closed, so the parser reads all of it.
  const std::string piece = R"({"type":"stop","k":[1,true,null,"x\"y",-2.5e3,{"a":)";
  std::string garbage;
  garbage.reserve(16u << 20);
  while (garbage.size() + piece.size() <= (16u << 20)) garbage += piece;
  expectMalformedThenStillServing({garbage});
}

TEST(Robustness, HugeIgnoredMemberDoesNotSpoilACommand) {
  std::string line = R"({"type":"stop","pad":")" + std::string(16u << 20, 'a') + R"("})";
  ProcessResult r = runAgent(line + "\n" + kStop + "\n");
  EXPECT_TRUE(exitedCleanly(r));
  EXPECT_TRUE(eventsAre(r.out, {kNotRecording, kNotRecording}));
  EXPECT_TRUE(commandLogLines(r).empty()) << r.err.substr(0, 300);
}

std::string repeat(std::string_view piece, size_t times) {
  std::string out;
  out.reserve(piece.size() * times);
  for (size_t i = 0; i < times; ++i) out += piece;
  return out;
}

TEST(Robustness, DeepNestingIsRejectedWithoutExhaustingTheStack) {
  expectMalformedThenStillServing({
      std::string(1'000'000, '['),
      R"({"type":"stop","n":)" + repeat(R"([{"a":)", 200'000),
  });
}

TEST(Robustness, NumbersBeyondAnyMachineTypeAreSurvived) {
  // Out-of-range numbers in a member the agent ignores. Whether such a line
  // is still a stop or is rejected as malformed, it gets exactly one answer,
  // and the agent carries on.
  const std::vector<std::string> lines = {
      R"({"type":"stop","n":1e999999})",
      R"({"type":"stop","n":-1e999999})",
      R"({"type":"stop","n":1e-999999})",
      R"({"type":"stop","n":)" + std::string(10'000, '7') + "}",
      R"({"type":"stop","n":-)" + std::string(10'000, '9') + ".5}",
  };
  for (const std::string& line : lines) {
    SCOPED_TRACE(line.substr(0, 40));
    ProcessResult r = runAgent(line + "\n" + kStop + "\n");
    EXPECT_TRUE(exitedCleanly(r));
    std::vector<std::string> log = commandLogLines(r);
    if (log.empty()) {
      EXPECT_TRUE(eventsAre(r.out, {kNotRecording, kNotRecording}));
    } else {
      EXPECT_EQ(log, std::vector<std::string>{malformedJsonLog(line)});
      EXPECT_TRUE(eventsAre(r.out, {kNotRecording}));
    }
  }
}

TEST(Robustness, NulBytesInsideOrBeforeTheJsonMakeItMalformed) {
  using namespace std::string_literals;
  expectMalformedThenStillServing({
      "\0"s,
      "\0\0\0"s,
      "\0"s + kStop,
      "{\"type\":\"st\0op\"}"s,
      "{\"type\":\"stop\",\0\"x\":1}"s,
      "{\"type\"\0:\"stop\"}"s,
  });
}

TEST(Robustness, NulBytesAfterTheJsonMakeItMalformed) {
  // A NUL is not JSON white space: nothing may follow the object but
  // white space, so neither the NUL nor what comes after it may be ignored.
  using namespace std::string_literals;
  expectMalformedThenStillServing({
      kStop + "\0"s,
      kStop + "\0garbage"s,
      R"({"type":"start"})" + "\0{\"type\":\"screenshot\"}"s,
  });
}

TEST(Robustness, FloodOfCommandsIsAnsweredInOrder) {
  // Three kinds so a lost, repeated or reordered line breaks the pattern:
  // two answer on stdout with different events, one logs on stderr.
  constexpr int kLines = 200'000;
  const std::string lines[3] = {R"({"type":"screenshot"})", kStop, R"({"type":"Stop"})"};
  std::string input;
  input.reserve(kLines * 24);
  for (int i = 0; i < kLines; ++i) input += lines[i % 3] + "\n";

  AgentProcess agent;
  ASSERT_TRUE(agent.write(input, 30s));
  ProcessResult r = agent.finish(30s);
  ASSERT_TRUE(exitedCleanly(r));

  std::vector<std::string> events = splitLines(r.out);
  int expectedEvents = kLines - kLines / 3;
  ASSERT_EQ(events.size(), static_cast<size_t>(expectedEvents));
  int position = 0;
  for (int i = 0; i < kLines; ++i) {
    if (i % 3 == 2) continue;
    const std::string& line = events[position];
    // Event lines are compact and identical for identical answers, so after
    // checking the first of each kind the rest can be compared as text.
    if (position < 2) {
      ASSERT_TRUE(eventsAre(line + "\n", {i % 3 == 0 ? kNoScreenshotTarget : kNotRecording}));
    } else {
      ASSERT_EQ(line, events[i % 3 == 0 ? 0 : 1]) << "event " << position << " for line " << i;
    }
    ++position;
  }
  std::vector<std::string> log = commandLogLines(r);
  ASSERT_EQ(log.size(), static_cast<size_t>(kLines / 3));
  for (const std::string& line : log)
    ASSERT_EQ(line, "[INFO] vantor: unknown command type 'Stop'");
}

TEST(Robustness, HostClosingStdoutDoesNotKillTheAgent) {
  AgentProcess agent;
  std::optional<std::string> started = agent.readStderrLine();
  ASSERT_EQ(started, std::optional<std::string>(kStartedLine));
  agent.closeStdout();

  // Every answer now fails to write; without SIGPIPE ignored the first one
  // would end the process.
  std::string stops;
  for (int i = 0; i < 1000; ++i) stops += kStop + "\n";
  // A log line proves the commands after the failed writes are still handled.
  if (!agent.write(stops + R"({"type":"Stop"})" "\n"))
    FAIL() << "agent stopped reading stdin: " << agent.finish().describeEnd();
  std::optional<std::string> logged = agent.readStderrLine();
  EXPECT_EQ(logged, std::optional<std::string>("[INFO] vantor: unknown command type 'Stop'"));
  ASSERT_TRUE(agent.write(kStop + "\n"));

  ProcessResult r = agent.finish();
  EXPECT_TRUE(r.exited && r.exitCode == 0) << r.describeEnd();
  EXPECT_EQ(r.err, std::string(kExitingLine) + "\n");
}

}  // namespace
}  // namespace vantor::testing
