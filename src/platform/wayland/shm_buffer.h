#pragma once
// A wl_buffer over memory we share with the compositor (memfd), for
// screencopy to write into.

#include <wayland-client.h>

#include <cstddef>
#include <cstdint>

#include "platform/video_frame.h"

namespace vantor::platform::wayland {

class ShmBuffer {
 public:
  // Throws Error (kCopyFailed) when the memory cannot be had.
  ShmBuffer(wl_shm* shm, uint32_t format, int width, int height, int stride);
  ~ShmBuffer();
  ShmBuffer(const ShmBuffer&) = delete;
  ShmBuffer& operator=(const ShmBuffer&) = delete;

  bool fits(uint32_t format, int width, int height, int stride) const {
    return format == format_ && width == pixels_.width && height == pixels_.height && stride == pixels_.stride;
  }
  wl_buffer* buffer() const { return buffer_; }
  const PixelBuffer& pixels() const { return pixels_; }

 private:
  uint32_t format_;
  PixelBuffer pixels_;
  size_t size_ = 0;
  wl_buffer* buffer_ = nullptr;
};

}  // namespace vantor::platform::wayland
