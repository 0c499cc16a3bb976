#pragma once
// One connection to a Wayland compositor with the globals capture uses: the
// outputs (with their names and places from xdg-output), shared memory and
// wlr-screencopy. A connection belongs to one thread; every stream opens its
// own.

#include <wayland-client.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "util/error.h"

struct zxdg_output_manager_v1;
struct zxdg_output_v1;
struct zwlr_screencopy_manager_v1;

namespace vantor::platform::wayland {

inline constexpr const char* kErrorDomain = "Vantor.Wayland";

enum ErrorCode {
  kNoDisplay = 1,          // no Wayland session named in the environment
  kConnectFailed = 2,      // the compositor could not be reached
  kConnectionLost = 3,     // the connection broke during an operation
  kDisplayGone = 4,        // a display of an earlier query is no longer there
  kWindowGone = 5,         // a window of an earlier query is no longer there
  kMissingProtocol = 6,    // the compositor lacks a protocol capture needs
  kCopyFailed = 7,         // the compositor refused to hand over pixels
  kInvalidUse = 8,         // a method was called out of order
  kNoWindowPlaces = 9,     // a window where the compositor does not tell where windows are
};

inline Error waylandError(int code, std::string description) {
  return Error(kErrorDomain, code, std::move(description));
}

struct Output {
  uint32_t globalName = 0;  // the registry's name: the same for every client while the output exists
  wl_output* proxy = nullptr;
  zxdg_output_v1* xdgOutput = nullptr;
  std::string name;          // "HEADLESS-1", "eDP-1", ...
  int x = 0, y = 0;          // top-left in the compositor's layout (logical pixels)
  int logicalWidth = 0, logicalHeight = 0;
  int modeWidth = 0, modeHeight = 0;  // the current mode, in the output's own pixels
  int transform = 0;                  // wl_output.transform
  int scale = 1;

  // The size of what screencopy hands over for the whole output.
  int pixelWidth() const { return transform % 2 ? modeHeight : modeWidth; }
  int pixelHeight() const { return transform % 2 ? modeWidth : modeHeight; }
};

class Connection {
 public:
  // Connects to the compositor that WAYLAND_DISPLAY names (wayland-0 when
  // unset) and learns its outputs. Throws Error (kConnectFailed, and
  // kMissingProtocol when `forCopying` and there is no wlr-screencopy: the
  // portal path only lists outputs).
  static std::unique_ptr<Connection> open(bool forCopying = true);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  wl_display* display() const { return display_; }
  wl_shm* shm() const { return shm_; }
  zwlr_screencopy_manager_v1* screencopy() const { return screencopy_; }
  int screencopyVersion() const { return screencopyVersion_; }
  const std::vector<std::unique_ptr<Output>>& outputs() const { return outputs_; }
  const Output* findOutput(uint32_t globalName) const;
  const Output* findOutput(const std::string& name) const;

  // Sends what is queued and handles what has arrived, without waiting.
  // Throws kConnectionLost.
  void dispatchPending();
  // A round trip: everything sent so far has been handled by the compositor
  // and its answers by us. Throws kConnectionLost.
  void roundtrip();
  int fd() const { return wl_display_get_fd(display_); }

 private:
  explicit Connection(wl_display* display);
  static void global(void* data, wl_registry* registry, uint32_t name, const char* interface, uint32_t version);
  static void globalRemove(void* data, wl_registry* registry, uint32_t name);
  void addOutput(uint32_t name, uint32_t version);
  void describeOutput(Output& o);

  wl_display* display_;
  wl_registry* registry_ = nullptr;
  wl_shm* shm_ = nullptr;
  zxdg_output_manager_v1* xdgOutputManager_ = nullptr;
  zwlr_screencopy_manager_v1* screencopy_ = nullptr;
  int screencopyVersion_ = 0;
  std::vector<std::unique_ptr<Output>> outputs_;
};

}  // namespace vantor::platform::wayland
