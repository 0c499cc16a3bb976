#include "platform/jpeg.h"

#include <turbojpeg.h>

#include <memory>

namespace vantor {

namespace {

struct CompressorDeleter {
  void operator()(void* handle) const { tjDestroy(handle); }
};
struct BufferDeleter {
  void operator()(unsigned char* buffer) const { tjFree(buffer); }
};

}  // namespace

std::optional<std::vector<uint8_t>> encodeJpeg(const platform::PixelBuffer& image, int quality) {
  if (image.width <= 0 || image.height <= 0 || !image.data || image.stride < 4 * image.width) return std::nullopt;
  // One compressor per thread: making one allocates the encoder's tables.
  thread_local std::unique_ptr<void, CompressorDeleter> compressor(tjInitCompress());
  if (!compressor) return std::nullopt;
  unsigned char* out = nullptr;
  unsigned long size = 0;
  // The fourth byte of a pixel is padding (TJPF_BGRX ignores it). The fast
  // integer DCT saves a few per cent (most of the time is entropy coding) and
  // at quality 70 its loss of precision is far below the quantisation's.
  int r = tjCompress2(compressor.get(), image.data, image.width, image.stride, image.height, TJPF_BGRX, &out, &size,
                      TJSAMP_420, quality, TJFLAG_FASTDCT);
  std::unique_ptr<unsigned char, BufferDeleter> owned(out);
  if (r != 0 || !out || size == 0) return std::nullopt;
  return std::vector<uint8_t>(out, out + size);
}

}  // namespace vantor
