#pragma once
// Windows on a headless sway, made to order for tests: foot terminals showing
// nothing but their background colour, floating (the session of
// scripts/virtual-wayland.sh floats app ids "vantor-test…") and placed
// through sway's IPC. Any thread may repaint one (a painter) while a test
// goes on. Windows are known by sway's container id, the id the agent gives
// them. Also the private headless sway itself.

#include <signal.h>
#include <unistd.h>
#include <wayland-client.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "support/child_process.h"

namespace vantor::test {

class WaylandTestWindows {
 public:
  // Connects to $WAYLAND_DISPLAY for the outputs; sway's IPC is $SWAYSOCK's.
  // Throws std::runtime_error.
  WaylandTestWindows() {
    wl_display* display = wl_display_connect(nullptr);
    if (!display) throw std::runtime_error("cannot connect to the Wayland compositor");
    static const wl_registry_listener listener = {
        [](void* outputs, wl_registry*, uint32_t name, const char* interface, uint32_t) {
          if (std::string_view(interface) == wl_output_interface.name)
            static_cast<std::vector<uint32_t>*>(outputs)->push_back(name);
        },
        [](void*, wl_registry*, uint32_t) {}};
    wl_registry* registry = wl_display_get_registry(display);
    wl_registry_add_listener(registry, &listener, &outputs_);
    wl_display_roundtrip(display);
    wl_registry_destroy(registry);
    wl_display_disconnect(display);
  }
  WaylandTestWindows(const WaylandTestWindows&) = delete;
  WaylandTestWindows& operator=(const WaylandTestWindows&) = delete;

  // A window of one colour (0xRRGGBB) at x, y of the layout, in front, at
  // least 14x14 (foot's smallest); returns once sway shows it there.
  uint32_t create(int x, int y, int width, int height, uint32_t color, const std::string& title = "test") {
    Window w{.appId = "vantor-test-" + std::to_string(++next_)};
    // Nothing on it but the background: no padding, the cursor hidden (and
    // until then of the background's colour). The shell copies foot's stdin,
    // which fill writes to, onto the terminal.
    const std::string background = hex(color);
    w.foot = std::make_unique<ChildProcess>(std::vector<std::string>{
        "foot", "--config=/dev/null", "--log-level=warning", "--app-id=" + w.appId, "--title=" + title,
        "--window-size-pixels=" + std::to_string(width) + "x" + std::to_string(height), "--override=pad=0x0",
        "--override=colors.background=" + background, "--override=cursor.color=" + background + " " + background,
        "sh", "-c", "printf '\\033[?25l'; exec cat /proc/$PPID/fd/0"});
    nlohmann::json c;
    try {
      waitFor([&] { return !(c = container(w.appId)).is_null(); }, "sway to show " + w.appId);
    } catch (const std::runtime_error& e) {
      ::kill(w.foot->pid(), SIGKILL);
      throw std::runtime_error(e.what() + std::string("; foot said: ") + w.foot->waitForExit().err);
    }
    uint32_t id = c.at("id").get<uint32_t>();
    {
      std::lock_guard lock(mutex_);
      windows_[id] = std::move(w);
    }
    moveResize(id, x, y, width, height);
    return id;
  }
  // From any thread. OSC 11 sets the terminal's background, all there is to see.
  void fill(uint32_t window, uint32_t color) {
    std::lock_guard lock(mutex_);
    if (!windows_.at(window).foot->write("\033]11;#" + hex(color) + "\033\\"))
      throw std::runtime_error("foot no longer reads what fills " + windows_.at(window).appId);
  }
  // Returns once sway tells of the new place; a new size shows once foot has
  // drawn it, a frame later.
  void moveResize(uint32_t window, int x, int y, int width, int height) {
    std::string appId;
    {
      std::lock_guard lock(mutex_);
      Window& w = windows_.at(window);
      appId = w.appId, w.x = x, w.y = y, w.width = width, w.height = height;
    }
    command("[con_id=" + std::to_string(window) + "] resize set width " + std::to_string(width) + " px height " +
            std::to_string(height) + " px, move absolute position " + std::to_string(x) + " " + std::to_string(y));
    waitFor([&] {
      nlohmann::json r = container(appId).value("rect", nlohmann::json::object());
      return r.value("x", -1) == x && r.value("y", -1) == y && r.value("width", 0) == width &&
             r.value("height", 0) == height;
    }, "sway to place " + appId);
  }
  void show(uint32_t window, bool shown) {  // hidden: on a workspace that is not shown
    std::string con = "[con_id=" + std::to_string(window) + "] ";
    if (!shown) return command(con + "move scratchpad");
    command(con + "scratchpad show");
    Window* w;
    {
      std::lock_guard lock(mutex_);
      w = &windows_.at(window);
    }
    moveResize(window, w->x, w->y, w->width, w->height);  // back where it was
  }
  void raise(uint32_t window) { command("[con_id=" + std::to_string(window) + "] focus"); }
  void destroy(uint32_t window) {
    Window w;
    {
      std::lock_guard lock(mutex_);
      w = std::move(windows_.at(window));
      windows_.erase(window);
    }
    w.foot->finish();  // the shell's cat reads to the end, and foot ends with it
    waitFor([&] { return container(w.appId).is_null(); }, "sway to close " + w.appId);
  }
  // The registry's names of the outputs, in the order the compositor announced them.
  std::vector<uint32_t> outputs() const { return outputs_; }
  // A sway command, e.g. "output HEADLESS-1 disable"; throws when sway refuses it.
  void command(const std::string& command) {
    auto r = nlohmann::json::parse(swaymsg("-r '" + command + "'"), nullptr, false);
    if (!r.is_array() || r.empty() ||
        !std::all_of(r.begin(), r.end(), [](const nlohmann::json& c) { return c.value("success", false); }))
      throw std::runtime_error("sway refused \"" + command + "\": " + r.dump());
  }

