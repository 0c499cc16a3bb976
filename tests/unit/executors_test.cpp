// The executors: completions from other threads, serial queues, repeating
// timers, urgent work: order and cancellation, never timing.

#include <gtest/gtest.h>

#include <asio/co_spawn.hpp>
#include <asio/steady_timer.hpp>
#include <atomic>
#include <future>
#include <numeric>
#include <optional>
#include <thread>
#include <vector>

#include "exec/completion.h"
#include "exec/main_loop.h"
#include "exec/repeating_timer.h"
#include "exec/serial_queue.h"
#include "exec/urgent_work.h"
#include "support/run_coroutine.h"

namespace vantor::exec {
namespace {

using namespace std::chrono_literals;

TEST(Completion, ResumesOnTheAwaitersLoopWithTheFirstAnswerAndFailsWhenDroppedUnanswered) {
  MainLoop main;
  std::thread platform;
  auto awaited = [&](std::function<void(Resolver<int>)> answer) -> asio::awaitable<std::string> {
    try {
      int got = co_await awaitCompletion<int>([&](Resolver<int> done) { answer(std::move(done)); });
      co_return std::to_string(got) + (main.isCurrent() ? "" : " off the loop");
    } catch (const Error& e) {
      co_return e.domain() + " " + std::to_string(e.code()) + " " + e.description();
    }
  };
  EXPECT_EQ(test::runOn(main, awaited([&](Resolver<int> done) {
              platform = std::thread([done] {
                done.succeed(7);
                done.succeed(8);
                done.fail(Error("X", 1, "late"));
              });
            })), "7");
  platform.join();
  EXPECT_EQ(test::runOn(main, awaited([&](Resolver<int> done) {
              platform = std::thread([done] { done.fail(Error("Vantor.ScreenRecorder", 1, "boom")); });
            })), "Vantor.ScreenRecorder 1 boom");
  platform.join();
  EXPECT_NE(test::runOn(main, awaited([](Resolver<int>) {})).find(" operation ended without reporting"), std::string::npos);
}

TEST(SerialQueue, RunsWorkInOrderOnItsOwnThreadAndDrainsOnDestruction) {
  std::vector<int> order, expected(100);
  std::iota(expected.begin(), expected.end(), 0);
  std::atomic<int> onQueue{0};
  {
    SerialQueue queue(".helper.mixer");
    for (int i : expected) queue.post([&, i] { onQueue += queue.isCurrent(), order.push_back(i); });
  }
  EXPECT_EQ(order, expected);
  EXPECT_EQ(onQueue.load(), 100);
}

TEST(OwnershipCheckDeathTest, AbortsWhenConfinedCodeRunsOffItsLoop) {
  MainLoop main;
  EXPECT_DEATH(VANTOR_ASSERT_ON(main), "must run on main");
}

TEST(RepeatingTimer, SkipsMissedFiringsInsteadOfBursting) {
  constexpr auto i = 10ms;
  EXPECT_EQ(RepeatingTimer::nextFiring(1, 12ms, i), 2);  // on time: the next one
  EXPECT_EQ(RepeatingTimer::nextFiring(1, 19ms, i), 2);  // late within the interval: still due
  EXPECT_EQ(RepeatingTimer::nextFiring(1, 65ms, i), 7);  // stalled past five deadlines: skip them
  EXPECT_EQ(RepeatingTimer::nextFiring(7, 70ms, i), 8);  // exactly on a deadline: the following one
}

TEST(UrgentWork, DeferrableWorkWaitsWhileItRunsUnlessItMayNotOrItsWindowHasPassed) {
  auto yielding = [](bool mayWait, std::chrono::milliseconds window) {
    return std::async(std::launch::async, [=] { UrgentWork::yieldTo([=] { return mayWait; }, window); });
  };
  EXPECT_EQ(yielding(true, 10s).wait_for(5s), std::future_status::ready) << "nothing urgent";
  std::optional<UrgentWork> urgent(std::in_place);
  auto waiting = yielding(true, 10s);
  EXPECT_EQ(waiting.wait_for(50ms), std::future_status::timeout);
  urgent.reset();
  EXPECT_EQ(waiting.wait_for(5s), std::future_status::ready) << "not released when the urgent work ended";
  urgent.emplace();
  EXPECT_EQ(yielding(false, 10s).wait_for(5s), std::future_status::ready) << "waited though it may not";
  EXPECT_EQ(yielding(true, 10ms).wait_for(5s), std::future_status::ready) << "waited past its window";
}

// Runs the loop for a span, with `arm` posted first.
void runFor(MainLoop& main, std::chrono::milliseconds span, std::function<void()> arm) {
  asio::steady_timer end(main.context());
  main.post([&] {
    arm();
    end.expires_after(span);
    end.async_wait([&](auto) { main.stop(); });
  });
  main.run();
}

TEST(RepeatingTimer, RunsNoHandlerAfterCancelEvenWhenDueOrCancelledFromItsOwnHandler) {
  MainLoop main;
  int due = 0, own = 0;
  RepeatingTimer blocked(main, 5ms, [&] { ++due; });
  runFor(main, 50ms, [&] {
    blocked.start();
    std::this_thread::sleep_for(30ms);  // past several deadlines, cancelled before the loop sees them
    blocked.cancel();
  });
  EXPECT_EQ(due, 0);

  MainLoop again;
  RepeatingTimer* self = nullptr;
  RepeatingTimer selfCancelling(again, 2ms, [&] {
    if (++own == 3) self->cancel();
  });
  self = &selfCancelling;
  runFor(again, 60ms, [&] { selfCancelling.start(); });
  EXPECT_EQ(own, 3);
}

}  // namespace
}  // namespace vantor::exec
