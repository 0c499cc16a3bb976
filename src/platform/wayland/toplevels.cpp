#include "platform/wayland/toplevels.h"

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>
#include <wayland-client.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <string_view>
#include <thread>
#include <tuple>

#include "platform/wayland/connection.h"
#include "util/log.h"
#include "wlr-foreign-toplevel-management-unstable-v1-client-protocol.h"

namespace vantor::platform::wayland {
namespace {

struct Shown {
  std::string title, appId;
  bool minimized = false, activated = false;
};

struct Entry {
  zwlr_foreign_toplevel_handle_v1* handle = nullptr;
  uint32_t id = 0;
  Shown pending, current;  // the compositor's changes apply together at `done`
  bool done = false;
  uint64_t activatedAt = 0;  // the activation count when it last became activated; 0: never
};

}  // namespace

struct Toplevels::State {
  wl_display* display = nullptr;
  wl_registry* registry = nullptr;
  zwlr_foreign_toplevel_manager_v1* manager = nullptr;
  int wake = -1;
  std::thread thread;

  std::mutex mutex;  // guards what follows; taken by the watching thread's callbacks and by list()
  std::condition_variable answered;
  std::map<zwlr_foreign_toplevel_handle_v1*, Entry> entries;
  uint64_t activations = 0;
  // Round trips list() asked for, sent (one at a time) and answered.
  uint64_t asked = 0, sent = 0, synced = 0;
  bool inFlight = false;
  bool stopping = false, broken = false;

  ~State() {
    for (auto& [handle, e] : entries) zwlr_foreign_toplevel_handle_v1_destroy(handle);
    if (manager) zwlr_foreign_toplevel_manager_v1_destroy(manager);
    if (registry) wl_registry_destroy(registry);
    if (display) wl_display_disconnect(display);
    if (wake >= 0) ::close(wake);
  }

