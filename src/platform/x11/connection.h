#pragma once
// One xcb connection with the atoms and extensions the capture code uses.
// A connection belongs to one thread at a time; every stream opens its own.

#include <xcb/xcb.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "util/error.h"

namespace vantor::platform::x11 {

inline constexpr const char* kErrorDomain = "Vantor.X11";

enum ErrorCode {
  kNoDisplay = 1,         // DISPLAY unset or empty
  kConnectFailed = 2,     // the X server could not be reached
  kConnectionLost = 3,    // the connection broke during an operation
  kDisplayGone = 4,       // a display of an earlier query is no longer there
  kWindowGone = 5,        // a window of an earlier query is no longer there
  kMissingExtension = 6,  // the server lacks an extension capture needs
  kGrabFailed = 7,        // the server refused to hand over pixels
  kInvalidUse = 8,        // a method was called out of order
};

inline Error x11Error(int code, std::string description) {
  return Error(kErrorDomain, code, std::move(description));
}

// Owns a reply (or any malloc'ed xcb memory).
struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};
template <typename T>
using Reply = std::unique_ptr<T, FreeDeleter>;

// Atoms interned once per connection, in one round trip.
struct Atoms {
  xcb_atom_t UTF8_STRING, COMPOUND_TEXT, WM_STATE, _NET_SUPPORTING_WM_CHECK, _NET_CLIENT_LIST,
      _NET_CLIENT_LIST_STACKING, _NET_WM_NAME, _NET_WM_PID, _NET_WM_STATE, _NET_WM_STATE_HIDDEN,
      _NET_WM_WINDOW_TYPE, _NET_WM_WINDOW_TYPE_NORMAL, _NET_WM_WINDOW_TYPE_DIALOG,
      _NET_WM_WINDOW_TYPE_DESKTOP, _NET_WM_WINDOW_TYPE_DOCK, _NET_WM_WINDOW_TYPE_TOOLBAR,
      _NET_WM_WINDOW_TYPE_MENU, _NET_WM_WINDOW_TYPE_UTILITY, _NET_WM_WINDOW_TYPE_SPLASH,
      _NET_WM_WINDOW_TYPE_DROPDOWN_MENU, _NET_WM_WINDOW_TYPE_POPUP_MENU, _NET_WM_WINDOW_TYPE_TOOLTIP,
      _NET_WM_WINDOW_TYPE_NOTIFICATION, _NET_WM_WINDOW_TYPE_COMBO, _NET_WM_WINDOW_TYPE_DND;
};

struct Extensions {
  bool shm = false;
  bool randr = false;      // 1.5 or later: monitors
  bool composite = false;  // 0.2 or later: NameWindowPixmap
  bool xfixes = false;     // 2.0 or later: cursor image and regions
  bool damage = false;
  bool res = false;        // 1.2 or later: client ids
  bool xinput = false;     // 2.0 or later: raw pointer motion
  uint8_t xinputOpcode = 0;
  uint8_t damageEventBase = 0;
  uint8_t xfixesEventBase = 0;
};

class Connection {
 public:
  // Connects to `display`, or to $DISPLAY when it is nullopt. Throws Error
  // (kNoDisplay, kConnectFailed) with a description people can act on.
  static std::unique_ptr<Connection> open(const std::optional<std::string>& display);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  xcb_connection_t* get() const { return c_; }
  const xcb_screen_t& screen() const { return *screen_; }
  xcb_window_t root() const { return screen_->root; }
  const Atoms& atoms() const { return atoms_; }
  const Extensions& extensions() const { return ext_; }
  const std::string& name() const { return name_; }
  int fd() const { return xcb_get_file_descriptor(c_); }

  bool broken() const { return xcb_connection_has_error(c_) != 0; }
  // Throws kConnectionLost when the connection has broken.
  void check() const;

 private:
  Connection(xcb_connection_t* c, const xcb_screen_t* screen, std::string name);
  void internAtoms();
  void queryExtensions();

  xcb_connection_t* c_;
  const xcb_screen_t* screen_;
  std::string name_;
  Atoms atoms_{};
  Extensions ext_{};
};

}  // namespace vantor::platform::x11
