#pragma once
// Frames of one size, reused: an image is handed out again only once every
// reference to it is gone. One producer thread acquires; consumers on any
// thread let go. The pool lives as long as any image it handed out.

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "platform/frame_fit.h"
#include "platform/video_frame.h"

namespace vantor::platform {

// The acquire step of a pool of slots with an atomic `busy` flag, made by
// `make` up to `capacity`; only the pool's producer thread calls it.
template <typename Slot, typename Make>
Slot* acquireSlot(std::vector<std::unique_ptr<Slot>>& slots, size_t capacity,
                  const std::function<void()>& beforeGrowing, Make make) {
  auto acquireFree = [&]() -> Slot* {
    for (auto& s : slots) {
      bool expected = false;
      if (s->busy.compare_exchange_strong(expected, true, std::memory_order_acquire)) return s.get();
    }
    return nullptr;
  };
  if (Slot* s = acquireFree()) return s;
  if (beforeGrowing) {
    beforeGrowing();
    if (Slot* s = acquireFree()) return s;
  }
  if (slots.size() >= capacity) return nullptr;
  slots.push_back(make());
  slots.back()->busy.store(true);
  return slots.back().get();
}

class ImagePool : public std::enable_shared_from_this<ImagePool> {
 public:
  ImagePool(int width, int height, size_t capacity) : width_(width), height_(height), capacity_(capacity) {}
  int width() const { return width_; }
  int height() const { return height_; }

  struct Slot {
    std::shared_ptr<PixelBuffer> image;
    std::atomic<bool> busy{false};
    std::optional<Placement> layout;  // what the bars around the content were painted for
  };

  // A free slot, marked busy; nullptr when all `capacity` are held. When
  // none is free, `beforeGrowing` may let one go before a new one is made.
  Slot* acquire(const std::function<void()>& beforeGrowing = {}) {
    return acquireSlot(slots_, capacity_, beforeGrowing, [this] {
      auto slot = std::make_unique<Slot>();
      slot->image = makeImage(width_, height_);
      return slot;
    });
  }
  // The slot's image for consumers; the slot is free again when the last reference goes.
  ImageRef share(Slot* slot) {
    return ImageRef(slot->image.get(), [pool = shared_from_this(), slot](const PixelBuffer*) {
      slot->busy.store(false, std::memory_order_release);
    });
  }

 private:
  int width_, height_;
  size_t capacity_;
  std::vector<std::unique_ptr<Slot>> slots_;  // touched only by the producer
};

}  // namespace vantor::platform
