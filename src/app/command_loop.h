#pragma once
// The command loop: takes one line at a time from the line queue, decodes it
// and awaits the controller's handler before it takes the next, so commands
// never overlap. Runs on the main loop.

#include <asio/awaitable.hpp>
#include <string_view>

#include "app/line_queue.h"
#include "control/capture_state.h"

namespace vantor::app {

// Decodes one trimmed command line and runs its handler to completion.
asio::awaitable<void> dispatchLine(std::string_view line, CaptureState& state);

// Handles lines until end of input, then logs "vantor: stdin closed, exiting"
// and returns; the caller ends the process.
asio::awaitable<void> runCommandLoop(LineQueue& queue, CaptureState& state);

}  // namespace vantor::app
