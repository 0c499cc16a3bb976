// The input path before the controller: UTF-8 checks and trimming, cutting
// reads into lines, and decoding a line into a command.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/commands.h"
#include "app/line_splitter.h"
#include "util/utf8.h"

namespace vantor {
namespace {

using namespace std::string_literals;

TEST(Utf8, ValidityIsStrict) {
  for (std::string ok : {""s, "plain"s, "\xC3\x97"s, "\xE2\x80\x94"s, "\xF0\x9F\x8E\xA5"s, "\xF4\x8F\xBF\xBF"s, "a\0b"s})
    EXPECT_TRUE(utf8::isValid(ok)) << ok;
  // Stray bytes, truncations, overlong forms, a surrogate, above U+10FFFF, a bad continuation.
  for (const char* bad : {"\xFF", "\x80", "\xC3", "ok\xE2\x82", "\xC0\xAF", "\xE0\x80\xAF", "\xF0\x80\x80\xAF",
                          "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xC3x"})
    EXPECT_FALSE(utf8::isValid(bad)) << bad;
}

TEST(Utf8, TrimRemovesUnicodeWhiteSpaceAtBothEndsOnly) {
  const std::pair<const char*, const char*> cases[] = {
      {"  {\"a\":1}\r", "{\"a\":1}"}, {"\t\v\f x \x0D", "x"},
      {"\xE3\x80\x80x\xC2\xA0", "x"},                 // U+3000, U+00A0
      {"\xE2\x80\xA8x\xE2\x80\xA9", "x"},             // U+2028, U+2029
      {"\xC2\x85x\xE2\x80\x8A", "x"},                 // NEL, U+200A
      {" \r\n\t", ""}, {" a  b ", "a  b"},
      {"\xEF\xBB\xBFx", "\xEF\xBB\xBFx"},             // a BOM is not white space
      {"\xE2\x80\x8Bx", "\xE2\x80\x8Bx"},             // nor is a zero-width space
      {"x\xC3\x97", "x\xC3\x97"},                     // a multi-byte last character stays whole
  };
  for (auto [in, out] : cases) EXPECT_EQ(utf8::trim(in), out) << in;
}

struct Lines {
  std::vector<std::string> got;
  app::LineSplitter splitter{[this](std::string l) { got.push_back(std::move(l)); }};
};

TEST(LineSplitter, CutsCompleteLinesWhateverTheReadsAndDropsBlankOrInvalidOnes) {
  Lines c;
  c.splitter.append("{\"type\":\"st");
  EXPECT_TRUE(c.got.empty());
  c.splitter.append("op\"}\n\n\r\n   \n\t\xE3\x80\x80\n\xFF\xFE{}\nA\xC3\n ok \r\n{\"ty");
  EXPECT_EQ(c.got, (std::vector<std::string>{"{\"type\":\"stop\"}", "ok"}));
  EXPECT_EQ(c.splitter.pendingBytes(), 4u);  // a tail without its newline waits
  c.splitter.append(std::string("\0\xC3", 2));
  c.splitter.append("\x97\n");  // a character split across reads
  EXPECT_EQ(c.got.back(), std::string("{\"ty\0\xC3\x97", 7));

  std::string big(1 << 20, 'x');
  for (size_t i = 0; i < big.size(); i += 1000) c.splitter.append(std::string_view(big).substr(i, 1000));
  c.splitter.append("\nnext\n");
  ASSERT_EQ(c.got.size(), 5u);
  EXPECT_EQ(c.got[3], big);
  EXPECT_EQ(c.got[4], "next");
  EXPECT_EQ(c.splitter.pendingBytes(), 0u);
}

// The decoded type, "<malformed>", or "<malformed start>" for a start
// command whose own members do not decode.
std::string decode(std::string_view line) {
  auto fields = app::parseCommandFields(line);
  auto cmd = fields ? app::decodeAnyCommand(*fields) : std::nullopt;
  if (!cmd) return "<malformed>";
  if (cmd->type == "start" && !app::decodeStartCommand(*fields)) return "<malformed start>";
  return cmd->type;
}

TEST(CommandDecoding, NeedsOneJsonObjectWithAStringTypeAtTheTop) {
  const std::pair<std::string, std::string> cases[] = {
      {R"({"type":"stop"})", "stop"},
      {R"({ "x" : [1, {"type": 2}], "type" : "Stop" })", "Stop"},
      {R"({"type":""})", ""},
      {R"({"type":"stop","inner":{"type":"pause"}})", "stop"},
      {R"({"type":"stop","type":"pause"})", "pause"},  // the last member wins
      {R"({"type":"a\/b\u00e9\ud83c\udfa5"})", "a/b\xC3\xA9\xF0\x9F\x8E\xA5"},
      {R"({"type":"a\u0000b"})", "a\0b"s},             // an escaped NUL is fine, a raw one is not
      {R"({"type":"stop","x":)" + std::string(200000, '[') + std::string(200000, ']') + "}", "stop"},
      {R"({"type":"stop","n":)" + std::string(300, '9') + "}", "stop"},
      {R"({"type":"stop","n":1e-999999})", "stop"},
      // Numbers must fit a double, even in members nobody reads.
      {R"({"type":"stop","n":)" + std::string(5000, '9') + "}", "<malformed>"},
      {R"({"type":"stop","n":1e999999})", "<malformed>"},
      {std::string(200000, '['), "<malformed>"},
      {"{\"type\":\"stop\"}\0"s, "<malformed>"},
      {"{\"type\":\"stop\"}\0garbage"s, "<malformed>"},
      {"\0{\"type\":\"stop\"}"s, "<malformed>"},
      {"{\"type\":\xE3\x80\x80\"stop\"}", "<malformed>"},  // U+3000 is white space only around the line
      {R"({"type":"\ud800"})", "<malformed>"},            // a lone surrogate
      {"{\"type\":\"a\tb\"}", "<malformed>"},             // a raw control character
      {R"({"inner":{"type":"stop"}})", "<malformed>"},
  };
  for (auto& [line, type] : cases) EXPECT_EQ(decode(line), type) << line.substr(0, 80);
  for (std::string_view bad : {R"({})", R"([{"type":"stop"}])", R"("stop")", "3", "null", R"({"type":1})",
                               R"({"type":null})", R"({"type":["stop"]})", R"({"type":{"type":"stop"}})",
                               R"({"type":"stop"} x)", R"({"type":"stop",})", "{'type':'stop'}", R"({"type":"st)"})
    EXPECT_EQ(decode(bad), "<malformed>") << bad;
}

TEST(CommandDecoding, StartNeedsAllFourMembersOfTheirTypesAndIgnoresOthers) {
  auto start = [](std::string_view line) { return app::decodeStartCommand(*app::parseCommandFields(line)); };
  EXPECT_EQ(start(R"({"type":"start","target":"window-42","includeMic":true,)"
                  R"("outputPath":"/r/t\u00e4ke.mp4","mode":"","extra":{"a":[1]}})"),
            (StartCommand{"window-42", true, "/r/t\xC3\xA4ke.mp4", ""}));
  EXPECT_EQ(start(R"({"mode":"screen","outputPath":"o","includeMic":false,"target":"","type":"start"})"),
            (StartCommand{"", false, "o", "screen"}));
  for (std::string_view bad : {
           R"({"type":"start"})",
           R"({"target":"","includeMic":false,"outputPath":"/o.mp4"})",
           R"({"target":"","includeMic":"true","outputPath":"/o.mp4","mode":""})",
           R"({"target":"","includeMic":1,"outputPath":"/o.mp4","mode":""})",
           R"({"target":"","includeMic":false,"outputPath":null,"mode":""})",
           R"({"target":3,"includeMic":false,"outputPath":"/o.mp4","mode":""})",
           R"({"target":"","includeMic":false,"outputPath":["/o.mp4"],"mode":""})",
           R"({"target":"","includeMic":false,"outputPath":"/o.mp4","mode":{}})",
       })
    EXPECT_FALSE(start(bad)) << bad;
}

}  // namespace
}  // namespace vantor
