#include "platform/portal/screencast_portal.h"

#include <fcntl.h>
#include <poll.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <utility>

#include "util/log.h"

namespace vantor::platform::portal {
namespace {

using Clock = std::chrono::steady_clock;
constexpr const char* kPortal = "org.freedesktop.portal.Desktop";
constexpr const char* kPath = "/org/freedesktop/portal/desktop";
constexpr const char* kScreenCast = "org.freedesktop.portal.ScreenCast";
// Source types and cursor modes as the portal numbers them.
constexpr uint32_t kMonitor = 1, kWindow = 2;
constexpr uint32_t kCursorHidden = 1, kCursorEmbedded = 2;
// No dialog comes before Start; Start waits for a person.
constexpr std::chrono::seconds kQuick{10}, kDialog{120};

std::string busMessage(int r, const sd_bus_error* e) {
  if (e && sd_bus_error_is_set(e)) return e->message ? e->message : e->name;
  return std::strerror(-r);
}

// Reads a Response's results (a{sv}), keeping what a ScreenCast session needs.
int readResults(sd_bus_message* m, std::string& session, std::string& token, std::vector<StartedCast>& streams) {
  int r = sd_bus_message_enter_container(m, 'a', "{sv}");
  if (r < 0) return r;
  while ((r = sd_bus_message_enter_container(m, 'e', "sv")) > 0) {
    const char* key = nullptr;
    if ((r = sd_bus_message_read(m, "s", &key)) < 0) return r;
    const char* text = nullptr;
    if (std::strcmp(key, "session_handle") == 0 || std::strcmp(key, "restore_token") == 0) {
      if ((r = sd_bus_message_read(m, "v", "s", &text)) < 0) return r;
      (key[0] == 's' ? session : token) = text;
    } else if (std::strcmp(key, "streams") == 0) {
      if ((r = sd_bus_message_enter_container(m, 'v', "a(ua{sv})")) < 0) return r;
      if ((r = sd_bus_message_enter_container(m, 'a', "(ua{sv})")) < 0) return r;
      while ((r = sd_bus_message_enter_container(m, 'r', "ua{sv}")) > 0) {
        StartedCast s;
        if ((r = sd_bus_message_read(m, "u", &s.node)) < 0) return r;
        if ((r = sd_bus_message_enter_container(m, 'a', "{sv}")) < 0) return r;
        while ((r = sd_bus_message_enter_container(m, 'e', "sv")) > 0) {
          const char* prop = nullptr;
          if ((r = sd_bus_message_read(m, "s", &prop)) < 0) return r;
          if (std::strcmp(prop, "size") == 0) r = sd_bus_message_read(m, "v", "(ii)", &s.width, &s.height);
          else r = sd_bus_message_skip(m, "v");
          if (r < 0 || (r = sd_bus_message_exit_container(m)) < 0) return r;
        }
        if (r < 0 || (r = sd_bus_message_exit_container(m)) < 0 || (r = sd_bus_message_exit_container(m)) < 0)
          return r;
        streams.push_back(s);
      }
      if (r < 0 || (r = sd_bus_message_exit_container(m)) < 0 || (r = sd_bus_message_exit_container(m)) < 0) return r;
    } else if ((r = sd_bus_message_skip(m, "v")) < 0) {
      return r;
    }
    if ((r = sd_bus_message_exit_container(m)) < 0) return r;
  }
  return r < 0 ? r : sd_bus_message_exit_container(m);
}

std::filesystem::path tokenPath(SourceKind kind) {
  const char* state = std::getenv("XDG_STATE_HOME");
  const char* home = std::getenv("HOME");
  std::filesystem::path dir = state && *state ? std::filesystem::path(state)
                                              : std::filesystem::path(home && *home ? home : "/") / ".local/state";
  return dir / "vantor" / (kind == SourceKind::display ? "portal-display.token" : "portal-window.token");
}

}  // namespace

void checkResponse(uint32_t code, const std::string& step) {
  if (code == 0) return;
  if (code == 1) throw portalError(kRefused, "screen sharing was refused in the desktop's dialog");
  throw portalError(kPortalFailed, "the desktop's screen-sharing portal could not " + step + " (response " +
                                       std::to_string(code) + ")");
}

uint32_t cursorMode(uint32_t available, bool shown) {
  if (shown && (available & kCursorEmbedded)) return kCursorEmbedded;
  return available & kCursorHidden ? kCursorHidden : 0;
}

std::optional<std::string> loadRestoreToken(SourceKind kind) {
  std::ifstream in(tokenPath(kind));
  std::string token;
  if (!std::getline(in, token) || token.empty()) return std::nullopt;
  return token;
}

void saveRestoreToken(SourceKind kind, const std::string& token) {
  auto path = tokenPath(kind);
  std::error_code e;
  std::filesystem::create_directories(path.parent_path(), e);
  auto temporary = path;
  temporary += ".new";
  // Written beside it, flushed, then renamed over it: a crash leaves the old
  // token or the new, never half of one.
  int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  std::string text = token + "\n";
  bool ok = fd >= 0 && ::write(fd, text.data(), text.size()) == ssize_t(text.size()) && ::fsync(fd) == 0;
  if (fd >= 0) ::close(fd);
  if (ok && std::rename(temporary.c_str(), path.c_str()) == 0) return;
  logError("portal: cannot keep the screen-sharing permission in " + path.string() + ": " + std::strerror(errno) +
           "; the desktop will ask again next time");
  ::unlink(temporary.c_str());
}

ScreenCastSession::ScreenCastSession(int wakeFd) : wakeFd_(wakeFd) {
  int r = sd_bus_open_user(&bus_);
  if (r < 0) throw portalError(kNoBus, std::string("cannot reach the session bus for the screen-sharing portal: ") +
                                           std::strerror(-r));
  const char* unique = nullptr;
  sd_bus_get_unique_name(bus_, &unique);
  sender_ = unique ? unique + 1 : "";
  std::replace(sender_.begin(), sender_.end(), '.', '_');
  auto property = [&](const char* name, uint32_t& value) {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    int r = sd_bus_get_property_trivial(bus_, kPortal, kPath, kScreenCast, name, &error, 'u', &value);
    std::string why = busMessage(r, &error);
    sd_bus_error_free(&error);
    if (r < 0) {
      sd_bus_flush_close_unref(std::exchange(bus_, nullptr));
      throw portalError(kNoPortal, "no desktop portal offers screen sharing on the session bus (" + why + ")");
    }
  };
  property("version", version_);
  property("AvailableSourceTypes", sourceTypes_);
  if (version_ >= 2) property("AvailableCursorModes", cursorModes_);
}

ScreenCastSession::~ScreenCastSession() {
  sd_bus_slot_unref(closed_);
  if (!session_.empty() && !wasClosed_)
    sd_bus_call_method(bus_, kPortal, session_.c_str(), "org.freedesktop.portal.Session", "Close", nullptr, nullptr,
                       "");
  sd_bus_flush_close_unref(bus_);
}

std::string ScreenCastSession::nextToken() {
  return "vantor" + std::to_string(getpid()) + "_" + std::to_string(++tokens_);
}

template <typename Fill>
ScreenCastSession::Response ScreenCastSession::request(const char* method, const std::string& step,
                                                       std::chrono::seconds patience, Fill fill) {
  Response response;
  std::string token = nextToken();
  // Subscribed before the call, on the path the portal will use, so that a
  // quick answer cannot come before we listen.
  auto listen = [&](const std::string& path, sd_bus_slot** slot) {
    return sd_bus_match_signal(
        bus_, slot, kPortal, path.c_str(), "org.freedesktop.portal.Request", "Response",
        [](sd_bus_message* m, void* data, sd_bus_error*) {
          auto* r = static_cast<Response*>(data);
          if (sd_bus_message_read(m, "u", &r->code) < 0 ||
              readResults(m, r->sessionHandle, r->restoreToken, r->streams) < 0)
            r->code = r->code ? r->code : 2;
          r->done = true;
          return 0;
        },
        &response);
  };
  const std::string expected = std::string(kPath) + "/request/" + sender_ + "/" + token;
  sd_bus_slot* slot = nullptr;
  int r = listen(expected, &slot);
  sd_bus_message *call = nullptr, *reply = nullptr;
  sd_bus_error error = SD_BUS_ERROR_NULL;
  if (r >= 0) r = sd_bus_message_new_method_call(bus_, &call, kPortal, kPath, kScreenCast, method);
  if (r >= 0) r = fill(call);
  if (r >= 0) r = sd_bus_message_append(call, "{sv}", "handle_token", "s", token.c_str());
  if (r >= 0) r = sd_bus_message_close_container(call);
  if (r >= 0) r = sd_bus_call(bus_, call, 0, &error, &reply);
  const char* handle = nullptr;
  if (r >= 0) r = sd_bus_message_read(reply, "o", &handle);
  std::string why = busMessage(r, &error);
  sd_bus_error_free(&error);
  sd_bus_message_unref(call);
  if (r >= 0 && expected != handle) {  // portals before version 0.9 name requests their own way
    sd_bus_slot_unref(std::exchange(slot, nullptr));
    r = listen(handle, &slot);
  }
  sd_bus_message_unref(reply);
  if (r < 0) {
    sd_bus_slot_unref(slot);
    throw portalError(kPortalFailed, "the desktop's screen-sharing portal could not " + step + ": " + why);
  }
  try {
    wait(response, step, patience);
  } catch (...) {
    sd_bus_slot_unref(slot);
    throw;
  }
  sd_bus_slot_unref(slot);
  checkResponse(response.code, step);
  return response;
}

void ScreenCastSession::wait(Response& response, const std::string& step, std::chrono::seconds patience) {
  const auto deadline = Clock::now() + patience;
  while (!response.done) {
    int r = sd_bus_process(bus_, nullptr);
    if (r < 0) throw portalError(kPortalFailed, "lost the session bus while waiting to " + step);
    if (r > 0) continue;
    auto left = deadline - Clock::now();
    if (left <= Clock::duration::zero()) {
      if (patience == kDialog)
        throw portalError(kPortalFailed, "nobody answered the desktop's screen-sharing dialog within " +
                                             std::to_string(kDialog.count()) + " s");
      throw portalError(kPortalFailed, "the desktop's screen-sharing portal did not answer (" + step + ")");
    }
    pollfd fds[2] = {{sd_bus_get_fd(bus_), short(sd_bus_get_events(bus_)), 0}, {wakeFd_, POLLIN, 0}};
    int ms = int(std::chrono::ceil<std::chrono::milliseconds>(left).count());
    if (poll(fds, wakeFd_ >= 0 ? 2 : 1, std::min(ms, 1000)) < 0 && errno != EINTR)
      throw portalError(kPortalFailed, "poll failed while waiting to " + step);
    if (wakeFd_ >= 0 && (fds[1].revents & POLLIN)) throw portalError(kStopped, "stopped while waiting to " + step);
  }
}

StartedCast ScreenCastSession::start(SourceKind kind, bool showCursor) {
  if (!session_.empty()) throw portalError(kInvalidUse, "a screen-sharing session starts once");
  uint32_t types = kind == SourceKind::display ? kMonitor : kWindow;
  if (!(sourceTypes_ & types))
    throw portalError(kind == SourceKind::window ? kNoWindows : kPortalFailed,
                      kind == SourceKind::window
                          ? "this desktop's screen-sharing portal shares whole displays only, not single windows"
                          : "this desktop's screen-sharing portal does not share displays");

  std::string sessionToken = nextToken();
  auto created = request("CreateSession", "create a session", kQuick, [&](sd_bus_message* m) {
    int r = sd_bus_message_open_container(m, 'a', "{sv}");
    return r < 0 ? r : sd_bus_message_append(m, "{sv}", "session_handle_token", "s", sessionToken.c_str());
  });
  session_ = created.sessionHandle;
  if (session_.empty()) throw portalError(kPortalFailed, "the desktop's screen-sharing portal named no session");
  sd_bus_match_signal(
      bus_, &closed_, kPortal, session_.c_str(), "org.freedesktop.portal.Session", "Closed",
      [](sd_bus_message*, void* data, sd_bus_error*) {
        *static_cast<bool*>(data) = true;
        return 0;
      },
      &wasClosed_);

  const auto kept = version_ >= 4 ? loadRestoreToken(kind) : std::nullopt;
  request("SelectSources", "select what to share", kQuick, [&](sd_bus_message* m) {
    int r = sd_bus_message_append(m, "o", session_.c_str());
    if (r >= 0) r = sd_bus_message_open_container(m, 'a', "{sv}");
    if (r >= 0) r = sd_bus_message_append(m, "{sv}", "types", "u", types);
    if (r >= 0) r = sd_bus_message_append(m, "{sv}", "multiple", "b", 0);
    const uint32_t cursor = cursorMode(cursorModes_, showCursor);
    if (r >= 0 && cursor) r = sd_bus_message_append(m, "{sv}", "cursor_mode", "u", cursor);
    // 2: kept until revoked, so only the first take asks.
    if (r >= 0 && version_ >= 4) r = sd_bus_message_append(m, "{sv}", "persist_mode", "u", 2u);
    if (r >= 0 && kept) r = sd_bus_message_append(m, "{sv}", "restore_token", "s", kept->c_str());
    return r;
  });

  auto started = request("Start", "start sharing the screen", kDialog, [&](sd_bus_message* m) {
    int r = sd_bus_message_append(m, "os", session_.c_str(), "");
    return r < 0 ? r : sd_bus_message_open_container(m, 'a', "{sv}");
  });
  if (started.streams.empty()) throw portalError(kPortalFailed, "the desktop's screen-sharing portal shared nothing");
  if (!started.restoreToken.empty()) saveRestoreToken(kind, started.restoreToken);

  sd_bus_error error = SD_BUS_ERROR_NULL;
  sd_bus_message* reply = nullptr;
  int r = sd_bus_call_method(bus_, kPortal, kPath, kScreenCast, "OpenPipeWireRemote", &error, &reply, "oa{sv}",
                             session_.c_str(), 0);
  int fd = -1;
  if (r >= 0) r = sd_bus_message_read(reply, "h", &fd);
  // The descriptor belongs to the message: ours is a copy.
  if (r >= 0 && (fd = fcntl(fd, F_DUPFD_CLOEXEC, 3)) < 0) r = -errno;
  std::string why = busMessage(r, &error);
  sd_bus_error_free(&error);
  sd_bus_message_unref(reply);
  if (r < 0) throw portalError(kPortalFailed, "the desktop's screen-sharing portal gave no PipeWire connection: " + why);
  StartedCast cast = started.streams.front();
  cast.pipewireFd = fd;
  return cast;
}

int ScreenCastSession::busFd() const { return sd_bus_get_fd(bus_); }

bool ScreenCastSession::closedByDesktop() {
  while (sd_bus_process(bus_, nullptr) > 0) {
  }
  return wasClosed_;
}

}  // namespace vantor::platform::portal
