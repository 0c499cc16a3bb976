#pragma once
// Notices a sound source that stops delivering during a take: its sound
// server died or its device went away. The source's own thread stamps each
// delivery with one relaxed store (nothing there can block); the main loop
// looks now and then.

#include <atomic>
#include <chrono>

namespace vantor {

class SourceWatch {
 public:
  using Clock = std::chrono::steady_clock;
  // Sources deliver every few tens of milliseconds; a second without any is
  // no hiccup, and looking every 100 ms tells within well under 2 s.
  static constexpr Clock::duration kQuietLimit = std::chrono::seconds(1);

  // A new take: nothing delivered yet, nothing told. Main loop.
  void arm() {
    last_.store(0, std::memory_order_relaxed);
    told_ = false;
  }
  // On the source's thread.
  void delivered() { last_.store(Clock::now().time_since_epoch().count(), std::memory_order_relaxed); }
  // True once per take, when the source delivered and then nothing for
  // kQuietLimit. A source that never delivered is not watched: a start can
  // be slow, and a source that failed to start was said so then. Main loop.
  bool fellQuiet(Clock::time_point now) {
    Clock::rep last = last_.load(std::memory_order_relaxed);
    if (told_ || last == 0 || now - Clock::time_point(Clock::duration(last)) < kQuietLimit) return false;
    told_ = true;
    return true;
  }

 private:
  std::atomic<Clock::rep> last_{0};
  bool told_ = false;
};

}  // namespace vantor
