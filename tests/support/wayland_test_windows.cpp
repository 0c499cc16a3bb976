#include "support/wayland_test_windows.h"

#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

#include "support/child_process.h"
#include "xdg-shell-client-protocol.h"

namespace vantor::test {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;

std::string swaymsg(const std::string& args) {
  std::string out;
  if (FILE* p = ::popen(("swaymsg " + args + " 2>&1").c_str(), "r")) {
    char buf[4096];
    while (size_t n = std::fread(buf, 1, sizeof buf, p)) out.append(buf, n);
    if (::pclose(p) != 0) throw std::runtime_error("swaymsg " + args + ": " + out);
  }
  return out;
}

// Waits until `done` holds; throws after a few seconds.
void waitFor(const std::function<bool()>& done, const std::string& what) {
  for (auto until = std::chrono::steady_clock::now() + 5s; !done(); std::this_thread::sleep_for(5ms))
    if (std::chrono::steady_clock::now() > until) throw std::runtime_error("timed out waiting for " + what);
}

struct Buffer {
  wl_buffer* buffer = nullptr;
  uint32_t* pixels = nullptr;
  size_t bytes = 0;
  int width = 0, height = 0;
  std::atomic<bool> busy{false};
};

struct TestWindow {
  std::string appId;
  wl_surface* surface = nullptr;
  xdg_surface* xdg = nullptr;
  xdg_toplevel* toplevel = nullptr;
  std::atomic<bool> configured{false};
  int x = 0, y = 0, width = 0, height = 0;
  std::vector<std::unique_ptr<Buffer>> buffers;
};

}  // namespace

struct WaylandTestWindows::State {
  wl_display* display = nullptr;
  wl_compositor* compositor = nullptr;
  wl_shm* shm = nullptr;
  xdg_wm_base* wmBase = nullptr;
  wl_registry* registry = nullptr;
  std::vector<uint32_t> outputs;  // the registry's names of the outputs, in the order announced
  int wake = -1;
  std::atomic<bool> stop{false};
  std::thread thread;
  std::mutex mutex;  // guards windows and every request made on them
  std::map<uint32_t, std::unique_ptr<TestWindow>> windows;
  int next = 0;

  // sway's container for the window with `appId`, as JSON; null while it has none.
  static json container(const std::string& appId) {
    std::function<json(const json&)> find = [&](const json& n) -> json {
      if (n.value("app_id", json()) == appId) return n;
      for (const char* kids : {"nodes", "floating_nodes"})
        for (const json& c : n.value(kids, json::array()))
          if (json found = find(c); !found.is_null()) return found;
      return nullptr;
    };
    return find(json::parse(swaymsg("-t get_tree -r")));
  }

  // Commits `w` and waits until the compositor drew it (the surface's frame
  // callback): what a test made is on screen when the call returns.
  void commitAndWait(TestWindow& w, std::unique_lock<std::mutex>& lock) {
    auto drawn = std::make_shared<std::atomic<bool>>(false);
    using Flag = std::shared_ptr<std::atomic<bool>>;
    static const wl_callback_listener done = {[](void* data, wl_callback* cb, uint32_t) {
      std::unique_ptr<Flag> flag(static_cast<Flag*>(data));
      (*flag)->store(true);
      wl_callback_destroy(cb);
    }};
    wl_callback* cb = wl_surface_frame(w.surface);
    wl_callback_add_listener(cb, &done, new Flag(drawn));  // the callback lets it go
    wl_surface_commit(w.surface);
    wl_display_flush(display);
    lock.unlock();
    waitFor([&] { return drawn->load(); }, "the compositor to draw " + w.appId);
    lock.lock();
  }

