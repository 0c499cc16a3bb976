#pragma once
// The desktop's ScreenCast portal (org.freedesktop.portal.ScreenCast) over
// sd-bus: a session is created, sources selected, started (where the
// desktop may show its consent dialog) and a PipeWire remote opened, whose
// node then carries the frames (pipewire_receiver.h).
//
// Every call blocks the calling thread (a stream's own, or the service's
// queue) in poll(2) on the bus and an optional wake fd, never the main loop.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "util/error.h"

struct sd_bus;
struct sd_bus_slot;

namespace vantor::platform::portal {

inline constexpr const char* kErrorDomain = "Vantor.Portal";

enum ErrorCode {
  kNoBus = 1,         // no session bus to reach the portal through
  kNoPortal = 2,      // nothing on the bus answers for the ScreenCast portal
  kRefused = 3,       // the user said no in the desktop's dialog
  kPortalFailed = 4,  // the portal or its backend could not share the screen
  kNoWindows = 5,     // the portal shares whole displays only
  kStreamFailed = 6,  // PipeWire did not deliver
  kInvalidUse = 7,    // a method was called out of order
  kStopped = 8,       // a stop came while waiting for the portal
};

inline Error portalError(int code, std::string description) {
  return Error(kErrorDomain, code, std::move(description));
}

enum class SourceKind { display, window };

// The first argument of a Request's Response signal: 0 when `step` went
// through; otherwise throws the Error the host reads (kRefused for 1, the
// user's "no"; kPortalFailed for anything else).
void checkResponse(uint32_t code, const std::string& step);

// The cursor_mode to ask for among `available` (the portal's
// AvailableCursorModes bits): drawn into the frames when `shown` and
// offered, else hidden when that is offered. The one place that maps
// whether frames show the cursor to the portal's terms.
uint32_t cursorMode(uint32_t available, bool shown);

// The restore token kept for `kind` ($XDG_STATE_HOME/vantor/, or
// ~/.local/state/vantor/), which lets a later session skip the dialog.
std::optional<std::string> loadRestoreToken(SourceKind kind);
// Replaces it in one rename; a failure is logged, not thrown (the take goes
// on, the dialog just shows again next time).
void saveRestoreToken(SourceKind kind, const std::string& token);

struct StartedCast {
  int pipewireFd = -1;  // the caller owns it
  uint32_t node = 0;    // the first stream's PipeWire node
  int width = 0, height = 0;  // its size, when the portal tells (0 otherwise)
};

class ScreenCastSession {
 public:
  // Connects to the session bus and reads what the portal offers. `wakeFd`
  // (or -1) becoming readable abandons any wait with kStopped. Throws kNoBus,
  // kNoPortal.
  explicit ScreenCastSession(int wakeFd);
  ~ScreenCastSession();  // closes the portal's session: the desktop stops sharing
  ScreenCastSession(const ScreenCastSession&) = delete;
  ScreenCastSession& operator=(const ScreenCastSession&) = delete;

  uint32_t availableSourceTypes() const { return sourceTypes_; }  // 1 monitor, 2 window, 4 virtual

  // CreateSession, SelectSources (with the kind's restore token, asking for
  // a new one), Start, OpenPipeWireRemote. Keeps the new token. Throws
  // kRefused, kPortalFailed, kNoWindows, kStopped.
  StartedCast start(SourceKind kind, bool showCursor);

  // For a started session's owner: the bus to poll while frames flow, and
  // whether the desktop closed the session since (its own "stop sharing").
  int busFd() const;
  bool closedByDesktop();

 private:
  struct Response {
    bool done = false;
    uint32_t code = 2;
    std::string sessionHandle, restoreToken;
    std::vector<StartedCast> streams;
  };
  // Calls `method` with the options appended by `fill`, whose handle_token
  // it adds; returns the Response the portal sends on the Request.
  template <typename Fill>
  Response request(const char* method, const std::string& step, std::chrono::seconds patience, Fill fill);
  void wait(Response& r, const std::string& step, std::chrono::seconds patience);
  std::string nextToken();

  sd_bus* bus_ = nullptr;
  int wakeFd_;
  uint32_t version_ = 0, sourceTypes_ = 0, cursorModes_ = 0;
  std::string sender_;  // our unique name as request paths spell it: "1_42"
  std::string session_;
  sd_bus_slot* closed_ = nullptr;  // the session's Closed signal
  bool wasClosed_ = false;
  int tokens_ = 0;
};

}  // namespace vantor::platform::portal
