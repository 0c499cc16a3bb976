#pragma once
// A repeating timer on absolute deadlines: the k-th firing is due at
// start + k × interval (k = 1, 2, …), so firings never drift however long
// each handler takes. When the loop falls behind by whole intervals, the
// missed firings are skipped rather than delivered in a burst.
//
// Created, started and cancelled on the loop that runs its handler. After
// cancel() returns no further handler runs, even one already due.

#include <asio/steady_timer.hpp>
#include <chrono>
#include <functional>
#include <memory>

#include "exec/loop.h"

namespace vantor::exec {

class RepeatingTimer {
 public:
  using Clock = std::chrono::steady_clock;

  RepeatingTimer(Loop& loop, Clock::duration interval, std::function<void()> handler);
  ~RepeatingTimer();
  RepeatingTimer(const RepeatingTimer&) = delete;
  RepeatingTimer& operator=(const RepeatingTimer&) = delete;

  // First firing one interval from now.
  void start();
  void cancel();

  // The firing to wait for after firing `fired` has run, `sinceOrigin` after
  // start: the next one, or the first still in the future when the loop fell
  // behind, so missed firings are skipped rather than delivered in a burst.
  static int64_t nextFiring(int64_t fired, Clock::duration sinceOrigin, Clock::duration interval);

 private:
  struct State;
  static void arm(const std::shared_ptr<State>& state);

  Loop& loop_;
  std::shared_ptr<State> state_;
};

}  // namespace vantor::exec
