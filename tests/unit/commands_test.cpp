#include <gtest/gtest.h>

#include <string>

#include "app/commands.h"

namespace vantor::app {
namespace {

std::optional<AnyCommand> any(std::string_view line) {
  auto fields = parseCommandFields(line);
  return fields ? decodeAnyCommand(*fields) : std::nullopt;
}

// The decoded type, or "<malformed>", so failed decodes compare instead of crashing.
std::string typeOf(std::string_view line) {
  auto cmd = any(line);
  return cmd ? cmd->type : "<malformed>";
}

std::optional<StartCommand> start(std::string_view line) {
  auto fields = parseCommandFields(line);
  return fields ? decodeStartCommand(*fields) : std::nullopt;
}

TEST(AnyCommandDecoding, NeedsAnObjectWithAStringType) {
  EXPECT_EQ(typeOf(R"({"type":"stop"})"), "stop");
  EXPECT_EQ(typeOf(R"({ "x" : [1, {"type": 2}], "type" : "Stop" })"), "Stop");
  EXPECT_EQ(typeOf(R"({"type":""})"), "");
  for (std::string_view bad : {R"({})", R"([{"type":"stop"}])", R"("stop")", "3", "null",
                               R"({"type":1})", R"({"type":null})", R"({"type":["stop"]})",
                               R"({"type":{"type":"stop"}})", R"({"type":"stop"} x)",
                               R"({"type":"stop",})", "{'type':'stop'}", R"({"type":"st)"}) {
    EXPECT_FALSE(any(bad)) << bad;
  }
}

TEST(AnyCommandDecoding, OnlyTheTopLevelTypeCounts) {
  EXPECT_FALSE(any(R"({"inner":{"type":"stop"}})"));
  EXPECT_EQ(typeOf(R"({"type":"stop","inner":{"type":"pause"}})"), "stop");
  EXPECT_EQ(typeOf(R"({"type":"stop","type":"pause"})"), "pause");  // last member wins
}

TEST(AnyCommandDecoding, DecodesEscapesAndUnicodeInStrings) {
  EXPECT_EQ(typeOf(R"({"type":"a\/b\u00e9\ud83c\udfa5"})"), "a/b\xC3\xA9\xF0\x9F\x8E\xA5");
  EXPECT_FALSE(any(R"({"type":"\ud800"})"));  // lone surrogate
  EXPECT_FALSE(any("{\"type\":\"a\tb\"}"));    // raw control character
}

TEST(AnyCommandDecoding, ARawNulAnywhereMakesTheLineMalformed) {
  using namespace std::string_literals;
  EXPECT_FALSE(any("{\"type\":\"stop\"}\0"s));
  EXPECT_FALSE(any("{\"type\":\"stop\"}\0garbage"s));
  EXPECT_FALSE(any("\0{\"type\":\"stop\"}"s));
  EXPECT_EQ(typeOf(R"({"type":"a\u0000b"})"), "a\0b"s);  // an escaped NUL is fine
}

TEST(AnyCommandDecoding, SurvivesDeepNestingAndHugeNumbers) {
  std::string deep = R"({"type":"stop","x":)" + std::string(200000, '[') + std::string(200000, ']') + "}";
  EXPECT_EQ(typeOf(deep), "stop");
  EXPECT_FALSE(any(std::string(200000, '[')));
  // Numbers must fit a double, even in members nobody reads.
  EXPECT_EQ(typeOf(R"({"type":"stop","n":)" + std::string(300, '9') + "}"), "stop");
  EXPECT_EQ(typeOf(R"({"type":"stop","n":)" + std::string(5000, '9') + "}"), "<malformed>");
  EXPECT_EQ(typeOf(R"({"type":"stop","n":1e999999})"), "<malformed>");
  EXPECT_EQ(typeOf(R"({"type":"stop","n":1e-999999})"), "stop");
}

TEST(StartCommandDecoding, TakesAllFourMembersAndIgnoresOthers) {
  auto cmd = start(R"({"type":"start","target":"window-42","includeMic":true,)"
                   R"("outputPath":"/r/t\u00e4ke.mp4","mode":"","extra":{"a":[1]}})");
  ASSERT_TRUE(cmd);
  EXPECT_EQ(*cmd, (StartCommand{"window-42", true, "/r/t\xC3\xA4ke.mp4", ""}));
  auto reordered = start(R"({"mode":"screen","outputPath":"o","includeMic":false,"target":"","type":"start"})");
  ASSERT_TRUE(reordered);
  EXPECT_EQ(*reordered, (StartCommand{"", false, "o", "screen"}));
}

TEST(StartCommandDecoding, AnyMissingWrongTypedOrNullMemberIsMalformed) {
  const std::string ok = R"("target":"","includeMic":false,"outputPath":"/o.mp4","mode":"")";
  ASSERT_TRUE(start("{" + ok + "}"));
  for (std::string_view bad : {
           R"({"type":"start"})",
           R"({"target":"","includeMic":false,"outputPath":"/o.mp4"})",
           R"({"target":"","includeMic":"true","outputPath":"/o.mp4","mode":""})",
           R"({"target":"","includeMic":1,"outputPath":"/o.mp4","mode":""})",
           R"({"target":"","includeMic":false,"outputPath":null,"mode":""})",
           R"({"target":3,"includeMic":false,"outputPath":"/o.mp4","mode":""})",
           R"({"target":"","includeMic":false,"outputPath":["/o.mp4"],"mode":""})",
           R"({"target":"","includeMic":false,"outputPath":"/o.mp4","mode":{}})",
       }) {
    EXPECT_FALSE(start(bad)) << bad;
  }
}

}  // namespace
}  // namespace vantor::app
