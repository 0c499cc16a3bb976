#include "platform/wayland/wayland_stream.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <utility>

#include "platform/frame_fit.h"
#include "platform/frame_pacer.h"
#include "platform/image_pool.h"
#include "platform/wayland/capture_area.h"
#include "platform/wayland/connection.h"
#include "platform/wayland/screen_copy.h"
#include "platform/wayland/sway_ipc.h"
#include "util/log.h"

namespace vantor::platform::wayland {

using Clock = std::chrono::steady_clock;

WaylandStream::WaylandStream(ContentFilter filter, StreamConfiguration config, exec::Loop& main)
    : ThreadedStream(main, config, kErrorDomain, kInvalidUse, "wayland-stream"), filter_(std::move(filter)) {}

void WaylandStream::capture(const std::function<void()>& started) {
  auto conn = Connection::open();
  std::unique_ptr<SwayIpc> windows, changes;  // one to ask, one that hears of changes
  if (filter_.kind == ContentFilter::Kind::window)
    if (auto path = SwayIpc::socketPath()) {
      windows = SwayIpc::open(*path);
      changes = SwayIpc::open(*path);
      changes->subscribeToWindows();
    }
  // Without sway this fails a window: nothing tells where it is.
  std::optional<CaptureArea> area = locate(*conn, windows.get(), filter_);
  ScreenCopy copier(*conn, config().showsCursor);
  auto pool = std::make_shared<ImagePool>(config().width, config().height, size_t(config().queueDepth) + 2);
  started();

  const auto interval = std::max<Clock::duration>(config().minimumFrameInterval, Clock::duration::zero());
  // sway reports windows opening, closing and moving between workspaces;
  // while no copy comes (nothing changes), it is looked at now and then too.
  constexpr auto kLookAgain = std::chrono::milliseconds(500);
  // The next copy is asked for as soon as the last one was handed on, so
  // that every change the compositor draws is caught; one that comes sooner
  // than the pacer allows is held until then, never dropped (no change
  // after it might ever send another).
  // A copy that finds the consumer holding queueDepth frames is counted as
  // dropped and offered again an interval later: the compositor sends no
  // second copy of a change. (The first copy with damage comes at once.)
  FramePacer pacer(interval);
  Clock::time_point retryAt{}, heldUntil{}, lastLook = Clock::now();
  // A copy of a new place, or after a failure, is wanted at once: the change
  // that led to it may have been the last.
  bool atOnce = false;
  int failures = 0;
  auto gone = [&] { logInfo("wayland: " + describe(filter_) + " is gone; stream ends"); };
  // Looks the window up again; a copy under way of where it was is dropped.
  // False when it is gone.
  auto relocate = [&] {
    lastLook = Clock::now();
    std::optional<CaptureArea> here;
    try {
      here = locate(*conn, windows.get(), filter_);
    } catch (const Error& e) {
      if (e.code() != kWindowGone) throw;
      return false;
    }
    if (here != area) {
      copier.abandon();
      area = here;
      atOnce = true;
    }
    return true;
  };
  while (!stopRequested()) {
    auto now = Clock::now();
    if (area && copier.state() == ScreenCopy::State::idle && now >= retryAt) {
      const Output* output = conn->findOutput(area->output);
      if (!output) return gone();
      copier.request(*output, area->region, !std::exchange(atOnce, false));
    }
    const auto due = pacer.allowedAt();
    if (copier.state() == ScreenCopy::State::ready && now >= due && now >= heldUntil) {
      failures = 0;
      // sway tells of no move or resize of a floating window: each copy is
      // checked against where the window is now, and one of where it was goes.
      if (changes) {
        if (!relocate()) return gone();
        if (copier.state() != ScreenCopy::State::ready) continue;  // it moved
      }
      ImagePool::Slot* slot = queueFull() ? nullptr : pool->acquire([this] { takeBackUntakenFrame(); });
      if (!slot) {
        countDropped();
        heldUntil = now + std::max<Clock::duration>(interval, std::chrono::milliseconds(1));
        continue;
      }
      const PixelBuffer& content = copier.pixels();
      Placement at = fitInto(content.width, content.height, config().width, config().height);
      compose(content, *slot->image, at, slot->layout != at);
      slot->layout = at;
      countGrab();
      const auto stamp = std::max(copier.readyAt(), due);
      pacer.took(stamp);
      deliver(pool->share(slot), stamp);
      copier.abandon();
      continue;  // ask for the next one at once
    }

    // Wait for the compositor, a window change, a stop, or the time to hand on a held copy.
    auto until = now + (changes ? kLookAgain : std::chrono::milliseconds(1000));
    if (copier.state() == ScreenCopy::State::ready) until = std::max(due, heldUntil);
    else if (area && copier.state() == ScreenCopy::State::idle) until = std::min(until, retryAt);
    int wait = int(std::chrono::ceil<std::chrono::milliseconds>(std::max(until - now, Clock::duration::zero())).count());
    wl_display* d = conn->display();
    while (wl_display_prepare_read(d) != 0) conn->dispatchPending();
    wl_display_flush(d);
    pollfd fds[3] = {{conn->fd(), POLLIN, 0}, {wakeFd(), POLLIN, 0}, {changes ? changes->fd() : -1, POLLIN, 0}};
    int n = poll(fds, changes ? 3 : 2, wait);
    if (n > 0 && (fds[0].revents & POLLIN)) wl_display_read_events(d);
    else wl_display_cancel_read(d);
    if (n < 0 && errno != EINTR) throw waylandError(kConnectionLost, "poll failed");
    conn->dispatchPending();

    if (changes && (changes->takeEvents() || Clock::now() - lastLook >= kLookAgain) && !relocate()) return gone();

    if (copier.state() == ScreenCopy::State::failed) {
      copier.abandon();
      if (++failures >= 10) throw waylandError(kCopyFailed, "the compositor keeps refusing to copy " + describe(filter_));
      retryAt = Clock::now() + interval;
      atOnce = true;
    }
  }
}

}  // namespace vantor::platform::wayland
