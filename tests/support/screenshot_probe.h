#pragma once
// Reads a "screenshotData" event back: Base64 to bytes, bytes to pixels.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vantor::test {

// Strict standard Base64 (padding required, nothing else allowed); nothing
// when the text is not that.
std::optional<std::vector<uint8_t>> base64Decode(const std::string& text);

struct DecodedJpeg {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> bgrx;  // 4 bytes a pixel, rows back to back

  // The mean of B, G, R over a rectangle.
  struct Colour {
    double b, g, r;
  };
  Colour mean(int x, int y, int w, int h) const;
};

// Nothing when the bytes are not a JPEG file libjpeg-turbo can read.
std::optional<DecodedJpeg> decodeJpeg(const std::vector<uint8_t>& bytes);

}  // namespace vantor::test
