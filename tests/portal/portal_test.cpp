// What only the portal path has: how the portal's answers reach the host, and
// where the permission to skip the dialog is kept.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>

#include "exec/completion.h"
#include "platform/portal/portal_screen_capture.h"
#include "platform/portal/screencast_portal.h"
#include "support/run_coroutine.h"
#include "support/wayland_test_windows.h"

namespace vantor::platform::portal {
namespace {

// The text after "recorder.start failed: " when the portal says no.
TEST(Portal, ResponsesOtherThanSuccessFailWithWhatHappened) {
  struct Row {
    uint32_t code;
    int error;
    std::string text;
  } rows[] = {
      {0, 0, ""},
      {1, kRefused, "screen sharing was refused in the desktop's dialog"},
      {2, kPortalFailed, "the desktop's screen-sharing portal could not start sharing the screen (response 2)"},
  };
  for (const Row& r : rows) {
    try {
      checkResponse(r.code, "start sharing the screen");
      EXPECT_EQ(r.error, 0) << r.code;
    } catch (const Error& e) {
      EXPECT_EQ(std::tuple(e.domain(), e.code(), e.description()), std::tuple(kErrorDomain, r.error, r.text));
    }
  }
}

// The real portal, its dialog cancelled by the user (a chooser that picks
// nothing): the start fails with what the host is told.
TEST(Portal, ADialogTheUserCancelsFailsTheStartSayingSo) {
  setenv("VANTOR_PORTAL_CHOOSER", "false", 1);
  std::string why;
  auto session = test::VirtualWayland::start(VANTOR_VIRTUAL_WAYLAND_SCRIPT, "--portal " VANTOR_PORTAL_SHIM, &why);
  unsetenv("VANTOR_PORTAL_CHOOSER");
  if (!session) GTEST_SKIP() << "SKIPPED: no headless sway with the portal (" << why << ")";
  exec::MainLoop main;
  auto service = makePortalScreenCapture(main);
  auto content = test::runOn(main, exec::awaitCompletion<ShareableContent>(
                                       [&](auto done) { service->getShareableContent(done); }));
  auto stream = service->createStream(ContentFilter::forDisplay(content.displays.at(0)), {});
  stream->addStreamOutput([](FrameRef) {}, main);
  try {
    test::runOn(main, exec::awaitCompletion<void>([&](exec::Resolver<void> done) { stream->startCapture(done); }));
    ADD_FAILURE() << "started";
  } catch (const Error& e) {
    EXPECT_EQ(e.description(), "screen sharing was refused in the desktop's dialog");
  }
}

// One token per kind, under $XDG_STATE_HOME/vantor or ~/.local/state/vantor,
// each save replacing the last.
TEST(Portal, RestoreTokensAreKeptPerKindInTheStateFolder) {
  namespace fs = std::filesystem;
  const fs::path root = fs::temp_directory_path() / ("vantor-tokens-" + std::to_string(getpid()));
  const std::string home = getenv("HOME") ? getenv("HOME") : "";
  const char* state = getenv("XDG_STATE_HOME");
  const std::optional<std::string> stateBefore = state ? std::optional<std::string>(state) : std::nullopt;
  for (bool stateHome : {true, false}) {
    fs::remove_all(root);
    setenv("HOME", root.c_str(), 1);
    stateHome ? setenv("XDG_STATE_HOME", (root / "state").c_str(), 1) : unsetenv("XDG_STATE_HOME");
    const fs::path dir = stateHome ? root / "state/vantor" : root / ".local/state/vantor";
    EXPECT_EQ(loadRestoreToken(SourceKind::display), std::nullopt);
    saveRestoreToken(SourceKind::display, "first");
    saveRestoreToken(SourceKind::display, "second");
    saveRestoreToken(SourceKind::window, "other");
    EXPECT_EQ(loadRestoreToken(SourceKind::display), "second");
    EXPECT_EQ(loadRestoreToken(SourceKind::window), "other");
    std::string kept;
    std::getline(std::ifstream(dir / "portal-display.token"), kept);
    EXPECT_EQ(kept, "second") << dir;
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 2) << "nothing half-written left";
  }
  fs::remove_all(root);
  setenv("HOME", home.c_str(), 1);
  stateBefore ? setenv("XDG_STATE_HOME", stateBefore->c_str(), 1) : unsetenv("XDG_STATE_HOME");
}

}  // namespace
}  // namespace vantor::platform::portal
