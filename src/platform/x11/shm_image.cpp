#include "platform/x11/shm_image.h"

#include <sys/ipc.h>
#include <sys/shm.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace vantor::platform::x11 {

ShmSegment::ShmSegment(const Connection& c, size_t bytes) : size_(bytes) {
  if (!c.extensions().shm) throw x11Error(kMissingExtension, "X server " + c.name() + " has no MIT-SHM extension");
  int id = shmget(IPC_PRIVATE, bytes == 0 ? 1 : bytes, IPC_CREAT | 0600);
  if (id < 0) throw x11Error(kGrabFailed, std::string("cannot create a shared memory segment: ") + std::strerror(errno));
  void* p = shmat(id, nullptr, 0);
  if (p == reinterpret_cast<void*>(-1)) {
    int err = errno;
    shmctl(id, IPC_RMID, nullptr);
    throw x11Error(kGrabFailed, std::string("cannot map a shared memory segment: ") + std::strerror(err));
  }
  data_ = static_cast<uint8_t*>(p);
  seg_ = xcb_generate_id(c.get());
  Reply<xcb_generic_error_t> error(xcb_request_check(c.get(), xcb_shm_attach_checked(c.get(), seg_, id, 0)));
  // Once attached (or refused) nobody else needs the id.
  shmctl(id, IPC_RMID, nullptr);
  if (error) {
    shmdt(data_);
    throw x11Error(kGrabFailed, "X server " + c.name() + " cannot attach shared memory (is it on another machine?)");
  }
  c.check();
  attached_ = true;
}

ShmSegment::~ShmSegment() {
  if (data_) shmdt(data_);
}

void ShmSegment::detach(const Connection& c) {
  if (attached_ && !c.broken()) xcb_shm_detach(c.get(), seg_);
  attached_ = false;
}

bool grabInto(const Connection& c, xcb_drawable_t drawable, int x, int y, int width, int height,
              const ShmSegment& into) {
  if (static_cast<size_t>(width) * static_cast<size_t>(height) * 4 > into.size()) return false;
  auto cookie = xcb_shm_get_image(c.get(), drawable, static_cast<int16_t>(x), static_cast<int16_t>(y),
                                  static_cast<uint16_t>(width), static_cast<uint16_t>(height), ~0u,
                                  XCB_IMAGE_FORMAT_Z_PIXMAP, into.seg(), 0);
  xcb_generic_error_t* raw = nullptr;
  Reply<xcb_shm_get_image_reply_t> reply(xcb_shm_get_image_reply(c.get(), cookie, &raw));
  Reply<xcb_generic_error_t> error(raw);
  c.check();
  return reply != nullptr;
}

}  // namespace vantor::platform::x11
