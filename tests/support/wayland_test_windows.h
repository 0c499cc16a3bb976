#pragma once
// Windows on a headless sway, made to order for tests: foot terminals showing
// nothing but their background colour, floating (the session of
// scripts/virtual-wayland.sh floats app ids "vantor-test…") and placed
// through sway's IPC. Any thread may repaint one (a painter) while a test
// goes on. Windows are known by sway's container id, the id the agent gives them.

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace vantor::test {

class WaylandTestWindows {
 public:
  // Connects to $WAYLAND_DISPLAY and $SWAYSOCK. Throws std::runtime_error.
  WaylandTestWindows();
  ~WaylandTestWindows();
  WaylandTestWindows(const WaylandTestWindows&) = delete;
  WaylandTestWindows& operator=(const WaylandTestWindows&) = delete;

  // A window of one colour (0xRRGGBB) at x, y of the layout, in front, at
  // least 14x14 (foot's smallest); returns once sway shows it there.
  uint32_t create(int x, int y, int width, int height, uint32_t color, const std::string& title = "test");
  void fill(uint32_t window, uint32_t color);  // from any thread
  void moveResize(uint32_t window, int x, int y, int width, int height);
  void show(uint32_t window, bool shown);  // hidden: on a workspace that is not shown
  void raise(uint32_t window);
  void destroy(uint32_t window);
  // The registry's names of the outputs, in the order the compositor announced them.
  std::vector<uint32_t> outputs() const;
  // A sway command, e.g. "output HEADLESS-1 disable"; throws when sway refuses it.
  void command(const std::string& command);

 private:
  struct State;
  std::unique_ptr<State> s_;
};

// A private headless sway started through scripts/virtual-wayland.sh, stopped
// when the object goes; `options` are the script's ("--outputs 2", "--portal
// SHIM"). While it lives, WAYLAND_DISPLAY and SWAYSOCK name it, and with the
// portal DBUS_SESSION_BUS_ADDRESS its bus and XDG_STATE_HOME a folder of its own.
class VirtualWayland {
 public:
  // Returns null and sets `why` when sway could not be started.
  static std::unique_ptr<VirtualWayland> start(const std::string& script, const std::string& options,
                                               std::string* why);
  ~VirtualWayland();
  void use();  // names it in the environment again, after another session
  const std::string& display() const { return words_.at("WAYLAND_DISPLAY"); }

 private:
  std::map<std::string, std::string> words_;
};

}  // namespace vantor::test
