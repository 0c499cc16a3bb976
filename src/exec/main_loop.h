#pragma once
// The main event loop. The command loop, every controller operation, its
// timers, the screen recorder and the platform's hand-overs run here.

#include "exec/loop.h"

namespace vantor::exec {

class MainLoop final : public Loop {
 public:
  MainLoop() : Loop("main") {}

  // Runs on the calling thread, which becomes the main thread, until stop()
  // or until no work is left.
  void run() { runHere(); }
  void stop() { context().stop(); }
};

}  // namespace vantor::exec
