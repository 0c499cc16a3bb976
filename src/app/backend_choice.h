#pragma once
// Which screen-capture backend runs: Wayland in a Wayland session (even with
// DISPLAY set for Xwayland, which shows only Xwayland's own windows), X11
// otherwise. VANTOR_BACKEND=x11, =wayland (wlr-screencopy) or =portal (the
// ScreenCast portal and PipeWire) forces one. main.cpp turns an unforced
// Wayland into the portal when the compositor lacks wlr-screencopy.

#include <functional>
#include <optional>
#include <string>

namespace vantor::app {

enum class Backend { x11, wayland, portal };

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