 private:
  struct Window {
    std::string appId;
    std::unique_ptr<ChildProcess> foot;  // its stdin feeds the terminal
    int x = 0, y = 0, width = 0, height = 0;
  };

  static std::string swaymsg(const std::string& args) {
    std::string out;
    if (FILE* p = ::popen(("swaymsg " + args + " 2>&1").c_str(), "r")) {
      char buf[4096];
      while (size_t n = std::fread(buf, 1, sizeof buf, p)) out.append(buf, n);
      if (::pclose(p) != 0) throw std::runtime_error("swaymsg " + args + ": " + out);
    }
    return out;
  }
  // Waits until `done` holds; throws after a while (foot's first start on a
  // busy machine loads its fonts).
  static void waitFor(const std::function<bool()>& done, const std::string& what) {
    for (auto until = std::chrono::steady_clock::now() + kProcessTimeout; !done();
         std::this_thread::sleep_for(std::chrono::milliseconds(5)))
      if (std::chrono::steady_clock::now() > until) throw std::runtime_error("timed out waiting for " + what);
  }
  // sway's container for the window with `appId`; null while it has none.
  static nlohmann::json container(const std::string& appId) {
    std::function<nlohmann::json(const nlohmann::json&)> find = [&](const nlohmann::json& n) -> nlohmann::json {
      if (n.value("app_id", nlohmann::json()) == appId) return n;
      for (const char* kids : {"nodes", "floating_nodes"})
        for (const nlohmann::json& c : n.value(kids, nlohmann::json::array()))
          if (auto found = find(c); !found.is_null()) return found;
      return nullptr;
    };
    return find(nlohmann::json::parse(swaymsg("-t get_tree -r")));
  }
  static std::string hex(uint32_t color) {
    char text[8];
    std::snprintf(text, sizeof text, "%06x", color & 0xffffffu);
    return text;
  }

  std::vector<uint32_t> outputs_;
  std::mutex mutex_;  // guards windows_: painters fill from threads of their own
  std::map<uint32_t, Window> windows_;
  int next_ = 0;
};

// A private headless sway started through scripts/virtual-wayland.sh, stopped
// when the object goes; `options` are the script's ("--outputs 2", "--portal
// SHIM"). While it lives, WAYLAND_DISPLAY and SWAYSOCK name it, and with the
// portal DBUS_SESSION_BUS_ADDRESS its bus and XDG_STATE_HOME a folder of its own.
class VirtualWayland {
 public:
  // Returns null and sets `why` when sway could not be started.
  static std::unique_ptr<VirtualWayland> start(const std::string& script, const std::string& options,
                                               std::string* why) {
    // --parent: sway goes with this process even when a test crashes.
    auto words = runServerScript(script, "start " + options + " --parent " + std::to_string(getpid()), why);
    if (words["WAYLAND_DISPLAY"].empty() || words["SWAYSOCK"].empty()) return nullptr;
    std::unique_ptr<VirtualWayland> session(new VirtualWayland);
    session->words_ = std::move(words);
    session->use();
    return session;
  }
  ~VirtualWayland() {
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
      for (int i = 0; i < 100 && running(pid); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::error_code ignored;
    if (words_["SWAY_DIR"].find("vantor-sway.") != std::string::npos) std::filesystem::remove_all(words_["SWAY_DIR"], ignored);
    unsetenv("WAYLAND_DISPLAY");
    unsetenv("SWAYSOCK");
    if (!words_["DBUS_SESSION_BUS_ADDRESS"].empty()) unsetenv("DBUS_SESSION_BUS_ADDRESS"), unsetenv("XDG_STATE_HOME");
  }
  void use() {  // names it in the environment again, after another session
    setenv("WAYLAND_DISPLAY", display().c_str(), 1);
    setenv("SWAYSOCK", words_["SWAYSOCK"].c_str(), 1);
    if (auto bus = words_["DBUS_SESSION_BUS_ADDRESS"]; !bus.empty()) {
      setenv("DBUS_SESSION_BUS_ADDRESS", bus.c_str(), 1);
      // Restore tokens go with the session, not into the user's own state.
      setenv("XDG_STATE_HOME", (words_["SWAY_DIR"] + "/state").c_str(), 1);
    }
  }
  const std::string& display() const { return words_.at("WAYLAND_DISPLAY"); }

 private:
  std::map<std::string, std::string> words_;
};

}  // namespace vantor::test
