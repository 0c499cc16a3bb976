// How the agent cuts its stdin into command lines: terminators, white space,
// reads that split or join lines, end of input and invalid UTF-8.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/agent_process.h"

namespace vantor::testing {
namespace {

using json = nlohmann::json;

const std::string kStop = R"({"type":"stop"})";
const std::string kScreenshot = R"({"type":"screenshot"})";

TEST(LineFraming, CrLfTerminatedLinesAreCommands) {
  ProcessResult r = runAgent(kStop + "\r\n" + kScreenshot + "\r\n");
  EXPECT_TRUE(exitedCleanly(r));
  EXPECT_TRUE(eventsAre(r.out, {kNotRecording, kNoScreenshotTarget}));
  EXPECT_TRUE(commandLogLines(r).empty()) << r.err;
}

TEST(LineFraming, LinesWithNothingButWhiteSpaceProduceNoOutput) {
  const std::string input =
      "\n"
      "\r\n"
      "   \n"
      "\t \t\r\n"
      "\r\r\r\n"
      "\x0b\x0c\n"
      "\xe3\x80\x80\n"               // U+3000 ideographic space
      "\xc2\xa0\xe2\x80\xa8\n"       // U+00A0, U+2028
      "\xe2\x80\xa9\xc2\x85\n"       // U+2029, U+0085
      "\xe2\x80\x83\xe2\x80\xaf\n"   // U+2003, U+202F
      "\n\n\n";
  ProcessResult r = runAgent(input);
  EXPECT_TRUE(exitedCleanly(r));
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, std::string(kStartedLine) + "\n" + std::string(kExitingLine) + "\n");
}

TEST(LineFraming, WhiteSpaceAroundTheJsonIsIgnored) {
  const std::vector<std::string> lines = {
      "   " + kStop + "   ",
      "\t" + kStop + "\t\r",
      "\xe3\x80\x80" + kStop + "\xe3\x80\x80",  // U+3000
      "\xc2\xa0" + kStop + "\xc2\xa0",          // U+00A0
      "\xe2\x80\xa8" + kStop + "\xe2\x80\xa8",  // U+2028
      "\xe2\x80\xa9 \xc2\x85" + kStop + " \xe2\x80\x8a\r",
  };
  std::string input;
  for (const std::string& line : lines) input += line + "\n";
  ProcessResult r = runAgent(input);
  EXPECT_TRUE(exitedCleanly(r));
  EXPECT_TRUE(eventsAre(r.out, std::vector<json>(lines.size(), kNotRecording)));
  EXPECT_TRUE(commandLogLines(r).empty()) << r.err;
}

TEST(LineFraming, UnicodeWhiteSpaceInsideTheJsonIsNotJsonWhiteSpace) {
  // Only the ends of a line are trimmed; between tokens JSON's own rules apply.
  const std::string line = "{\"type\":\xe3\x80\x80\"stop\"}";
  ProcessResult r = runAgent(line + "\n");
  EXPECT_TRUE(exitedCleanly(r));
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(commandLogLines(r), std::vector<std::string>{malformedJsonLog(line)});
}

TEST(LineFraming, SeveralLinesInOneWriteAreHandledInOrder) {
  ProcessResult r =
      runAgent(kScreenshot + "\n" + kStop + "\n" + kScreenshot + "\n" + R"({"type":"pause"})" + "\n");
  EXPECT_TRUE(exitedCleanly(r));
  EXPECT_TRUE(eventsAre(r.out, {kNoScreenshotTarget, kNotRecording, kNoScreenshotTarget,
                                kNotRecording}));
}

TEST(LineFraming, LinesSplitAcrossReadsAreHandledOnce) {
  AgentProcess agent;
  // Pauses between writes make the agent see each chunk in a read of its own:
  // cuts inside a member, before the LF, between CR and LF, and inside a
  // multi-byte white-space character.
  ASSERT_TRUE(agent.writeChunks({
      R"({"type":"scr)",
      "eenshot\"}\n" + kStop,
      "\r",
      "\n\xe3\x80",
      "\x80{\"type\":\"pause\"}\xc2",
      "\xa0\n",
  }));
  ProcessResult r = agent.finish();
  EXPECT_TRUE(exitedCleanly(r));
  EXPECT_TRUE(eventsAre(r.out, {kNoScreenshotTarget, kNotRecording, kNotRecording}));
  EXPECT_TRUE(commandLogLines(r).empty()) << r.err;
}

