#include "app/event_writer.h"

#include <gtest/gtest.h>

#include <thread>

#include "util/log.h"
#include "util/json_text.h"
#include "support/capture_sinks.h"

namespace vantor {
namespace {

using nlohmann::json;

TEST(EventSerialisation, IsCompactWithSlashesEscapedAndUtf8Kept) {
  json finished = {{"type", "finished"}, {"videoPath", "/r/caf\xC3\xA9 \xE2\x86\x92/t.mp4"}};
  EXPECT_EQ(toCompactJson(finished),
            R"({"type":"finished","videoPath":"\/r\/caf)" "\xC3\xA9 \xE2\x86\x92" R"(\/t.mp4"})");
  EXPECT_EQ(toCompactJson({{"a", "q\"b\\c\n\x01"}}), R"({"a":"q\"b\\c\n\u0001"})");
  EXPECT_EQ(toCompactJson({{"n", 1.5}, {"w", 3}}), R"({"n":1.5,"w":3})");
}

TEST(EventSerialisation, WritesNothingForTextThatIsNotUtf8) {
  test::CapturedOutput out;
  emitEvent({{"type", "finished"}, {"videoPath", "/r/\xFF.mp4"}});
  EXPECT_TRUE(out.eventLines().empty());
  EXPECT_TRUE(out.logLines().empty());
}

TEST(EventWriters, BuildTheTwoMemberObjects) {
  test::CapturedOutput out;
  emitError("not recording");
  emitStatus("recording");
  emitElapsed(1.25);
  emitMicLevel(0.5);
  EXPECT_EQ(out.eventLines(), (std::vector<std::string>{
                                  R"({"message":"not recording","type":"error"})",
                                  R"({"phase":"recording","type":"status"})",
                                  R"({"seconds":1.25,"type":"elapsed"})",
                                  R"({"type":"micLevel","value":0.5})"}));
}

TEST(EventWriters, LinesFromManyThreadsStayWhole) {
  test::CapturedOutput out;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([] {
      for (int i = 0; i < 500; ++i) emitMicLevel(0.25);
    });
  for (auto& th : threads) th.join();
  auto lines = out.eventLines();
  ASSERT_EQ(lines.size(), 2000u);
  for (const auto& l : lines) ASSERT_EQ(l, R"({"type":"micLevel","value":0.25})");
}

TEST(LogLines, CarryTheLevelInBracketsAndNothingElse) {
  test::CapturedOutput out;
  log(LogLevel::info, "vantor: paused");
  logError("vantor: malformed JSON: {x}");
  EXPECT_EQ(out.logLines(),
            (std::vector<std::string>{"[INFO] vantor: paused", "[ERROR] vantor: malformed JSON: {x}"}));
}

}  // namespace
}  // namespace vantor
