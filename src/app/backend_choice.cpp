#include "app/backend_choice.h"

namespace vantor::app {

BackendChoice chooseBackend(const std::function<std::optional<std::string>(const char*)>& env,
                            std::string* warning) {
  if (auto forced = env("VANTOR_BACKEND"); forced && !forced->empty()) {
    if (*forced == "x11") return {Backend::x11, true};
    if (*forced == "wayland") return {Backend::wayland, true};
    if (*forced == "portal") return {Backend::portal, true};
    *warning = "VANTOR_BACKEND=" + *forced + " is none of x11, wayland and portal; ignored";
  }
  auto waylandDisplay = env("WAYLAND_DISPLAY");
  bool wayland = (waylandDisplay && !waylandDisplay->empty()) || env("XDG_SESSION_TYPE") == "wayland";
  return {wayland ? Backend::wayland : Backend::x11, false};
}

const char* name(Backend backend) {
  return backend == Backend::wayland ? "wayland" : backend == Backend::portal ? "portal" : "x11";
}

}  // namespace vantor::app
