#include "app/backend_choice.h"

#include <gtest/gtest.h>

#include <map>

namespace vantor::app {
namespace {

TEST(BackendChoice, WaylandSessionsUseWaylandEvenWithXwaylandAndTheVariableForcesEither) {
  using Env = std::map<std::string, std::string>;
  struct Row {
    Env env;
    Backend backend;
    bool forced;
    std::string warning;
  } rows[] = {
      {{{"DISPLAY", ":0"}}, Backend::x11, false, ""},
      {{{"DISPLAY", ":0"}, {"WAYLAND_DISPLAY", "wayland-0"}}, Backend::wayland, false, ""},
      {{{"XDG_SESSION_TYPE", "wayland"}}, Backend::wayland, false, ""},
      {{{"WAYLAND_DISPLAY", ""}, {"XDG_SESSION_TYPE", "x11"}}, Backend::x11, false, ""},
      {{{"WAYLAND_DISPLAY", "wayland-0"}, {"VANTOR_BACKEND", "x11"}}, Backend::x11, true, ""},
      {{{"VANTOR_BACKEND", "wayland"}}, Backend::wayland, true, ""},
      {{{"VANTOR_BACKEND", "portal"}, {"DISPLAY", ":0"}}, Backend::portal, true, ""},
      {{{"VANTOR_BACKEND", "X11"}, {"WAYLAND_DISPLAY", "w"}}, Backend::wayland, false,
       "VANTOR_BACKEND=X11 is none of x11, wayland and portal; ignored"},
  };
  for (const Row& r : rows) {
    std::string warning;
    auto choice = chooseBackend(
        [&](const char* name) -> std::optional<std::string> {
          auto at = r.env.find(name);
          return at == r.env.end() ? std::nullopt : std::optional(at->second);
        },
        &warning);
    EXPECT_EQ(std::tuple(choice.backend, choice.forced, warning), std::tuple(r.backend, r.forced, r.warning))
        << ::testing::PrintToString(r.env);
  }
}

}  // namespace
}  // namespace vantor::app
