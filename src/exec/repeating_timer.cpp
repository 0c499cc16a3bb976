#include "exec/repeating_timer.h"

namespace vantor::exec {

// Shared with the pending wait, which may complete after the timer object is gone.
struct RepeatingTimer::State {
  State(Loop& loop, Clock::duration interval, std::function<void()> handler)
      : timer(loop.context()), interval(interval), handler(std::move(handler)) {}
  asio::steady_timer timer;
  Clock::duration interval;
  std::function<void()> handler;
  Clock::time_point origin;
  int64_t firing = 0;  // index of the firing being waited for
  bool cancelled = false;
  uint64_t generation = 0;  // tells a wait of an earlier start() from the current one
};

RepeatingTimer::RepeatingTimer(Loop& loop, Clock::duration interval, std::function<void()> handler)
    : loop_(loop), state_(std::make_shared<State>(loop, interval, std::move(handler))) {}

// Destroyed on its loop or after the loop has stopped running, so no check here.
RepeatingTimer::~RepeatingTimer() {
  state_->cancelled = true;
  state_->timer.cancel();
}

void RepeatingTimer::start() {
  VANTOR_ASSERT_ON(loop_);
  state_->origin = Clock::now();
  state_->firing = 1;
  state_->cancelled = false;
  ++state_->generation;
  arm(state_);
}

void RepeatingTimer::cancel() {
  VANTOR_ASSERT_ON(loop_);
  state_->cancelled = true;
  state_->timer.cancel();
}

int64_t RepeatingTimer::nextFiring(int64_t fired, Clock::duration sinceOrigin, Clock::duration interval) {
  return std::max(fired + 1, sinceOrigin / interval + 1);
}

void RepeatingTimer::arm(const std::shared_ptr<State>& state) {
  state->timer.expires_at(state->origin + state->firing * state->interval);
  state->timer.async_wait([state, generation = state->generation](const asio::error_code& ec) {
    if (ec || state->cancelled || generation != state->generation) return;
    state->handler();
    if (state->cancelled || generation != state->generation) return;  // the handler may cancel its own timer
    state->firing = nextFiring(state->firing, Clock::now() - state->origin, state->interval);
    arm(state);
  });
}

}  // namespace vantor::exec
