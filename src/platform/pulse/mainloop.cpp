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
