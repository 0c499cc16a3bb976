// The text the host and people read: event lines, log lines, and the Base64
// of screenshots.

#include "app/event_writer.h"

#include <gtest/gtest.h>

#include "support/capture_sinks.h"
#include "support/screenshot_probe.h"
#include "util/base64.h"
#include "util/json_text.h"
#include "util/log.h"

namespace vantor {
namespace {

using nlohmann::json;

TEST(EventLines, AreCompactWithSlashesEscapedAndUtf8KeptAndLogLinesCarryTheirLevel) {
  EXPECT_EQ(toCompactJson({{"type", "finished"}, {"videoPath", "/r/caf\xC3\xA9 \xE2\x86\x92/t.mp4"}}),
            R"({"type":"finished","videoPath":"\/r\/caf)" "\xC3\xA9 \xE2\x86\x92" R"(\/t.mp4"})");
  EXPECT_EQ(toCompactJson({{"a", "q\"b\\c\n\x01"}, {"n", 1.5}, {"w", 3}}), R"({"a":"q\"b\\c\n\u0001","n":1.5,"w":3})");

  test::CapturedOutput out;
  emitEvent({{"type", "finished"}, {"videoPath", "/r/\xFF.mp4"}});  // not UTF-8: nothing at all
  app::EventLines events;
  events.error("not recording");
  events.status("recording");
  events.elapsed(1.25);
  events.micLevel(0.5);
  events.screenshot(2.5, "/9j/+A==");
  events.takeFailed("sound", "disk full");
  EXPECT_EQ(out.eventLines(), (std::vector<std::string>{
                                  R"({"message":"not recording","type":"error"})",
                                  R"({"phase":"recording","type":"status"})",
                                  R"({"seconds":1.25,"type":"elapsed"})",
                                  R"({"type":"micLevel","value":0.5})",
                                  R"({"imageBase64":"\/9j\/+A==","timestamp":2.5,"type":"screenshotData"})",
                                  R"({"message":"disk full","part":"sound","type":"takeFailed"})"}));
  log(LogLevel::info, "vantor: paused");
  logError("vantor: malformed JSON: {x}");
  EXPECT_EQ(out.logLines(), (std::vector<std::string>{"[INFO] vantor: paused", "[ERROR] vantor: malformed JSON: {x}"}));
}

TEST(Base64, EncodesTheStandardVectorsAndEveryByte) {
  auto encode = [](std::string_view s) { return base64Encode({reinterpret_cast<const uint8_t*>(s.data()), s.size()}); };
  const std::pair<const char*, const char*> vectors[] = {{"", ""},         {"f", "Zg=="},     {"fo", "Zm8="},
                                                         {"foo", "Zm9v"},  {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="},
                                                         {"foobar", "Zm9vYmFy"}};
  for (auto [in, out] : vectors) EXPECT_EQ(encode(in), out);
  EXPECT_EQ(base64Encode(std::vector<uint8_t>{0xFB, 0xFF}), "+/8=");
  std::vector<uint8_t> all(256);
  for (int i = 0; i < 256; ++i) all[i] = uint8_t(i);
  EXPECT_EQ(test::base64Decode(base64Encode(all)), all);
}

}  // namespace
}  // namespace vantor
