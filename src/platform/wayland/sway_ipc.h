#pragma once
// Windows and where they are, from sway's IPC socket ($SWAYSOCK): the one
// wlroots compositor that tells clients each window's rectangle on screen.
// Other compositors give no geometry, so their windows cannot be cropped out
// of an output: they are only listed (toplevels.h).

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/wayland/screen_copy.h"

namespace vantor::platform::wayland {

struct SwayWindow {
  int64_t id = 0;  // sway's container id: stable while the window exists
  std::string title;
  std::string application;  // app_id, or the X11 class of an Xwayland window
  std::string output;       // the output it is shown on
  Region rect;              // its content (no decorations) in layout coordinates
  bool visible = false;     // on a workspace that is shown
};

class SwayIpc {
 public:
  // The socket to use, or nullopt when SWAYSOCK names none.
  static std::optional<std::string> socketPath();
  // Throws Error (kConnectFailed) when the socket cannot be reached.
  static std::unique_ptr<SwayIpc> open(const std::string& path);
  ~SwayIpc();
  SwayIpc(const SwayIpc&) = delete;
  SwayIpc& operator=(const SwayIpc&) = delete;

  // Every window, front-most first: floating above tiled, then the most
  // recently focused first; those on hidden workspaces are not visible.
  // Throws Error (kConnectionLost).
  std::vector<SwayWindow> windows();

  // Streams: after this, fd() becomes readable whenever a window changes
  // (moved, resized, closed, focused...); takeEvents() reads what came.
  void subscribeToWindows();
  int fd() const { return fd_; }
  bool takeEvents();

 private:
  explicit SwayIpc(int fd) : fd_(fd) {}
  std::string ask(uint32_t type, const std::string& payload);
  void send(uint32_t type, const std::string& payload);
  // The next message's type and payload; blocks.
  std::pair<uint32_t, std::string> receive();

  int fd_;
};

}  // namespace vantor::platform::wayland
