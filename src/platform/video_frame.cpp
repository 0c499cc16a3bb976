#include "platform/video_frame.h"

#include <cstdlib>

namespace vantor::platform {

std::shared_ptr<PixelBuffer> makeImage(int width, int height) {
  int stride = (width * 4 + 63) / 64 * 64;
  size_t bytes = static_cast<size_t>(stride) * static_cast<size_t>(height);
  auto* data = static_cast<uint8_t*>(std::aligned_alloc(64, bytes == 0 ? 64 : (bytes + 63) / 64 * 64));
  auto image = std::shared_ptr<PixelBuffer>(new PixelBuffer{width, height, stride, data}, [](PixelBuffer* p) {
    std::free(p->data);
    delete p;
  });
  return image;
}

}  // namespace vantor::platform
