#include "exec/loop.h"

#include <cstdlib>
#include <string>

#include "util/log.h"

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

#if defined(__SANITIZE_THREAD__)
// For ThreadSanitizer builds; here because every program links this file.
// Both libraries below order their threads with atomics of their own that
// are not instrumented, so the sanitizer misses the ordering:
// - libstdc++ counts exception_ptr references that way, so an error made on
//   one thread and released there after the main loop has read it looks
//   like a race;
// - libpulse makes some mutexes lazily on whichever thread gets there first
//   and publishes them the same way.
extern "C" const char* __tsan_default_suppressions() {
  return "race:std::__exception_ptr::exception_ptr::_M_release\n"
         "race:pa_mutex_lock\n";
}
#endif
