#pragma once
// A libpulse threaded main loop: one thread of the client's own that runs
// every callback of its context and streams, with the loop's lock held.
//
// Rules of the lock (a recursive mutex):
// - Every call into libpulse for objects of this loop is made with it held.
// - It must never be taken on the loop's own thread (libpulse aborts), so
//   nothing that locks may run inside a callback.
// - wait() releases it once: call it holding the lock exactly once.

#include <pulse/thread-mainloop.h>

#include <chrono>
#include <functional>

namespace vantor::platform::pulse {

class Mainloop {
 public:
  // Starts the thread, named `threadName` (15 bytes at most). Throws Error.
  explicit Mainloop(const char* threadName);
  // Joins the thread. Objects of this loop must be gone by then.
  ~Mainloop();
  Mainloop(const Mainloop&) = delete;
  Mainloop& operator=(const Mainloop&) = delete;

  pa_mainloop_api* api() const { return pa_threaded_mainloop_get_api(loop_); }
  bool inThread() const { return pa_threaded_mainloop_in_thread(loop_) != 0; }

  void lock() { pa_threaded_mainloop_lock(loop_); }
  void unlock() { pa_threaded_mainloop_unlock(loop_); }

  // Wakes wait(); called from callbacks.
  void signal() { pa_threaded_mainloop_signal(loop_, 0); }
  // With the lock held: sleeps until `done` answers true (checked after each
  // signal) or `timeout` passes. Answers `done()`.
  bool wait(const std::function<bool()>& done, std::chrono::milliseconds timeout);

 private:
  pa_threaded_mainloop* loop_ = nullptr;
};

// Holds the loop's lock for a scope.
class Locked {
 public:
  explicit Locked(Mainloop& loop) : loop_(loop) { loop_.lock(); }
  ~Locked() { loop_.unlock(); }
  Locked(const Locked&) = delete;
  Locked& operator=(const Locked&) = delete;

 private:
  Mainloop& loop_;
};

}  // namespace vantor::platform::pulse
