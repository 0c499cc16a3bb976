#pragma once
// Streams of one content filter on a wlroots compositor: each has its own
// thread and its own connection, and asks wlr-screencopy for the next copy
// with damage, so the compositor answers only once the output changed;
// copies are handed on at minimumFrameInterval on average (frame_pacer.h).
// A window's stream copies the part of its output the window covers, checked
// against sway's tree before each frame, so it follows moves and resizes.

#include <optional>
#include <string>

#include "platform/screen_capture.h"
#include "platform/threaded_stream.h"

namespace vantor::platform::wayland {

class WaylandStream final : public ThreadedStream {
 public:
  WaylandStream(ContentFilter filter, StreamConfiguration config, exec::Loop& main);
  ~WaylandStream() override { stopAndJoin(); }

 private:
  void capture(const std::function<void()>& started) override;
  std::string logPrefix() const override { return "wayland"; }

  ContentFilter filter_;
};

}  // namespace vantor::platform::wayland
