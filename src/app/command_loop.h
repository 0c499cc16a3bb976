#pragma once
// The command loop: takes one line at a time from the line queue, decodes it
// and awaits the controller's handler before it takes the next, so commands
// never overlap. Runs on the main loop.

#include <asio/awaitable.hpp>
#include <atomic>
#include <string_view>

#include "app/line_queue.h"
#include "app/protocol.h"
#include "control/capture_state.h"

namespace vantor::app {

// Decodes one trimmed command line and runs its handler to completion,
// answering in the protocol the host chose.
asio::awaitable<void> dispatchLine(std::string_view line, CaptureState& state, Protocol& protocol);

class CommandLoop {
 public:
  CommandLoop(LineQueue& queue, CaptureState& state, Protocol& protocol)
      : queue_(queue), state_(state), protocol_(protocol) {}

  // Handles lines until end of input, then logs "vantor: stdin closed,
  // exiting" and returns; or, once finish() was called, until the take is
  // finished. Either way the caller ends the process.
  asio::awaitable<void> run();

  // Any thread. Ends the loop as soon as the command being handled (if any)
  // has finished: lines not begun are dropped, and a take still running is
  // stopped as "stop" stops it. A signal to end comes here. Takes effect
  // between two lines even when the loop never waits for input, as it does
  // not while lines are queued.
  void finish();

 private:
  LineQueue& queue_;
  CaptureState& state_;
  Protocol& protocol_;
  std::atomic<bool> finishing_{false};
};

}  // namespace vantor::app
