#include "platform/wayland/shm_buffer.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/wayland/connection.h"

namespace vantor::platform::wayland {

ShmBuffer::ShmBuffer(wl_shm* shm, uint32_t format, int width, int height, int stride)
    : format_(format), pixels_{width, height, stride, nullptr}, size_(size_t(stride) * size_t(height)) {
  int fd = memfd_create("vantor-screencopy", MFD_CLOEXEC);
  if (fd < 0 || ftruncate(fd, off_t(size_)) != 0) {
    int error = errno;
    if (fd >= 0) close(fd);
    throw waylandError(kCopyFailed, std::string("cannot make a shared buffer: ") + std::strerror(error));
  }
  void* data = mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (data == MAP_FAILED) {
    int error = errno;
    close(fd);
    throw waylandError(kCopyFailed, std::string("cannot map a shared buffer: ") + std::strerror(error));
  }
  pixels_.data = static_cast<uint8_t*>(data);
  wl_shm_pool* pool = wl_shm_create_pool(shm, fd, int32_t(size_));
  buffer_ = wl_shm_pool_create_buffer(pool, 0, width, height, stride, format);
  wl_shm_pool_destroy(pool);  // the buffer keeps what it needs
  close(fd);
}

ShmBuffer::~ShmBuffer() {
  if (buffer_) wl_buffer_destroy(buffer_);
  munmap(pixels_.data, size_);
}

}  // namespace vantor::platform::wayland
