#include "app/line_splitter.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vantor::app {
namespace {

struct Collect {
  std::vector<std::string> lines;
  LineSplitter splitter{[this](std::string l) { lines.push_back(std::move(l)); }};
};

TEST(LineSplitter, HandsOutCompleteLinesInOrderWhateverTheReadBoundaries) {
  Collect c;
  c.splitter.append("{\"type\":\"st");
  EXPECT_TRUE(c.lines.empty());
  c.splitter.append("op\"}\n{\"type\":\"pause\"}\n{\"ty");
  EXPECT_EQ(c.lines, (std::vector<std::string>{"{\"type\":\"stop\"}", "{\"type\":\"pause\"}"}));
  c.splitter.append("pe\":\"resume\"}\r\n");
  ASSERT_EQ(c.lines.size(), 3u);
  EXPECT_EQ(c.lines[2], "{\"type\":\"resume\"}");
  EXPECT_EQ(c.splitter.pendingBytes(), 0u);
}

TEST(LineSplitter, DropsEmptyBlankAndInvalidLinesSilently) {
  Collect c;
  c.splitter.append("\n\r\n   \n\t\xE3\x80\x80\n\xFF\xFE{}\nA\xC3\n ok \n");
  EXPECT_EQ(c.lines, std::vector<std::string>{"ok"});
}

TEST(LineSplitter, HoldsAnUnterminatedTailUntilItsNewline) {
  Collect c;
  c.splitter.append("{\"type\":\"stop\"}");
  EXPECT_TRUE(c.lines.empty());
  EXPECT_EQ(c.splitter.pendingBytes(), 15u);
  c.splitter.append("\n");
  EXPECT_EQ(c.lines.size(), 1u);
}

TEST(LineSplitter, KeepsLongLinesWholeAcrossManySmallReads) {
  Collect c;
  std::string big(1 << 20, 'x');
  for (size_t i = 0; i < big.size(); i += 1000) c.splitter.append(std::string_view(big).substr(i, 1000));
  c.splitter.append("\nnext\n");
  ASSERT_EQ(c.lines.size(), 2u);
  EXPECT_EQ(c.lines[0], big);
  EXPECT_EQ(c.lines[1], "next");
}

TEST(LineSplitter, KeepsNulBytesAndSplitsMultiByteCharactersAcrossReads) {
  Collect c;
  c.splitter.append(std::string("a\0b\xC3", 4));
  c.splitter.append("\x97\n");
  ASSERT_EQ(c.lines.size(), 1u);
  EXPECT_EQ(c.lines[0], std::string("a\0b\xC3\x97", 5));
}

}  // namespace
}  // namespace vantor::app
