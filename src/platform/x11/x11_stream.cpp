#include "platform/x11/x11_stream.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>

#include "util/log.h"
#include "platform/frame_pacer.h"
#include "platform/image_pool.h"
#include "platform/x11/cursor.h"

namespace vantor::platform::x11 {

using Clock = std::chrono::steady_clock;

// ---- FramePool

FramePool::Slot* FramePool::acquire(const Connection& c, const std::function<void()>& beforeGrowing) {
  return acquireSlot(slots_, capacity_, beforeGrowing, [&] {
    auto slot = std::make_unique<Slot>();
    const size_t stride = static_cast<size_t>(width_) * 4;  // what the server writes: no row padding
    slot->shm = std::make_unique<ShmSegment>(c, stride * static_cast<size_t>(height_));
    slot->pixels = PixelBuffer{width_, height_, static_cast<int>(stride), slot->shm->data()};
    return slot;
  });
}

void FramePool::trim(const Connection& c) {
  retired_.store(true, std::memory_order_release);
  // Only this thread acquires, so a slot seen free here stays free. A holder
  // that lets go from now on frees the segment itself before marking the
  // slot free, so what is seen free here has either its segment or none.
  std::erase_if(slots_, [&](const std::unique_ptr<Slot>& s) {
    if (s->busy.load(std::memory_order_acquire)) return false;
    if (s->shm) s->shm->detach(c);
    return true;
  });
}

ImageRef FramePool::share(Slot* slot) {
  return ImageRef(&slot->pixels, [pool = shared_from_this(), slot](const PixelBuffer*) {
    // The server lets go of its side of the segment when the stream's connection closes.
    if (pool->retired_.load(std::memory_order_acquire)) slot->shm.reset();
    release(slot);
  });
}

// ---- FrameMaker

FrameMaker::FrameMaker(const Connection& c, CaptureSource& source, int width, int height, size_t poolSize,
                       bool showsCursor, std::function<void()> beforeGrowing)
    : c_(c), source_(source), width_(width), height_(height), showsCursor_(showsCursor),
      beforeGrowing_(std::move(beforeGrowing)), pool_(std::make_shared<FramePool>(width, height, poolSize)) {}

FrameMaker::Result FrameMaker::make(ImageRef& image, Clock::time_point& grabbedAt) {
  auto area = source_.area();
  if (!area) return Result::nothingToGrab;
  FramePool::Slot* slot = pool_->acquire(c_, beforeGrowing_);
  if (!slot) return Result::noBuffer;

  const bool direct = area->width == width_ && area->height == height_;
  PixelBuffer content = slot->pixels;
  if (!direct) {
    size_t bytes = static_cast<size_t>(area->width) * area->height * 4;
    if (!scratch_ || scratch_->size() < bytes) {
      if (scratch_) scratch_->detach(c_);
      scratch_.reset();
      scratch_ = std::make_unique<ShmSegment>(c_, bytes);
    }
    content = PixelBuffer{area->width, area->height, area->width * 4, scratch_->data()};
  }

  // Ask for the cursor first: one round trip for both.
  std::optional<CursorRequest> cursorRequest;
  if (showsCursor_) cursorRequest = requestCursor(c_);
  grabbedAt = Clock::now();
  bool grabbed = source_.grab(*area, direct ? *slot->shm : *scratch_);
  auto cursor = cursorRequest ? receiveCursor(c_, *cursorRequest) : std::nullopt;
  if (!grabbed) {
    FramePool::release(slot);
    return Result::grabFailed;
  }
  if (cursor) drawCursor(*cursor, content, area->rootX, area->rootY);

  if (!direct) {
    Placement at = fitInto(area->width, area->height, width_, height_);
    compose(content, slot->pixels, at, slot->layout != at);
    slot->layout = at;
  } else {
    slot->layout.reset();
  }
  image = pool_->share(slot);
  return Result::made;
}

// ---- X11Stream

X11Stream::X11Stream(std::optional<std::string> display, ContentFilter filter, StreamConfiguration config,
                     exec::Loop& main)
    : ThreadedStream(main, config, kErrorDomain, kInvalidUse, "x11-stream"),
      display_(std::move(display)), filter_(std::move(filter)) {}

void X11Stream::capture(const std::function<void()>& started) {
  auto conn = Connection::open(display_);
  CaptureSource source(*conn, filter_, true);
  FrameMaker maker(*conn, source, config().width, config().height, static_cast<size_t>(config().queueDepth) + 2,
                   config().showsCursor, [this] { takeBackUntakenFrame(); });
  started();
  captureLoop(*conn, source, maker);
}

void X11Stream::captureLoop(const Connection& c, CaptureSource& source, FrameMaker& maker) {
  const auto interval = std::max<Clock::duration>(config().minimumFrameInterval, Clock::duration::zero());
  // A hidden cursor changes no picture: the pointer is then neither polled nor listened for.
  const bool cursorShown = config().showsCursor;
  if (!cursorShown && source.reportsMotion()) source.listenForMotion(false);
  // X reports cursor shape changes but not moves. The pointer is polled while
  // it moves, as often as frames may go out but no more than 120 times a
  // second. Where the server has XInput 2, a still pointer is left alone
  // until raw motion arrives (looked at four times a second all the same,
  // for warps, which make no motion events); without it, it is polled always.
  const auto pointerInterval = std::max<Clock::duration>(interval, std::chrono::nanoseconds(1'000'000'000 / 120));
  const auto idlePointerInterval = std::chrono::milliseconds(250);
  constexpr int kStillPollsBeforeEvents = 30;
  const bool motionEvents = source.reportsMotion();
  bool tracking = !motionEvents;
  int stillPolls = 0;
  FramePacer pacer(interval);
  Clock::time_point retryAt{};  // after a grab that could not be made
  Clock::time_point nextPointerPoll = Clock::now();
  bool first = true, dirty = false;
  int pointerX = -1, pointerY = -1;
  auto inside = [&](int x, int y) {
    return x >= source.lastRootX() && y >= source.lastRootY() && x < source.lastRootX() + source.lastWidth() &&
           y < source.lastRootY() + source.lastHeight();
  };
  // Looks where the pointer is; true when it moved.
  auto pollPointer = [&] {
    Reply<xcb_query_pointer_reply_t> p(xcb_query_pointer_reply(c.get(), xcb_query_pointer(c.get(), c.root()), nullptr));
    if (!p || (p->root_x == pointerX && p->root_y == pointerY)) return false;
    if (inside(pointerX, pointerY) || inside(p->root_x, p->root_y)) dirty = true;
    pointerX = p->root_x, pointerY = p->root_y;
    return true;
  };
  auto startTracking = [&] {
    tracking = true;
    stillPolls = 0;
    source.listenForMotion(false);  // polling now; events would only wake us more
  };

  while (!stopRequested()) {
    while (xcb_generic_event_t* e = xcb_poll_for_event(c.get())) {
      source.handleEvent(e);
      std::free(e);
    }
    if (c.broken()) {
      logError("x11: lost the connection to X server " + c.name() + "; stream ends");
      return;
    }
    if (source.gone()) {
      logInfo("x11: " + source.describe() + " is gone; stream ends");
      return;
    }

    auto now = Clock::now();
    if (source.takeMotion() && cursorShown && !tracking) {
      startTracking();
      nextPointerPoll = now;
    }
    if (cursorShown && now >= nextPointerPoll) {
      bool moved = pollPointer();
      stillPolls = moved ? 0 : stillPolls + 1;
      if (!tracking && moved) {
        startTracking();
      } else if (tracking && motionEvents && stillPolls >= kStillPollsBeforeEvents) {
        // Back to events: listen first, then look once more, so that a move
        // in between is not missed.
        source.listenForMotion(true);
        tracking = false;
        if (pollPointer()) startTracking();
      }
      nextPointerPoll = now + (tracking ? pointerInterval : idlePointerInterval);
    }
    if (source.cursorShapeChanged() && cursorShown && inside(pointerX, pointerY)) dirty = true;

    if (first || now >= std::max(pacer.allowedAt(), retryAt)) {
      if (source.takeChanges()) dirty = true;
      if (first || dirty) {
        retryAt = now + interval;  // unless a frame is made below
        if (queueFull()) {
          countDropped();  // keep `dirty`: try again next interval
        } else {
          ImageRef image;
          Clock::time_point at;
          FrameMaker::Result r;
          try {
            r = maker.make(image, at);
          } catch (const Error& e) {
            if (e.code() != kWindowGone) throw;
            logInfo("x11: " + source.describe() + " is gone; stream ends");
            return;
          }
          switch (r) {
            case FrameMaker::Result::made:
              pacer.took(at);  // frames' own times keep them paced
              retryAt = {};
              countGrab();
              deliver(std::move(image), at);
              first = dirty = false;
              break;
            case FrameMaker::Result::noBuffer:
              countDropped();
              break;
            case FrameMaker::Result::nothingToGrab:  // unmapped: wait for it to come back
              first = dirty = false;
              break;
            case FrameMaker::Result::grabFailed:  // resized or going away; look again soon
              dirty = true;
              break;
          }
        }
      }
    }

    // Events that came in while we waited for replies sit in xcb's queue, not
    // on the socket, and poll(2) would not see them.
    bool queued = false;
    while (xcb_generic_event_t* e = xcb_poll_for_queued_event(c.get())) {
      source.handleEvent(e);
      std::free(e);
      queued = true;
    }
    if (queued) continue;

    // Sleep until the next pointer poll, or the next allowed grab when
    // something is waiting to be shown.
    now = Clock::now();
    auto until = cursorShown ? nextPointerPoll : now + std::chrono::seconds(1);
    if (first || dirty || source.changesPending()) until = std::min(until, std::max(pacer.allowedAt(), retryAt));
    auto wait = std::chrono::ceil<std::chrono::milliseconds>(std::max(until - now, Clock::duration::zero()));
    xcb_flush(c.get());
    pollfd fds[2] = {{c.fd(), POLLIN, 0}, {wakeFd(), POLLIN, 0}};
    int n = poll(fds, 2, static_cast<int>(std::min<int64_t>(wait.count(), 1000)));
    if (n < 0 && errno != EINTR) {
      logError("x11: poll failed; stream ends");
      return;
    }
  }
}

}  // namespace vantor::platform::x11
