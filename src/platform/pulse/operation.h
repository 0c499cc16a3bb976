#pragma once
// A pending request to the sound server. Dropping one still running cancels
// it, so its callback can no longer reach state that is going away.

#include <pulse/operation.h>

namespace vantor::platform::pulse {

class Operation {
 public:
  // Takes over the reference `op` (null when the request could not be sent).
  explicit Operation(pa_operation* op) : op_(op) {}
  // With the loop's lock held, like every other use.
  ~Operation() {
    if (!op_) return;
    if (pa_operation_get_state(op_) == PA_OPERATION_RUNNING) pa_operation_cancel(op_);
    pa_operation_unref(op_);
  }
  Operation(const Operation&) = delete;
  Operation& operator=(const Operation&) = delete;

  bool sent() const { return op_ != nullptr; }
  bool running() const { return op_ && pa_operation_get_state(op_) == PA_OPERATION_RUNNING; }

 private:
  pa_operation* op_;
};

}  // namespace vantor::platform::pulse