TEST(LineFraming, EachLineIsAnsweredWithoutWaitingForMoreInput) {
  AgentProcess agent;
  ASSERT_TRUE(agent.write(kStop + "\n"));
  std::optional<std::string> first = agent.readStdoutLine();
  ASSERT_TRUE(first.has_value()) << "no answer while stdin is still open";
  EXPECT_TRUE(eventsAre(*first + "\n", {kNotRecording}));

  ASSERT_TRUE(agent.write(kScreenshot + "\n"));
  std::optional<std::string> second = agent.readStdoutLine();
  ASSERT_TRUE(second.has_value()) << "no answer while stdin is still open";
  EXPECT_TRUE(eventsAre(*second + "\n", {kNoScreenshotTarget}));

  ProcessResult r = agent.finish();
  EXPECT_TRUE(exitedCleanly(r));
  EXPECT_EQ(r.out, "");
}

TEST(LineFraming, UnterminatedLastLineIsNeverHandled) {
  struct Case {
    std::string input;
    std::vector<json> events;
  };
  const std::vector<Case> cases = {
      {kStop + "\n" + kScreenshot, {kNotRecording}},
      {kScreenshot + "\r", {}},
      {"not json at all", {}},
      {R"({"type":"Stop"})", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input);
    ProcessResult r = runAgent(c.input);
    EXPECT_TRUE(exitedCleanly(r));
    EXPECT_TRUE(eventsAre(r.out, c.events));
    EXPECT_TRUE(commandLogLines(r).empty()) << r.err;
  }
}

TEST(LineFraming, EmptyInputJustStartsAndExits) {
  ProcessResult r = runAgent("");
  EXPECT_TRUE(exitedCleanly(r));
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, std::string(kStartedLine) + "\n" + std::string(kExitingLine) + "\n");
}

TEST(LineFraming, InvalidUtf8LinesAreDroppedSilently) {
  // Each line would be a valid command (or a logged malformed one) if its
  // bad bytes were skipped or replaced instead of the line being dropped.
  const std::vector<std::string> lines = {
      "\xff" + kStop,
      kStop + "\xfe",
      "{\"type\":\"st\xc3op\"}",                      // truncated sequence
      "{\"type\":\"stop\",\"p\":\"\xc0\xaf\"}",       // overlong "/"
      "{\"type\":\"stop\",\"p\":\"\xe0\x80\xaf\"}",   // overlong, three bytes
      "{\"type\":\"stop\",\"p\":\"\xed\xa0\x80\"}",   // UTF-16 surrogate
      "{\"type\":\"stop\",\"p\":\"\xf4\x90\x80\x80\"}",  // above U+10FFFF
      "{\"type\":\"stop\",\"name\":\"caf\xe9\"}",     // Latin-1
      "\x80" + kStop,                                // lone continuation byte
      kStop + " \xe3\x80",                           // truncated U+3000 at the end
      "\xe3\x80" + kStop,                            // truncated U+3000 at the start
      "\xc3",
      "not json \xff",
  };
  std::string input;
  for (const std::string& line : lines) input += line + "\n";
  // The lines after them still work.
  input += kStop + "\n";
  ProcessResult r = runAgent(input);
  EXPECT_TRUE(exitedCleanly(r));
  EXPECT_TRUE(eventsAre(r.out, {kNotRecording}));
  EXPECT_EQ(r.err, std::string(kStartedLine) + "\n" + std::string(kExitingLine) + "\n");
}

}  // namespace
}  // namespace vantor::testing
