#pragma once
// Streams through the ScreenCast portal: each has its own thread
// ("portal-stream") that runs the portal's session, takes the newest
// picture PipeWire delivered (pipewire_receiver.h), fits it into the frame
// and hands it on at minimumFrameInterval on average (frame_pacer.h), as the
// other backends do. The portal sends nothing while the screen is still; the
// recording output holds the last frame until the stop, so the movie still
// covers the whole take.

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/screen_capture.h"
#include "platform/threaded_stream.h"

namespace vantor::platform::portal {

class PipeWireReceiver;

// The running streams' newest pictures, for stills of the same target: such
// a still costs no second session (and no second dialog).
class Showing {
 public:
  // A copy of what a running stream of `filter` shows now; null when none runs.
  ImageRef copy(const ContentFilter& filter);

  struct Entry {
    ContentFilter filter;
    std::mutex* front;  // held by the stream while it changes the receiver's front image
    const PipeWireReceiver* receiver;
  };
  void add(Entry* e);
  void remove(Entry* e);

 private:
  std::mutex mutex_;
  std::vector<Entry*> entries_;
};

// Throws the Error a still or a start of `filter` fails with when its
// display is not connected or its window is gone (as far as sway tells).
void requireTarget(const ContentFilter& filter);

class PortalStream final : public ThreadedStream {
 public:
  PortalStream(ContentFilter filter, StreamConfiguration config, exec::Loop& main, std::shared_ptr<Showing> showing);
  ~PortalStream() override { stopAndJoin(); }

 private:
  void capture(const std::function<void()>& started) override;
  std::string logPrefix() const override { return "portal"; }

  ContentFilter filter_;
  std::shared_ptr<Showing> showing_;
};

}  // namespace vantor::platform::portal
