#pragma once
// The windows of a wlroots compositor that is not sway (Hyprland, river,
// labwc, wayfire...), from wlr-foreign-toplevel-management: title, app id and
// state, but no place on screen, so they are listed and never recorded.
//
// One connection of its own, kept for the service's life, with a thread
// ("wayland-toplevels") that reads the compositor's events as they come: a
// busy compositor (a terminal retitling itself) must not fill the socket
// while nobody lists. Callbacks on that thread only update the state under
// a mutex; list() asks that thread for a round trip and reads a snapshot.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace vantor::platform::wayland {

struct Toplevel {
  uint32_t id = 0;  // ours: kept for the toplevel's life in this process, never reused
  std::string title;
  std::string appId;
};

class Toplevels {
 public:
  // Connects to the compositor and reads its current toplevels. Null when it
  // does not offer the protocol. Throws Error (kConnectFailed).
  static std::unique_ptr<Toplevels> open();
  ~Toplevels();
  Toplevels(const Toplevels&) = delete;
  Toplevels& operator=(const Toplevels&) = delete;

  // The toplevels that are not minimised, up to date with the compositor:
  // the activated one first, then those activated while this watched, the
  // most recent first, then the rest in the order the compositor announced
  // them (wlroots: the newest first).
  // Not from the watching thread. Throws Error (kConnectionLost).
  std::vector<Toplevel> list();

  struct State;

 private:
  explicit Toplevels(std::unique_ptr<State> s);
  std::unique_ptr<State> s_;
};

}  // namespace vantor::platform::wayland
