#pragma once
// The main event loop. The command loop, every controller operation, its
// timers, the screen recorder and the platform's hand-overs run here.

#include <functional>

#include "exec/loop.h"

namespace vantor::exec {

class MainLoop final : public Loop {
 public:
  MainLoop() : Loop("main") {}

  // Runs on the calling thread, which becomes the main thread, until stop()
  // or until no work is left.
  void run() { runHere(); }
  // Runs handlers until `done` answers true (tests and tools drive one
  // operation while timers keep the loop busy).
  void runUntil(const std::function<bool()>& done) { runHereUntil(done); }
  void stop() { context().stop(); }
};

}  // namespace vantor::exec
