#include "platform/wayland/screen_copy.h"

#include <libyuv/convert_argb.h>
#include <libyuv/planar_functions.h>

#include <utility>

#include "wlr-screencopy-unstable-v1-client-protocol.h"

namespace vantor::platform::wayland {
namespace {

// Formats whose bytes are B, G, R, X in memory, as frames are; and R, G, B, X, which are turned around.
bool isBgrx(uint32_t f) { return f == WL_SHM_FORMAT_XRGB8888 || f == WL_SHM_FORMAT_ARGB8888; }
bool isRgbx(uint32_t f) { return f == WL_SHM_FORMAT_XBGR8888 || f == WL_SHM_FORMAT_ABGR8888; }

}  // namespace

void ScreenCopy::request(const Output& output, const std::optional<Region>& region, bool withDamage) {
  abandon();
  static const zwlr_screencopy_frame_v1_listener listener = {
      .buffer = onBuffer, .flags = onFlags, .ready = onReady, .failed = onFailed,
      .damage = onDamage, .linux_dmabuf = onDmabuf, .buffer_done = onBufferDone,
  };
  const int32_t overlayCursor = showsCursor_ ? 1 : 0;
  frame_ = region ? zwlr_screencopy_manager_v1_capture_output_region(c_.screencopy(), overlayCursor, output.proxy,
                                                                     region->x, region->y, region->width,
                                                                     region->height)
                  : zwlr_screencopy_manager_v1_capture_output(c_.screencopy(), overlayCursor, output.proxy);
  zwlr_screencopy_frame_v1_add_listener(frame_, &listener, this);
  state_ = State::pending;
  withDamage_ = withDamage && c_.screencopyVersion() >= 2;
  yInvert_ = false;
  offer_.reset();
  wl_display_flush(c_.display());
}

void ScreenCopy::abandon() {
  if (frame_) zwlr_screencopy_frame_v1_destroy(frame_);
  frame_ = nullptr;
  state_ = State::idle;
}

void ScreenCopy::copyNow(const Output& output, const std::optional<Region>& region) {
  request(output, region, false);
  while (state_ == State::pending)
    if (wl_display_dispatch(c_.display()) < 0)
      throw waylandError(kConnectionLost, "lost the connection to the Wayland compositor");
  if (state_ != State::ready) throw waylandError(kCopyFailed, "the compositor did not copy output " + output.name);
}

void ScreenCopy::onBuffer(void* data, zwlr_screencopy_frame_v1*, uint32_t format, uint32_t width, uint32_t height,
                          uint32_t stride) {
  auto* self = static_cast<ScreenCopy*>(data);
  // The first offer we can read; one in our own order wins over the others.
  if (!isBgrx(format) && !isRgbx(format)) return;
  if (self->offer_ && isBgrx(self->offer_->format)) return;
  self->offer_ = Offer{format, int(width), int(height), int(stride)};
  if (self->c_.screencopyVersion() < 3) self->copy();  // no buffer_done before version 3
}

void ScreenCopy::onBufferDone(void* data, zwlr_screencopy_frame_v1*) { static_cast<ScreenCopy*>(data)->copy(); }

void ScreenCopy::copy() {
  if (!offer_) {
    state_ = State::failed;  // nothing offered that we read
    return;
  }
  const Offer& o = *offer_;
  if (!buffer_ || !buffer_->fits(o.format, o.width, o.height, o.stride))
    buffer_ = std::make_unique<ShmBuffer>(c_.shm(), o.format, o.width, o.height, o.stride);
  if (withDamage_) zwlr_screencopy_frame_v1_copy_with_damage(frame_, buffer_->buffer());
  else zwlr_screencopy_frame_v1_copy(frame_, buffer_->buffer());
}

void ScreenCopy::onFlags(void* data, zwlr_screencopy_frame_v1*, uint32_t flags) {
  static_cast<ScreenCopy*>(data)->yInvert_ = flags & ZWLR_SCREENCOPY_FRAME_V1_FLAGS_Y_INVERT;
}

void ScreenCopy::onReady(void* data, zwlr_screencopy_frame_v1*, uint32_t, uint32_t, uint32_t) {
  auto* self = static_cast<ScreenCopy*>(data);
  self->readyAt_ = std::chrono::steady_clock::now();
  self->state_ = State::ready;
  self->converted_ = false;
  zwlr_screencopy_frame_v1_destroy(std::exchange(self->frame_, nullptr));
}

void ScreenCopy::onFailed(void* data, zwlr_screencopy_frame_v1*) {
  auto* self = static_cast<ScreenCopy*>(data);
  self->state_ = State::failed;
  zwlr_screencopy_frame_v1_destroy(std::exchange(self->frame_, nullptr));
}

const PixelBuffer& ScreenCopy::pixels() {
  const PixelBuffer& raw = buffer_->pixels();
  if (isBgrx(offer_->format) && !yInvert_) return raw;
  if (!converted_) {
    if (!upright_ || upright_->width != raw.width || upright_->height != raw.height)
      upright_ = makeImage(raw.width, raw.height);
    // A negative height reads the source bottom row first.
    int h = yInvert_ ? -raw.height : raw.height;
    if (isRgbx(offer_->format))
      libyuv::ABGRToARGB(raw.data, raw.stride, upright_->data, upright_->stride, raw.width, h);
    else
      libyuv::ARGBCopy(raw.data, raw.stride, upright_->data, upright_->stride, raw.width, h);
    converted_ = true;
  }
  return *upright_;
}

}  // namespace vantor::platform::wayland
