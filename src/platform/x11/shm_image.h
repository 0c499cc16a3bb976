#pragma once
// Pixels shared with the X server through MIT-SHM: the server writes a grab
// straight into our memory, with no copy through the socket.

#include <xcb/shm.h>
#include <xcb/xproto.h>

#include <cstddef>
#include <cstdint>

#include "platform/video_frame.h"
#include "platform/x11/connection.h"

namespace vantor::platform::x11 {

// A System V segment attached to one connection. The segment is marked for
// removal as soon as the server has attached it, so nothing outlives the
// process. The memory stays mapped until this object goes, even after the
// connection closes; the server detaches when the connection closes.
class ShmSegment {
 public:
  // Throws Error (kGrabFailed) when the segment cannot be made or attached.
  ShmSegment(const Connection& c, size_t bytes);
  ~ShmSegment();
  ShmSegment(const ShmSegment&) = delete;
  ShmSegment& operator=(const ShmSegment&) = delete;

  uint8_t* data() const { return data_; }
  size_t size() const { return size_; }
  xcb_shm_seg_t seg() const { return seg_; }
  // Lets the server forget the segment early (for segments replaced while
  // the connection stays open).
  void detach(const Connection& c);

 private:
  uint8_t* data_ = nullptr;
  size_t size_ = 0;
  xcb_shm_seg_t seg_ = 0;
  bool attached_ = false;
};

// Grabs `width`×`height` at (x, y) of `drawable` into `into` as 32-bit BGRX
// rows of exactly 4×width bytes. Returns false when the drawable went away or
// the rectangle no longer fits in it; throws Error when the connection broke.
bool grabInto(const Connection& c, xcb_drawable_t drawable, int x, int y, int width, int height,
              const ShmSegment& into);

}  // namespace vantor::platform::x11
