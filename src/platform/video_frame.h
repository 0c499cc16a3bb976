#pragma once
// Images and frames as the capture platform hands them over.

#include <chrono>
#include <cstdint>
#include <memory>

namespace vantor::platform {

// 32-bit pixels in memory order B, G, R, X. The fourth byte is undefined (X
// servers leave garbage there), so consumers treat it as padding.
struct PixelBuffer {
  int width = 0;
  int height = 0;
  int stride = 0;  // bytes per row, at least 4 × width
  uint8_t* data = nullptr;

  const uint8_t* row(int y) const { return data + static_cast<size_t>(y) * stride; }
  uint8_t* row(int y) { return data + static_cast<size_t>(y) * stride; }
};

// An image that owns (or shares) its pixels. Pooled images return their
// memory to the pool when the last reference goes.
using ImageRef = std::shared_ptr<const PixelBuffer>;

// Allocates a standalone image, 4-byte pixels, rows 64-byte aligned.
std::shared_ptr<PixelBuffer> makeImage(int width, int height);

// One frame of a stream.
struct VideoFrame {
  bool isValid = true;
  // Monotonic (steady clock) time at which the content was grabbed.
  std::chrono::steady_clock::time_point presentationTime;
  ImageRef image;  // may be empty: a frame without an image buffer
  uint64_t index = 0;  // position in the stream, counting from 0, for diagnostics
};

using FrameRef = std::shared_ptr<const VideoFrame>;

}  // namespace vantor::platform