  void run();
};

namespace {

using State = Toplevels::State;

Entry& entry(void* data, zwlr_foreign_toplevel_handle_v1* handle) {
  return static_cast<State*>(data)->entries.at(handle);
}

void title(void* data, zwlr_foreign_toplevel_handle_v1* h, const char* text) {
  std::lock_guard lock(static_cast<State*>(data)->mutex);
  entry(data, h).pending.title = text;
}

void appId(void* data, zwlr_foreign_toplevel_handle_v1* h, const char* text) {
  std::lock_guard lock(static_cast<State*>(data)->mutex);
  entry(data, h).pending.appId = text;
}

// Which outputs a toplevel is on says nothing of where on them, nor whether
// it is shown (sway keeps a window in its scratchpad on its output).
void output(void*, zwlr_foreign_toplevel_handle_v1*, wl_output*) {}

void state(void* data, zwlr_foreign_toplevel_handle_v1* h, wl_array* states) {
  std::lock_guard lock(static_cast<State*>(data)->mutex);
  Shown& s = entry(data, h).pending;
  s.minimized = s.activated = false;
  for (auto* v = static_cast<const uint32_t*>(states->data);
       reinterpret_cast<const char*>(v) < static_cast<const char*>(states->data) + states->size; ++v) {
    s.minimized |= *v == ZWLR_FOREIGN_TOPLEVEL_HANDLE_V1_STATE_MINIMIZED;
    s.activated |= *v == ZWLR_FOREIGN_TOPLEVEL_HANDLE_V1_STATE_ACTIVATED;
  }
}

void done(void* data, zwlr_foreign_toplevel_handle_v1* h) {
  auto* s = static_cast<State*>(data);
  std::lock_guard lock(s->mutex);
  Entry& e = entry(data, h);
  if (e.pending.activated && !e.current.activated) e.activatedAt = ++s->activations;
  e.current = e.pending;
  e.done = true;
}

void closed(void* data, zwlr_foreign_toplevel_handle_v1* h) {
  auto* s = static_cast<State*>(data);
  std::lock_guard lock(s->mutex);
  s->entries.erase(h);
  zwlr_foreign_toplevel_handle_v1_destroy(h);
}

void parent(void*, zwlr_foreign_toplevel_handle_v1*, zwlr_foreign_toplevel_handle_v1*) {}

const zwlr_foreign_toplevel_handle_v1_listener kHandleListener = {
    .title = title,
    .app_id = appId,
    .output_enter = output,
    .output_leave = output,
    .state = state,
    .done = done,
    .closed = closed,
    .parent = parent,
};

void toplevel(void* data, zwlr_foreign_toplevel_manager_v1*, zwlr_foreign_toplevel_handle_v1* handle) {
  auto* s = static_cast<State*>(data);
  std::lock_guard lock(s->mutex);
  Entry& e = s->entries[handle];
  e.handle = handle;
  // Ids of the process, not of the connection: one opened again after the
  // compositor restarted must not give an old window's id to another.
  static std::atomic<uint32_t> nextId{1};
  e.id = nextId++;
  zwlr_foreign_toplevel_handle_v1_add_listener(handle, &kHandleListener, s);
}

// The compositor stopped telling: no windows from now on.
void finished(void* data, zwlr_foreign_toplevel_manager_v1* manager) {
  auto* s = static_cast<State*>(data);
  std::lock_guard lock(s->mutex);
  zwlr_foreign_toplevel_manager_v1_destroy(manager);
  s->manager = nullptr;
}

const zwlr_foreign_toplevel_manager_v1_listener kManagerListener = {.toplevel = toplevel, .finished = finished};

void global(void* data, wl_registry* registry, uint32_t name, const char* interface, uint32_t version) {
  auto* s = static_cast<State*>(data);
  std::string_view is = interface;
  if (is == zwlr_foreign_toplevel_manager_v1_interface.name && !s->manager) {
    s->manager = static_cast<zwlr_foreign_toplevel_manager_v1*>(
        wl_registry_bind(registry, name, &zwlr_foreign_toplevel_manager_v1_interface, std::min(version, 3u)));
  }
}

void globalRemove(void*, wl_registry*, uint32_t) {}

}  // namespace

std::unique_ptr<Toplevels> Toplevels::open() {
  auto s = std::make_unique<State>();
  s->display = wl_display_connect(nullptr);
  if (!s->display) throw waylandError(kConnectFailed, std::string("cannot connect to the Wayland compositor: ") + std::strerror(errno));
  static const wl_registry_listener listener = {.global = global, .global_remove = globalRemove};
  s->registry = wl_display_get_registry(s->display);
  wl_registry_add_listener(s->registry, &listener, s.get());
  // The globals, then the toplevels there are now with their first `done`.
  if (wl_display_roundtrip(s->display) < 0) throw waylandError(kConnectFailed, "the Wayland compositor hung up");
  if (!s->manager) return nullptr;
  zwlr_foreign_toplevel_manager_v1_add_listener(s->manager, &kManagerListener, s.get());
  if (wl_display_roundtrip(s->display) < 0) throw waylandError(kConnectFailed, "the Wayland compositor hung up");
  s->wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (s->wake < 0) throw waylandError(kConnectFailed, std::string("eventfd: ") + std::strerror(errno));
  // From here on only the watching thread dispatches.
  s->thread = std::thread([state = s.get()] { state->run(); });
  return std::unique_ptr<Toplevels>(new Toplevels(std::move(s)));
}

Toplevels::Toplevels(std::unique_ptr<State> s) : s_(std::move(s)) {}

Toplevels::~Toplevels() {
  {
    std::lock_guard lock(s_->mutex);
    s_->stopping = true;
  }
  uint64_t one = 1;
  (void)!::write(s_->wake, &one, sizeof one);
  s_->thread.join();
}

void State::run() {
  pthread_setname_np(pthread_self(), "wayland-toplevels");
  static const wl_callback_listener synced = {[](void* data, wl_callback* cb, uint32_t) {
    wl_callback_destroy(cb);
    auto* s = static_cast<State*>(data);
    std::lock_guard lock(s->mutex);
    s->synced = s->sent;  // what came before it has been handled
    s->inFlight = false;
    s->answered.notify_all();
  }};
  for (;;) {
    {
      std::lock_guard lock(mutex);
      if (stopping) return;
      if (asked > sent && !inFlight) {
        sent = asked;
        inFlight = true;
        wl_callback_add_listener(wl_display_sync(display), &synced, this);
      }
    }
    bool ok = true;
    while (ok && wl_display_prepare_read(display) != 0) ok = wl_display_dispatch_pending(display) >= 0;
    if (ok) {
      wl_display_flush(display);
      pollfd fds[2] = {{wl_display_get_fd(display), POLLIN, 0}, {wake, POLLIN, 0}};
      int n = poll(fds, 2, -1);
      if (n > 0 && (fds[0].revents & (POLLIN | POLLHUP | POLLERR))) ok = wl_display_read_events(display) >= 0;
      else wl_display_cancel_read(display);
      uint64_t count;
      if (n > 0 && (fds[1].revents & POLLIN)) (void)!::read(wake, &count, sizeof count);
      ok = ok && wl_display_dispatch_pending(display) >= 0 && !wl_display_get_error(display);
    }
    if (!ok) {
      logError("wayland: lost the connection that lists windows");
      std::lock_guard lock(mutex);
      broken = true;
      answered.notify_all();
      return;
    }
  }
}

std::vector<Toplevel> Toplevels::list() {
  State& s = *s_;
  // It would wait for a round trip only that thread can make.
  if (std::this_thread::get_id() == s.thread.get_id())
    throw waylandError(kInvalidUse, "windows listed from the thread that watches them");
  std::unique_lock lock(s.mutex);
  const uint64_t ticket = ++s.asked;
  uint64_t one = 1;
  (void)!::write(s.wake, &one, sizeof one);
  // A compositor answers a round trip at once; a stuck one must not hold the service's queue.
  if (!s.answered.wait_for(lock, std::chrono::seconds(5), [&] { return s.synced >= ticket || s.broken; }) || s.broken)
    throw waylandError(kConnectionLost, "the Wayland compositor does not answer about its windows");
  std::vector<const Entry*> shown;
  for (auto& [handle, e] : s.entries)
    if (e.done && !e.current.minimized) shown.push_back(&e);
  std::sort(shown.begin(), shown.end(), [](const Entry* a, const Entry* b) {
    return std::tuple(a->current.activated, a->activatedAt, -int64_t(a->id)) >
           std::tuple(b->current.activated, b->activatedAt, -int64_t(b->id));
  });
  std::vector<Toplevel> out;
  for (const Entry* e : shown) out.push_back({e->id, e->current.title, e->current.appId});
  return out;
}

}  // namespace vantor::platform::wayland
