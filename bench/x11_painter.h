#pragma once
// Moving content for the X11 benchmarks: one window repainted with the next
// of `colours` every `period`, over a connection of its own, until stopped.

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "support/x11_test_windows.h"

namespace vantor::bench {

class Painter {
 public:
  Painter(const std::string& display, uint32_t window, std::vector<uint32_t> colours,
          std::chrono::microseconds period = std::chrono::milliseconds(16))
      : x_(display.c_str()), thread_([this, window, colours = std::move(colours), period] {
          auto next = std::chrono::steady_clock::now();
          for (size_t n = 1; !stop_.load(); ++n, std::this_thread::sleep_until(next += period)) {
            x_.fill(window, colours[n % colours.size()]);
            painted_.fetch_add(1);
          }
        }) {}
  ~Painter() { stop(); }
  Painter(const Painter&) = delete;
  Painter& operator=(const Painter&) = delete;

  void stop() {
    stop_.store(true);
    if (thread_.joinable()) thread_.join();
  }
  int painted() const { return painted_.load(); }

 private:
  test::TestWindows x_;
  std::atomic<bool> stop_{false};
  std::atomic<int> painted_{0};
  std::thread thread_;
};

}  // namespace vantor::bench
