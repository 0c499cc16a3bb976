// Which answer each kind of command line gets while nothing is recording:
// the event or log line, its exact text and members, and nothing besides.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/agent_process.h"

namespace vantor::testing {
namespace {

using json = nlohmann::json;

const std::string kScreenshot = R"({"type":"screenshot"})";

// Sends each line followed by a screenshot command. The screenshot's answer
// marks where one line's output ends, so a line that answers twice or not at
// all shows up at its own position rather than only in a total.
ProcessResult runSeparated(const std::vector<std::string>& lines) {
  std::string input;
  for (const std::string& line : lines) input += line + "\n" + kScreenshot + "\n";
  return runAgent(input);
}

std::vector<json> separatedEvents(const std::vector<json>& answers) {
  std::vector<json> events;
  for (const json& answer : answers) {
    events.push_back(answer);
    events.push_back(kNoScreenshotTarget);
  }
  return events;
}

TEST(Dispatch, CaptureCommandsWhileIdleAnswerNotRecording) {
  const std::vector<std::string> lines = {
      R"({"type":"stop"})",    R"({"type":"pause"})",   R"({"type":"resume"})",
      R"({"type":"restart"})", R"({"type":"discard"})",
  };
  ProcessResult r = runSeparated(lines);
  EXPECT_TRUE(exitedCleanly(r));
  EXPECT_TRUE(eventsAre(r.out, separatedEvents(std::vector<json>(lines.size(), kNotRecording))));
  EXPECT_TRUE(commandLogLines(r).empty()) << r.err;
}

TEST(Dispatch, ScreenshotBeforeAnyStartHasNoTarget) {
  ProcessResult r = runAgent(kScreenshot + "\n");
  EXPECT_TRUE(exitedCleanly(r));
  EXPECT_TRUE(eventsAre(r.out, {kNoScreenshotTarget}));
  EXPECT_TRUE(commandLogLines(r).empty()) << r.err;
}

TEST(Dispatch, MembersBesidesTypeDoNotChangeAPlainCommand) {
  const std::vector<std::string> lines = {
      R"({"type":"stop","extra":1})",
      R"({"extra":{"a":[1,2,{"b":null}]},"type":"stop","flag":true})",
      // Nested "type" members belong to other objects, not to the command.
      R"({"type":"stop","payload":{"type":"screenshot"},"list":[{"type":"start"}]})",
      // Start's members mean nothing to stop, whatever their JSON type.
      R"({"type":"stop","target":null,"includeMic":"yes","outputPath":3,"mode":[]})",
      R"({  "type" : "stop" ,  "n" : -1.5e3 })",
  };
  ProcessResult r = runSeparated(lines);
  EXPECT_TRUE(exitedCleanly(r));
  EXPECT_TRUE(eventsAre(r.out, separatedEvents(std::vector<json>(lines.size(), kNotRecording))));
  EXPECT_TRUE(commandLogLines(r).empty()) << r.err;
}

TEST(Dispatch, UnknownTypesAreOnlyLogged) {
  // Types are compared exactly: case and surrounding spaces matter.
  const std::vector<std::string> types = {"Stop", "STOP", " stop", "stop ", "", "record", "st/op"};
  std::string input;
  std::vector<std::string> expectedLog;
  for (const std::string& type : types) {
    input += json{{"type", type}}.dump() + "\n";
    expectedLog.push_back("[INFO] vantor: unknown command type '" + type + "'");
  }
  ProcessResult r = runAgent(input);
  EXPECT_TRUE(exitedCleanly(r));
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(commandLogLines(r), expectedLog);
}

TEST(Dispatch, LinesThatAreNotCommandObjectsAreLoggedAsMalformedJson) {
  const std::vector<std::string> lines = {
      R"({"kind":"stop"})",                // no "type"
      R"({})",
      R"({"payload":{"type":"stop"}})",    // "type" only in a nested object
      R"([1])",
      R"(["stop"])",
      R"("x")",
      R"(3)",
      R"(null)",
      R"(true)",
      R"({"type":1})",
      R"({"type":null})",
      R"({"type":["stop"]})",
      R"({"type":{"name":"stop"}})",
      R"({"type":true})",
      R"(stop)",
      R"({"type":"stop")",                 // truncated
      R"({"type":"stop",})",               // trailing comma
      R"({'type':'stop'})",
      R"({"type":"stop"} {"type":"stop"})",  // two values on one line
      R"({"type":"stop"}x)",
      R"({"type":"stop"} // note)",
      R"({"type":"st\op"})",               // bad escape
      R"({"type":"path/to"} trailing)",
  };
  std::string input;
  std::vector<std::string> expectedLog;
  for (const std::string& line : lines) {
    input += line + "\n";
    expectedLog.push_back(malformedJsonLog(line));
  }
  ProcessResult r = runAgent(input);
  EXPECT_TRUE(exitedCleanly(r));
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(commandLogLines(r), expectedLog);
}

TEST(Dispatch, MalformedJsonLogShowsTheTrimmedLine) {
  ProcessResult r = runAgent(" \t\xe3\x80\x80not json at all \xc2\xa0\r\n");
  EXPECT_TRUE(exitedCleanly(r));
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(commandLogLines(r), std::vector<std::string>{malformedJsonLog("not json at all")});
}

TEST(Dispatch, IncompleteOrMistypedStartIsAMalformedStart) {
  const std::vector<std::string> lines = {
      R"({"type":"start"})",
      R"({"type":"start","target":"display:1","includeMic":"true","outputPath":"/tmp/a.mov","mode":"video"})",
      R"({"type":"start","target":"display:1","includeMic":false,"outputPath":"/tmp/a.mov"})",
      R"({"type":"start","target":"display:1","includeMic":false,"outputPath":null,"mode":"video"})",
      R"({"type":"start","includeMic":false,"outputPath":"/tmp/a.mov","mode":"video"})",
      R"({"type":"start","target":"display:1","outputPath":"/tmp/a.mov","mode":"video"})",
      R"({"type":"start","target":"display:1","includeMic":false,"mode":"video"})",
      R"({"type":"start","target":1,"includeMic":false,"outputPath":"/tmp/a.mov","mode":"video"})",
      R"({"type":"start","target":"display:1","includeMic":1,"outputPath":"/tmp/a.mov","mode":"video"})",
      R"({"type":"start","target":"display:1","includeMic":false,"outputPath":"/tmp/a.mov","mode":{"v":1}})",
      R"({"type":"start","target":["display:1"],"includeMic":false,"outputPath":"/tmp/a.mov","mode":"video"})",
      // Members nested one level down do not count as the command's own.
      R"({"type":"start","options":{"target":"display:1","includeMic":false,"outputPath":"/tmp/a.mov","mode":"video"}})",
  };
  ProcessResult r = runSeparated(lines);
  EXPECT_TRUE(exitedCleanly(r));
  EXPECT_TRUE(eventsAre(r.out, separatedEvents(std::vector<json>(lines.size(), kMalformedStart))));
  EXPECT_TRUE(commandLogLines(r).empty()) << r.err;
}

TEST(Dispatch, CompleteStartReportsStartingThenRecorderFailure) {
  AgentProcess agent;
  ASSERT_TRUE(agent.write(
      R"({"type":"start","target":"display:1","includeMic":false,"outputPath":"/tmp/vantor-test.mov","mode":"video"})"
      "\n"));
  std::optional<std::string> first = agent.readStdoutLine();
  std::optional<std::string> second = agent.readStdoutLine();
  ProcessResult r = agent.finish();
  EXPECT_TRUE(exitedCleanly(r));
  ASSERT_TRUE(first && second) << "expected two event lines, stdout rest: " << r.out;

  EXPECT_TRUE(eventsAre(*first + "\n", {{{"type", "status"}, {"phase", "starting"}}}));

  EXPECT_TRUE(isCompactJson(*second)) << *second;
  json failure = parseEvent(*second);
  ASSERT_TRUE(failure.is_object()) << *second;
  EXPECT_EQ(failure.size(), 2u) << *second;
  EXPECT_EQ(failure.value("type", ""), "error") << *second;
  EXPECT_TRUE(failure.contains("message") && failure["message"].is_string() &&
              failure["message"].get<std::string>().starts_with("recorder.start failed: "))
      << *second;
}

}  // namespace
}  // namespace vantor::testing
