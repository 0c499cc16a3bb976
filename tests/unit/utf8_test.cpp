#include "util/utf8.h"

#include <gtest/gtest.h>

#include <string>

namespace vantor::utf8 {
namespace {

TEST(Utf8Validity, AcceptsWellFormedTextOfEveryLength) {
  EXPECT_TRUE(isValid(""));
  EXPECT_TRUE(isValid("plain ascii"));
  EXPECT_TRUE(isValid("Display (1512\xC3\x97" "982)"));     // ×, 2 bytes
  EXPECT_TRUE(isValid("\xE2\x80\x94 \xE2\x86\x92"));        // — →, 3 bytes
  EXPECT_TRUE(isValid("\xF0\x9F\x8E\xA5"));                 // U+1F3A5, 4 bytes
  EXPECT_TRUE(isValid("\xF4\x8F\xBF\xBF"));                 // U+10FFFF
  EXPECT_TRUE(isValid(std::string("a\0b", 3)));             // NUL is a code point
}

TEST(Utf8Validity, RejectsMalformedSequences) {
  EXPECT_FALSE(isValid("\xFF"));
  EXPECT_FALSE(isValid("\x80"));                  // lone continuation
  EXPECT_FALSE(isValid("\xC3"));                  // truncated at end
  EXPECT_FALSE(isValid("\xE2\x80"));
  EXPECT_FALSE(isValid("\xC0\xAF"));              // overlong "/"
  EXPECT_FALSE(isValid("\xE0\x80\xAF"));          // overlong, 3 bytes
  EXPECT_FALSE(isValid("\xF0\x80\x80\xAF"));      // overlong, 4 bytes
  EXPECT_FALSE(isValid("\xED\xA0\x80"));          // surrogate U+D800
  EXPECT_FALSE(isValid("\xF4\x90\x80\x80"));      // above U+10FFFF
  EXPECT_FALSE(isValid("\xC3x"));                 // bad continuation
  EXPECT_FALSE(isValid("ok\xE2\x82"));
}

TEST(Utf8Trim, RemovesUnicodeWhiteSpaceAndLineBreaksAtBothEnds) {
  EXPECT_EQ(trim("  {\"a\":1}\r"), "{\"a\":1}");
  EXPECT_EQ(trim("\t\v\f x \x0D"), "x");
  EXPECT_EQ(trim("\xE3\x80\x80x\xC2\xA0"), "x");              // U+3000, U+00A0
  EXPECT_EQ(trim("\xE2\x80\xA8x\xE2\x80\xA9"), "x");          // U+2028, U+2029
  EXPECT_EQ(trim("\xC2\x85x\xE2\x80\x8A"), "x");              // NEL, U+200A
  EXPECT_EQ(trim(" \r\n\t"), "");
  EXPECT_EQ(trim(""), "");
}

TEST(Utf8Trim, KeepsInteriorSpaceAndNonSpaceFormatCharacters) {
  EXPECT_EQ(trim(" a  b "), "a  b");
  EXPECT_EQ(trim("\xEF\xBB\xBFx"), "\xEF\xBB\xBFx");  // BOM is not white space
  EXPECT_EQ(trim("\xE2\x80\x8Bx"), "\xE2\x80\x8Bx");  // zero-width space neither
  EXPECT_EQ(trim("x\xC3\x97"), "x\xC3\x97");          // multi-byte last char kept whole
}

}  // namespace
}  // namespace vantor::utf8
