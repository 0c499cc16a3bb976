#include "platform/portal/portal_stream.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>

#include "platform/frame_fit.h"
#include "platform/frame_pacer.h"
#include "platform/image_pool.h"
#include "platform/portal/pipewire_receiver.h"
#include "platform/portal/screencast_portal.h"
#include "platform/wayland/capture_area.h"

namespace vantor::platform::portal {

using Clock = std::chrono::steady_clock;

namespace {

bool sameTarget(const ContentFilter& a, const ContentFilter& b) {
  if (a.kind != b.kind) return false;
  return a.kind == ContentFilter::Kind::display ? a.display.displayID == b.display.displayID
                                                : a.window.windowID == b.window.windowID;
}

}  // namespace

ImageRef Showing::copy(const ContentFilter& filter) {
  std::lock_guard lock(mutex_);
  for (Entry* e : entries_) {
    if (!sameTarget(e->filter, filter)) continue;
    std::lock_guard front(*e->front);
    const PixelBuffer* newest = e->receiver->front();
    if (!newest) continue;
    auto image = makeImage(newest->width, newest->height);
    for (int y = 0; y < newest->height; ++y) std::copy_n(newest->row(y), newest->width * 4, image->row(y));
    return image;
  }
  return nullptr;
}

void Showing::add(Entry* e) {
  std::lock_guard lock(mutex_);
  entries_.push_back(e);
}

void Showing::remove(Entry* e) {
  std::lock_guard lock(mutex_);
  std::erase(entries_, e);
}

void requireTarget(const ContentFilter& filter) {
  auto c = wayland::Connection::open(false);
  std::unique_ptr<wayland::SwayIpc> kept;
  // A window only where sway tells of windows; elsewhere the dialog decides.
  wayland::SwayIpc* windows = filter.kind == ContentFilter::Kind::window ? wayland::windowSource(kept) : nullptr;
  if ((filter.kind == ContentFilter::Kind::display || windows) && !wayland::locate(*c, windows, filter))
    throw wayland::waylandError(wayland::kWindowGone, wayland::describe(filter) + " is not on screen");
}

PortalStream::PortalStream(ContentFilter filter, StreamConfiguration config, exec::Loop& main,
                           std::shared_ptr<Showing> showing)
    : ThreadedStream(main, config, kErrorDomain, kInvalidUse, "portal-stream"),
      filter_(std::move(filter)),
      showing_(std::move(showing)) {}

void PortalStream::capture(const std::function<void()>& started) {
  requireTarget(filter_);
  ScreenCastSession session(wakeFd());
  auto cast = session.start(filter_.kind == ContentFilter::Kind::display ? SourceKind::display : SourceKind::window,
                            config().showsCursor);
  PipeWireReceiver receiver(cast.pipewireFd, cast.node);
  std::mutex front;
  Showing::Entry entry{filter_, &front, &receiver};
  showing_->add(&entry);
  struct Leave {
    Showing& showing;
    Showing::Entry* entry;
    ~Leave() { showing.remove(entry); }
  } leave{*showing_, &entry};
  auto pool = std::make_shared<ImagePool>(config().width, config().height, size_t(config().queueDepth) + 2);
  started();

  const auto interval = std::max<Clock::duration>(config().minimumFrameInterval, Clock::duration::zero());
  // A picture that comes sooner than the pacer allows is held until then,
  // and one that finds the consumer holding queueDepth frames is counted as
  // dropped and offered again an interval later: a still screen may send no
  // other.
  FramePacer pacer(interval);
  bool pending = false;
  Clock::time_point readyAt{}, heldUntil{};
  while (!stopRequested()) {
    if (receiver.broken()) throw portalError(kStreamFailed, receiver.failure());
    if (session.closedByDesktop()) throw portalError(kStreamFailed, "the desktop stopped sharing the screen");
    auto now = Clock::now();
    {
      std::lock_guard lock(front);
      if (receiver.takeNewest()) pending = true, readyAt = now;
    }
    const auto due = pacer.allowedAt();
    if (pending && now >= due && now >= heldUntil) {
      ImagePool::Slot* slot = queueFull() ? nullptr : pool->acquire([this] { takeBackUntakenFrame(); });
      if (!slot) {
        countDropped();
        heldUntil = now + std::max<Clock::duration>(interval, std::chrono::milliseconds(1));
        continue;
      }
      {
        std::lock_guard lock(front);
        const PixelBuffer& content = *receiver.front();
        Placement at = fitInto(content.width, content.height, config().width, config().height);
        compose(content, *slot->image, at, slot->layout != at);
        slot->layout = at;
      }
      countGrab();
      const auto stamp = std::max(readyAt, due);
      pacer.took(stamp);
      deliver(pool->share(slot), stamp);
      pending = false;
      continue;
    }
    auto until = pending ? std::max(due, heldUntil) : now + std::chrono::seconds(1);
    int wait = int(std::chrono::ceil<std::chrono::milliseconds>(std::max(until - now, Clock::duration::zero())).count());
    pollfd fds[3] = {{receiver.readyFd(), POLLIN, 0}, {wakeFd(), POLLIN, 0}, {session.busFd(), POLLIN, 0}};
    if (poll(fds, 3, wait) < 0 && errno != EINTR) throw portalError(kStreamFailed, "poll failed");
  }
}

}  // namespace vantor::platform::portal
