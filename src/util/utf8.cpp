#include "util/utf8.h"

#include <cstdint>

namespace vantor::utf8 {
namespace {

bool isWhiteSpace(char32_t c) {
  switch (c) {
    case 0x09: case 0x0A: case 0x0B: case 0x0C: case 0x0D: case 0x20:
    case 0x85: case 0xA0: case 0x1680: case 0x2028: case 0x2029:
    case 0x202F: case 0x205F: case 0x3000:
      return true;
    default:
      return c >= 0x2000 && c <= 0x200A;
  }
}

// Decodes the code point that starts at `i` in valid UTF-8 and returns its length.
int decodeAt(std::string_view s, size_t i, char32_t& out) {
  auto b = static_cast<uint8_t>(s[i]);
  int len = b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
  char32_t c = len == 1 ? b : b & (0x7F >> len);
  for (int k = 1; k < len; ++k) c = (c << 6) | (static_cast<uint8_t>(s[i + k]) & 0x3F);
  out = c;
  return len;
}

// Start of the code point that ends just before `end` in valid UTF-8.
size_t previousStart(std::string_view s, size_t end) {
  size_t i = end - 1;
  while (i > 0 && (static_cast<uint8_t>(s[i]) & 0xC0) == 0x80) --i;
  return i;
}

}  // namespace

bool isValid(std::string_view s) {
  const auto* p = reinterpret_cast<const uint8_t*>(s.data());
  const auto* end = p + s.size();
  while (p < end) {
    uint8_t b = *p;
    if (b < 0x80) { ++p; continue; }
    int len;
    uint8_t lo = 0x80, hi = 0xBF;  // allowed range of the second byte
    if (b >= 0xC2 && b <= 0xDF) len = 2;
    else if (b == 0xE0) { len = 3; lo = 0xA0; }
    else if (b >= 0xE1 && b <= 0xEC) len = 3;
    else if (b == 0xED) { len = 3; hi = 0x9F; }  // excludes surrogates
    else if (b >= 0xEE && b <= 0xEF) len = 3;
    else if (b == 0xF0) { len = 4; lo = 0x90; }
    else if (b >= 0xF1 && b <= 0xF3) len = 4;
    else if (b == 0xF4) { len = 4; hi = 0x8F; }  // nothing above U+10FFFF
    else return false;
    if (end - p < len) return false;
    if (p[1] < lo || p[1] > hi) return false;
    for (int k = 2; k < len; ++k)
      if ((p[k] & 0xC0) != 0x80) return false;
    p += len;
  }
  return true;
}

std::string_view trim(std::string_view s) {
  size_t begin = 0;
  while (begin < s.size()) {
    char32_t c;
    int len = decodeAt(s, begin, c);
    if (!isWhiteSpace(c)) break;
    begin += len;
  }
  size_t end = s.size();
  while (end > begin) {
    size_t start = previousStart(s, end);
    char32_t c;
    decodeAt(s, start, c);
    if (!isWhiteSpace(c)) break;
    end = start;
  }
  return s.substr(begin, end - begin);
}

}  // namespace vantor::utf8
