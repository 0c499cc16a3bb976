#pragma once
// A page of screen-like content scrolling by: the 1920x1080 frames the media
// benchmarks encode, each one different from the one before.

#include <cstdint>
#include <memory>

#include "platform/video_frame.h"

namespace vantor::bench {

using vantor::platform::PixelBuffer;

constexpr int kWidth = 1920, kHeight = 1080;
constexpr int kScrollRows = 8;
constexpr int kPages = 64;  // distinct frames before the scroll wraps

// A page of screen-like content: light background, lines of dark "words",
// a few coloured panels. Tall enough to scroll through kPages frames.
class ScrollingDocument {
 public:
  ScrollingDocument() : image_(vantor::platform::makeImage(kWidth, kHeight + kScrollRows * kPages)) {
    uint32_t seed = 12345;
    auto next = [&] { return seed = seed * 1664525u + 1013904223u; };
    for (int y = 0; y < image_->height; ++y) {
      uint8_t* row = image_->row(y);
      bool textLine = (y / 6) % 4 != 3;  // 18 rows of text, a 6-row gap
      int x = 0;
      while (x < kWidth) {
        int word = 20 + int(next() % 60), gap = 6 + int(next() % 10);
        for (int i = 0; i < word + gap && x < kWidth; ++i, ++x) {
          // Glyph-like strokes: a fixed pattern inside each word.
          bool ink = textLine && i < word && ((i ^ (y % 6) * 3) % 5) < 2;
          uint8_t v = ink ? 40 : 245;
          row[x * 4 + 0] = v;
          row[x * 4 + 1] = v;
          row[x * 4 + 2] = v;
          row[x * 4 + 3] = 0;
        }
      }
      // Panels: a blue sidebar and an orange banner every few hundred rows.
      for (int px = 0; px < 240; ++px) {
        row[px * 4 + 0] = 200;
        row[px * 4 + 1] = 120;
        row[px * 4 + 2] = 40;
      }
      if (y % 400 < 60)
        for (int px = 600; px < 1500; ++px) {
          row[px * 4 + 0] = 30;
          row[px * 4 + 1] = 140;
          row[px * 4 + 2] = 250;
        }
    }
  }

  // Frame n: a 1920x1080 view scrolled n × kScrollRows rows down, no copy.
  PixelBuffer frame(int n) const {
    int top = (n % kPages) * kScrollRows;
    return PixelBuffer{kWidth, kHeight, image_->stride, image_->data + size_t(top) * image_->stride};
  }

 private:
  std::shared_ptr<PixelBuffer> image_;
};

}  // namespace vantor::bench
