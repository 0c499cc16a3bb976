// The agent's entry point: chooses the mode from the first argument and, in
// command mode, serves commands from standard input until it ends.

#include <fcntl.h>
#include <malloc.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <asio/co_spawn.hpp>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "app/command_loop.h"
#include "app/ending_signals.h"
#include "app/event_writer.h"
#include "app/line_reader.h"
#include "app/protocol.h"
#include "util/log.h"
#include "control/capture_state.h"
#include "exec/main_loop.h"
#include "platform/ffmpeg/ffmpeg_media.h"
#include "platform/pulse/pulse_audio.h"
#include "app/backend_choice.h"
#include "platform/portal/portal_screen_capture.h"
#include "platform/wayland/wayland_screen_capture.h"
#include "platform/x11/x11_screen_capture.h"
#include "targets/listing.h"

namespace {

asio::awaitable<void> commandMode(vantor::exec::MainLoop& main, vantor::platform::Platform platform,
                                  vantor::app::AgentFacts facts) {
  vantor::app::EventLines events;
  vantor::CaptureState state(main, platform, events);
  vantor::app::Protocol protocol(events, std::move(facts));
  vantor::logInfo("vantor: started, waiting for commands on stdin");
  auto queue = std::make_shared<vantor::app::LineQueue>();
  vantor::app::CommandLoop loop(*queue, state, protocol);
  vantor::app::startSignalWatcher([&loop] { loop.finish(); });
  vantor::app::startLineReader(STDIN_FILENO, queue);
  co_await loop.run();
  // End of input ends the process at once, whatever is recording; a signal
  // ends it once the take is finished. Events and logs are written
  // unbuffered, so nothing is left to flush.
  std::_Exit(0);
}

asio::awaitable<void> listingMode(vantor::platform::ScreenCaptureService& screen) {
  std::_Exit(co_await vantor::runListTargets(screen));
}

// The screen-capture backend for this session (see app/backend_choice.h). A
// Wayland session whose compositor lacks wlr-screencopy (GNOME, KDE) is
// recorded through the ScreenCast portal, or through Xwayland when there is
// no portal but an X server. `facts` learns which capture it is and whether
// it captures windows.
std::unique_ptr<vantor::platform::ScreenCaptureService> makeScreenCapture(vantor::exec::Loop& main,
                                                                          vantor::app::AgentFacts& facts) {
  using vantor::app::Backend;
  std::string warning;
  auto choice = vantor::app::chooseBackend(
      [](const char* name) -> std::optional<std::string> {
        const char* value = std::getenv(name);
        return value ? std::optional<std::string>(value) : std::nullopt;
      },
      &warning);
  if (!warning.empty()) vantor::logError("vantor: " + warning);
  std::string why, noPortal;
  const char* display = std::getenv("DISPLAY");
  if (choice.backend == Backend::wayland && !choice.forced && !vantor::platform::waylandOffersScreenCopy(&why)) {
    if (vantor::platform::portalOffersScreenCast(&noPortal) || !display || !*display) {
      vantor::logInfo("vantor: " + why + "; capturing through the ScreenCast portal instead");
      choice.backend = Backend::portal;
    } else {
      vantor::logInfo("vantor: " + why + " and " + noPortal + "; capturing through X11 (" + display + ") instead");
      choice.backend = Backend::x11;
    }
  }
  if (choice.backend == Backend::wayland) {
    facts.platform = "wayland";
    // Only sway's IPC tells where windows are (platform/wayland/sway_ipc.h);
    // elsewhere they are at most listed (wlr-foreign-toplevel-management).
    const char* sway = std::getenv("SWAYSOCK");
    facts.windowCapture = sway && *sway;
    return vantor::platform::makeWaylandScreenCapture(main);
  }
  if (choice.backend == Backend::portal) {
    // Which windows a portal shares is the desktop's choice in its dialog,
    // not an id from list-targets (docs/protocol.md, the portal).
    facts.platform = "wayland";
    facts.windowCapture = false;
    return vantor::platform::makePortalScreenCapture(main);
  }
  facts.platform = "x11";
  return vantor::platform::makeX11ScreenCapture(main);
}

}  // namespace

int main(int argc, char** argv) {
  const bool listing = argc > 1 && std::strcmp(argv[1], "list-targets") == 0;
  // Before any thread starts, so that all of them inherit the mask (see
  // ending_signals.h). A listing is short and keeps the default: killed.
  if (!listing) vantor::app::blockEndingSignals();
  // A host that closes our stdout must not kill a take: writes then fail with
  // EPIPE and are dropped.
  std::signal(SIGPIPE, SIG_IGN);
  // libx264 asks for transparent huge pages for its picture buffers, and a
  // huge page is resident whole: at 1080p that was 27 MB of 2 MB pages where
  // the pictures touch about 5 MB less. Small pages cost no measurable CPU here.
  prctl(PR_SET_THP_DISABLE, 1, 0, 0, 0);
  // Picture-sized buffers (3 MB at 1080p) each get a mapping of their own and
  // go back to the system when freed. glibc would otherwise raise this
  // threshold past them at the first one freed, and from then on serve them
  // from per-thread arenas, which keep up to twice that free at their top.
  mallopt(M_MMAP_THRESHOLD, 1 << 20);
  // A screenshot's event is about 190 KB: through the default 64 KB pipe
  // the main loop waits for the host to read it out in pieces, while frames
  // queue up. With room for the whole line it writes once and goes on. Not
  // a pipe, or a limit lower than 1 MB: the line goes out as before.
  fcntl(STDOUT_FILENO, F_SETPIPE_SZ, 1 << 20);

  vantor::exec::MainLoop main;
  vantor::app::AgentFacts facts{.version = VANTOR_VERSION};
  auto screen = makeScreenCapture(main, facts);
  auto media = vantor::platform::makeFfmpegMediaServices();
  // The Linux platform offers every capability.
  auto sound = vantor::platform::makePulseAudioServices();
  vantor::platform::Platform platform{*screen, *media, sound.services(), {}};
  facts.systemAudio = platform.capabilities.systemAudio;
  facts.screenshots = platform.capabilities.screenshotService;
  auto onFailure = [](std::exception_ptr failure) {
    if (failure) {
      vantor::logError("vantor: " + vantor::describe(failure));
      std::_Exit(1);
    }
  };
  if (listing)
    asio::co_spawn(main.context(), listingMode(*screen), onFailure);
  else
    asio::co_spawn(main.context(), commandMode(main, platform, std::move(facts)), onFailure);
  main.run();
  return 0;
}
