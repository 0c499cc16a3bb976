#include "platform/pulse/mainloop.h"

#include <pulse/def.h>
#include <pulse/timeval.h>

#include "platform/pulse/pulse_error.h"

namespace vantor::platform::pulse {

Mainloop::Mainloop(const char* threadName) {
  loop_ = pa_threaded_mainloop_new();
  if (!loop_) throw pulseError(PA_ERR_INTERNAL, "Cannot create the sound client's loop");
  pa_threaded_mainloop_set_name(loop_, threadName);
  if (pa_threaded_mainloop_start(loop_) < 0) {
    pa_threaded_mainloop_free(loop_);
    throw pulseError(PA_ERR_INTERNAL, "Cannot start the sound client's thread");
  }
}

Mainloop::~Mainloop() {
  pa_threaded_mainloop_stop(loop_);
  pa_threaded_mainloop_free(loop_);
}

namespace {
struct Deadline {
  Mainloop* loop;
  bool passed = false;
};
}  // namespace

bool Mainloop::wait(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  if (done()) return true;
  Deadline deadline{this};
  timeval when{};
  pa_gettimeofday(&when);
  pa_timeval_add(&when, static_cast<pa_usec_t>(timeout.count()) * PA_USEC_PER_MSEC);
  pa_time_event* timer = api()->time_new(
      api(), &when,
      [](pa_mainloop_api*, pa_time_event*, const timeval*, void* userdata) {
        auto* d = static_cast<Deadline*>(userdata);
        d->passed = true;
        d->loop->signal();
      },
      &deadline);
  while (!done() && !deadline.passed) pa_threaded_mainloop_wait(loop_);
  api()->time_free(timer);
  return done();
}

}  // namespace vantor::platform::pulse

#if defined(__SANITIZE_THREAD__)
// libpulse makes some of its mutexes lazily, on whichever thread gets there
// first, and publishes them with atomics of its own. The library is not
// instrumented, so ThreadSanitizer misses that ordering and reports the
// other thread's first lock as a race with the allocation. Linked here, as
// every program with a sound client links this file.
extern "C" const char* __tsan_default_suppressions() { return "race:pa_mutex_lock\n"; }
#endif
