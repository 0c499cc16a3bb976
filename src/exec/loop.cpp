#include "exec/loop.h"

#include <cstdlib>
#include <string>

#include "app/log.h"

namespace vantor::exec {
namespace {
thread_local const Loop* runningLoop = nullptr;
}

bool Loop::isCurrent() const { return runningLoop == this; }

void Loop::runHere() {
  const Loop* outer = runningLoop;
  runningLoop = this;
  context_.restart();
  context_.run();
  runningLoop = outer;
}

void Loop::runHereUntil(const std::function<bool()>& done) {
  const Loop* outer = runningLoop;
  runningLoop = this;
  context_.restart();
  while (!done() && context_.run_one() > 0) {
  }
  runningLoop = outer;
}

void failOwnership(const Loop& expected, const char* where) {
  logError(std::string("vantor: ") + where + " must run on " + expected.label() +
           "; called from another thread");
  std::abort();
}

}  // namespace vantor::exec
