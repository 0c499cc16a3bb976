#pragma once
// Which screen-capture backend runs: Wayland in a Wayland session (even with
// DISPLAY set for Xwayland, which shows only Xwayland's own windows), X11
// otherwise. VANTOR_BACKEND=x11 or =wayland forces one.

#include <functional>
#include <optional>
#include <string>

namespace vantor::app {

enum class Backend { x11, wayland };

struct BackendChoice {
  Backend backend = Backend::x11;
  bool forced = false;  // named by VANTOR_BACKEND
};

// `env` reads an environment variable (nullopt when unset). An unknown
// VANTOR_BACKEND is ignored, with `warning` set to say so.
BackendChoice chooseBackend(const std::function<std::optional<std::string>(const char*)>& env,
                            std::string* warning);

const char* name(Backend backend);

}  // namespace vantor::app