  void paint(TestWindow& w, uint32_t color) {
    Buffer* b = nullptr;
    for (auto& c : w.buffers)
      if (!c->busy.load() && c->width == w.width && c->height == w.height) b = c.get();
    if (!b) b = makeBuffer(w);
    b->busy.store(true);
    std::fill(b->pixels, b->pixels + size_t(b->width) * b->height, 0xff000000u | color);
    wl_surface_attach(w.surface, b->buffer, 0, 0);
    wl_surface_damage_buffer(w.surface, 0, 0, b->width, b->height);
    wl_surface_commit(w.surface);
    wl_display_flush(display);
  }

  Buffer* makeBuffer(TestWindow& w) {
    auto b = std::make_unique<Buffer>();
    b->width = w.width, b->height = w.height, b->bytes = size_t(w.width) * w.height * 4;
    int fd = memfd_create("test-window", MFD_CLOEXEC);
    if (fd < 0 || ftruncate(fd, off_t(b->bytes)) != 0) throw std::runtime_error("memfd");
    b->pixels = static_cast<uint32_t*>(mmap(nullptr, b->bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
    wl_shm_pool* pool = wl_shm_create_pool(shm, fd, int32_t(b->bytes));
    b->buffer = wl_shm_pool_create_buffer(pool, 0, w.width, w.height, w.width * 4, WL_SHM_FORMAT_XRGB8888);
    wl_shm_pool_destroy(pool);
    close(fd);
    static const wl_buffer_listener released = {[](void* data, wl_buffer*) {
      static_cast<Buffer*>(data)->busy.store(false);
    }};
    wl_buffer_add_listener(b->buffer, &released, b.get());
    w.buffers.push_back(std::move(b));
    return w.buffers.back().get();
  }

  static void freeBuffers(TestWindow& w) {
    for (auto& b : w.buffers) {
      wl_buffer_destroy(b->buffer);
      munmap(b->pixels, b->bytes);
    }
    w.buffers.clear();
  }

  void run() {
    while (!stop.load()) {
      while (wl_display_prepare_read(display) != 0) wl_display_dispatch_pending(display);
      wl_display_flush(display);
      pollfd fds[2] = {{wl_display_get_fd(display), POLLIN, 0}, {wake, POLLIN, 0}};
      if (poll(fds, 2, 100) > 0 && (fds[0].revents & POLLIN)) wl_display_read_events(display);
      else wl_display_cancel_read(display);
      if (wl_display_dispatch_pending(display) < 0) return;
    }
  }
};

WaylandTestWindows::WaylandTestWindows() : s_(std::make_unique<State>()) {
  s_->display = wl_display_connect(nullptr);
  if (!s_->display) throw std::runtime_error("cannot connect to the Wayland compositor");
  static const wl_registry_listener registry = {
      [](void* data, wl_registry* r, uint32_t name, const char* interface, uint32_t version) {
        auto* s = static_cast<State*>(data);
        std::string_view is = interface;
        if (is == wl_compositor_interface.name)
          s->compositor = static_cast<wl_compositor*>(wl_registry_bind(r, name, &wl_compositor_interface, std::min(version, 4u)));
        else if (is == wl_shm_interface.name)
          s->shm = static_cast<wl_shm*>(wl_registry_bind(r, name, &wl_shm_interface, 1));
        else if (is == xdg_wm_base_interface.name)
          s->wmBase = static_cast<xdg_wm_base*>(wl_registry_bind(r, name, &xdg_wm_base_interface, 1));
        else if (is == wl_output_interface.name)
          s->outputs.push_back(name);
      },
      [](void*, wl_registry*, uint32_t) {}};
  s_->registry = wl_display_get_registry(s_->display);
  wl_registry_add_listener(s_->registry, &registry, s_.get());
  wl_display_roundtrip(s_->display);
  if (!s_->compositor || !s_->shm || !s_->wmBase) throw std::runtime_error("the compositor lacks xdg-shell");
  static const xdg_wm_base_listener ping = {[](void*, xdg_wm_base* b, uint32_t serial) { xdg_wm_base_pong(b, serial); }};
  xdg_wm_base_add_listener(s_->wmBase, &ping, nullptr);
  s_->wake = eventfd(0, EFD_CLOEXEC);
  s_->thread = std::thread([s = s_.get()] { s->run(); });
}

WaylandTestWindows::~WaylandTestWindows() {
  s_->stop.store(true);
  uint64_t one = 1;
  (void)!write(s_->wake, &one, sizeof one);
  s_->thread.join();
  for (auto& [id, w] : s_->windows) {
    xdg_toplevel_destroy(w->toplevel);
    xdg_surface_destroy(w->xdg);
    wl_surface_destroy(w->surface);
    State::freeBuffers(*w);
  }
  xdg_wm_base_destroy(s_->wmBase);
  wl_shm_destroy(s_->shm);
  wl_compositor_destroy(s_->compositor);
  wl_registry_destroy(s_->registry);
  wl_display_roundtrip(s_->display);
  close(s_->wake);
  wl_display_disconnect(s_->display);
}

uint32_t WaylandTestWindows::create(int x, int y, int width, int height, uint32_t color, const std::string& title) {
  auto w = std::make_unique<TestWindow>();
  TestWindow* raw = w.get();
  {
    std::lock_guard lock(s_->mutex);
    w->appId = "vantor-test-" + std::to_string(++s_->next);
    w->width = width, w->height = height;
    w->surface = wl_compositor_create_surface(s_->compositor);
    w->xdg = xdg_wm_base_get_xdg_surface(s_->wmBase, w->surface);
    static const xdg_surface_listener configure = {[](void* data, xdg_surface* x, uint32_t serial) {
      xdg_surface_ack_configure(x, serial);
      static_cast<TestWindow*>(data)->configured.store(true);
    }};
    xdg_surface_add_listener(w->xdg, &configure, raw);
    w->toplevel = xdg_surface_get_toplevel(w->xdg);
    static const xdg_toplevel_listener toplevel = {[](void*, xdg_toplevel*, int32_t, int32_t, wl_array*) {},
                                                   [](void*, xdg_toplevel*) {}};
    xdg_toplevel_add_listener(w->toplevel, &toplevel, raw);
    xdg_toplevel_set_app_id(w->toplevel, w->appId.c_str());
    xdg_toplevel_set_title(w->toplevel, title.c_str());
    wl_surface_commit(w->surface);
    wl_display_flush(s_->display);
  }
  waitFor([&] { return raw->configured.load(); }, "the first configure");
  {
    std::lock_guard lock(s_->mutex);
    s_->paint(*raw, color);
  }
  json c;
  waitFor([&] { return !(c = State::container(raw->appId)).is_null(); }, "sway to show " + raw->appId);
  uint32_t id = c.at("id").get<uint32_t>();
  {
    std::lock_guard lock(s_->mutex);
    s_->windows[id] = std::move(w);
  }
  moveResize(id, x, y, width, height);
  return id;
}

std::vector<uint32_t> WaylandTestWindows::outputs() const { return s_->outputs; }

void WaylandTestWindows::fill(uint32_t window, uint32_t color) {
  std::lock_guard lock(s_->mutex);
  s_->paint(*s_->windows.at(window), color);
}

void WaylandTestWindows::moveResize(uint32_t window, int x, int y, int width, int height) {
  std::string appId;
  {
    std::lock_guard lock(s_->mutex);
    TestWindow& w = *s_->windows.at(window);
    appId = w.appId;
    w.x = x, w.y = y;
    if (w.width != width || w.height != height) {
      w.width = width, w.height = height;
      s_->paint(w, w.buffers.empty() ? 0x808080 : w.buffers.back()->pixels[0] & 0xffffff);
    }
  }
  command("[con_id=" + std::to_string(window) + "] move absolute position " + std::to_string(x) + " " +
          std::to_string(y));
  waitFor([&] {
    json r = State::container(appId).value("rect", json::object());
    return r.value("x", -1) == x && r.value("y", -1) == y && r.value("width", 0) == width &&
           r.value("height", 0) == height;
  }, "sway to place " + appId);
  std::unique_lock lock(s_->mutex);
  s_->commitAndWait(*s_->windows.at(window), lock);
}

void WaylandTestWindows::show(uint32_t window, bool shown) {
  std::string con = "[con_id=" + std::to_string(window) + "] ";
  if (!shown) return command(con + "move scratchpad");
  command(con + "scratchpad show");
  TestWindow* w;
  {
    std::lock_guard lock(s_->mutex);
    w = s_->windows.at(window).get();
  }
  moveResize(window, w->x, w->y, w->width, w->height);  // back where it was
}

void WaylandTestWindows::raise(uint32_t window) { command("[con_id=" + std::to_string(window) + "] focus"); }

void WaylandTestWindows::destroy(uint32_t window) {
  std::unique_ptr<TestWindow> w;
  {
    std::lock_guard lock(s_->mutex);
    w = std::move(s_->windows.at(window));
    s_->windows.erase(window);
    xdg_toplevel_destroy(w->toplevel);
    xdg_surface_destroy(w->xdg);
    wl_surface_destroy(w->surface);
    wl_display_flush(s_->display);
  }
  waitFor([&] { return State::container(w->appId).is_null(); }, "sway to close " + w->appId);
  std::lock_guard lock(s_->mutex);
  State::freeBuffers(*w);
}

void WaylandTestWindows::command(const std::string& command) {
  json r = json::parse(swaymsg("-r '" + command + "'"), nullptr, false);
  if (!r.is_array() || r.empty() || !r[0].value("success", false))
    throw std::runtime_error("sway refused \"" + command + "\": " + r.dump());
}

std::unique_ptr<VirtualWayland> VirtualWayland::start(const std::string& script, const std::string& options,
                                                      std::string* why) {
  // --parent: sway goes with this process even when a test crashes.
  auto words = runServerScript(script, "start " + options + " --parent " + std::to_string(getpid()), why);
  if (words["WAYLAND_DISPLAY"].empty() || words["SWAYSOCK"].empty()) return nullptr;
  std::unique_ptr<VirtualWayland> session(new VirtualWayland);
  session->words_ = std::move(words);
  session->use();
  return session;
}

void VirtualWayland::use() {
  setenv("WAYLAND_DISPLAY", display().c_str(), 1);
  setenv("SWAYSOCK", words_["SWAYSOCK"].c_str(), 1);
  if (auto bus = words_["DBUS_SESSION_BUS_ADDRESS"]; !bus.empty()) {
    setenv("DBUS_SESSION_BUS_ADDRESS", bus.c_str(), 1);
    // Restore tokens go with the session, not into the user's own state.
    setenv("XDG_STATE_HOME", (words_["SWAY_DIR"] + "/state").c_str(), 1);
  }
}

VirtualWayland::~VirtualWayland() {
  std::vector<pid_t> pids = {std::atoi(words_["SWAY_PID"].c_str())};
  std::istringstream portal(words_["PORTAL_PIDS"]);
  for (std::string pid; std::getline(portal, pid, ',');) pids.push_back(std::atoi(pid.c_str()));
  for (pid_t pid : pids) kill(pid, SIGTERM);
  // The servers write into the directory until they end: gone (or zombies,
  // which nobody here reaps) before it is removed, within two seconds.
  auto running = [](pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string skip, state;
    return stat >> skip >> skip >> state && state != "Z";
  };
  for (pid_t pid : pids)
    for (int i = 0; i < 100 && running(pid); ++i) std::this_thread::sleep_for(20ms);
  std::error_code ignored;
  if (words_["SWAY_DIR"].find("vantor-sway.") != std::string::npos) std::filesystem::remove_all(words_["SWAY_DIR"], ignored);
  unsetenv("WAYLAND_DISPLAY");
  unsetenv("SWAYSOCK");
  if (!words_["DBUS_SESSION_BUS_ADDRESS"].empty()) unsetenv("DBUS_SESSION_BUS_ADDRESS"), unsetenv("XDG_STATE_HOME");
}

}  // namespace vantor::test
