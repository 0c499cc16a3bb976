#pragma once
// Reads a "screenshotData" event back: Base64 to bytes, bytes to pixels.

#include <turbojpeg.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vantor::test {

// Strict standard Base64 (padding required, nothing else allowed); nothing
// when the text is not that.
inline std::optional<std::vector<uint8_t>> base64Decode(const std::string& text) {
  static constexpr std::string_view kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  // Padding only at the very end, one or two '=', and nothing else outside the alphabet.
  size_t padding = text.ends_with("==") ? 2 : text.ends_with("=") ? 1 : 0;
  if (text.size() % 4 != 0 || text.find_first_not_of(kAlphabet) < text.size() - padding) return std::nullopt;
  std::vector<uint8_t> out;
  uint32_t bits = 0;
  for (size_t i = 0; i < text.size() - padding; ++i) {
    bits = bits << 6 | uint32_t(kAlphabet.find(text[i]));
    if (i % 4 != 0) out.push_back(uint8_t(bits >> (6 - 2 * (i % 4))));
  }
  return out;
}

struct DecodedJpeg {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> bgrx;  // 4 bytes a pixel, rows back to back

  // The mean of B, G, R over a rectangle.
  struct Colour {
    double b, g, r;
  };
  Colour mean(int x, int y, int w, int h) const {
    Colour sum{0, 0, 0};
    for (int row = y; row < y + h; ++row)
      for (int col = x; col < x + w; ++col) {
        const uint8_t* p = &bgrx[(size_t(row) * width + col) * 4];
        sum.b += p[0], sum.g += p[1], sum.r += p[2];
      }
    double n = double(w) * h;
    return {sum.b / n, sum.g / n, sum.r / n};
  }
};

// Nothing when the bytes are not a JPEG file libjpeg-turbo can read.
inline std::optional<DecodedJpeg> decodeJpeg(const std::vector<uint8_t>& bytes) {
  tjhandle handle = tjInitDecompress();
  if (!handle) return std::nullopt;
  DecodedJpeg image;
  int subsampling = 0, colourspace = 0;
  bool read = tjDecompressHeader3(handle, bytes.data(), bytes.size(), &image.width, &image.height, &subsampling,
                                  &colourspace) == 0;
  if (read) image.bgrx.resize(size_t(image.width) * image.height * 4);
  read = read && tjDecompress2(handle, bytes.data(), bytes.size(), image.bgrx.data(), image.width, 0, image.height,
                               TJPF_BGRX, 0) == 0;
  tjDestroy(handle);
  return read ? std::optional(std::move(image)) : std::nullopt;
}

}  // namespace vantor::test
