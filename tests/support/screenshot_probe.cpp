#include "support/screenshot_probe.h"

#include <turbojpeg.h>

#include <string_view>

namespace vantor::test {

std::optional<std::vector<uint8_t>> base64Decode(const std::string& text) {
  static constexpr std::string_view kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  if (text.size() % 4 != 0) return std::nullopt;
  std::vector<uint8_t> out;
  out.reserve(text.size() / 4 * 3);
  for (size_t i = 0; i < text.size(); i += 4) {
    uint32_t v = 0;
    int padding = 0;
    for (size_t j = 0; j < 4; ++j) {
      char c = text[i + j];
      bool last = i + 4 == text.size();
      if (c == '=' && last && j >= 2 && (j == 3 || text[i + 3] == '=')) {
        ++padding;
        v <<= 6;
        continue;
      }
      size_t k = kAlphabet.find(c);
      if (k == kAlphabet.npos || padding) return std::nullopt;
      v = v << 6 | uint32_t(k);
    }
    out.push_back(uint8_t(v >> 16));
    if (padding < 2) out.push_back(uint8_t(v >> 8));
    if (padding < 1) out.push_back(uint8_t(v));
  }
  return out;
}

DecodedJpeg::Colour DecodedJpeg::mean(int x, int y, int w, int h) const {
  Colour sum{0, 0, 0};
  for (int row = y; row < y + h; ++row)
    for (int col = x; col < x + w; ++col) {
      const uint8_t* p = &bgrx[(size_t(row) * width + col) * 4];
      sum.b += p[0];
      sum.g += p[1];
      sum.r += p[2];
    }
  double n = double(w) * h;
  return {sum.b / n, sum.g / n, sum.r / n};
}

std::optional<DecodedJpeg> decodeJpeg(const std::vector<uint8_t>& bytes) {
  tjhandle handle = tjInitDecompress();
  if (!handle) return std::nullopt;
  DecodedJpeg image;
  int subsampling = 0, colourspace = 0;
  std::optional<DecodedJpeg> result;
  if (tjDecompressHeader3(handle, bytes.data(), bytes.size(), &image.width, &image.height, &subsampling,
                          &colourspace) == 0) {
    image.bgrx.resize(size_t(image.width) * image.height * 4);
    if (tjDecompress2(handle, bytes.data(), bytes.size(), image.bgrx.data(), image.width, 0, image.height, TJPF_BGRX,
                      0) == 0)
      result = std::move(image);
  }
  tjDestroy(handle);
  return result;
}

}  // namespace vantor::test
