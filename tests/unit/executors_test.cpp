#include <gtest/gtest.h>

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/steady_timer.hpp>
#include <atomic>
#include <thread>
#include <vector>

#include "exec/completion.h"
#include "exec/main_loop.h"
#include "exec/repeating_timer.h"
#include "exec/serial_queue.h"

namespace vantor::exec {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Runs `body` as a coroutine on `main` until it finishes, rethrowing its failure.
template <typename Body>
void runOnMain(MainLoop& main, Body body) {
  std::exception_ptr failure;
  asio::co_spawn(main.context(), body(), [&](std::exception_ptr e) { failure = e; });
  main.run();
  if (failure) std::rethrow_exception(failure);
}

TEST(Completion, ResumesTheAwaitingCoroutineOnItsLoopWithTheFirstResultOnly) {
  MainLoop main;
  std::thread platform;
  int got = 0;
  bool onMain = false;
  runOnMain(main, [&]() -> asio::awaitable<void> {
    got = co_await awaitCompletion<int>([&](Resolver<int> done) {
      platform = std::thread([done] {
        done.succeed(7);
        done.succeed(8);
        done.fail(Error("X", 1, "late"));
      });
    });
    onMain = main.isCurrent();
  });
  platform.join();
  EXPECT_EQ(got, 7);
  EXPECT_TRUE(onMain);
}

TEST(Completion, PassesTheErrorOnUnchanged) {
  MainLoop main;
  std::thread platform;
  std::string domain, description;
  int code = 0;
  runOnMain(main, [&]() -> asio::awaitable<void> {
    try {
      co_await awaitCompletion<void>([&](Resolver<void> done) {
        platform = std::thread([done] { done.fail(Error("Vantor.ScreenRecorder", 1, "boom")); });
      });
    } catch (const Error& e) {
      domain = e.domain();
      code = e.code();
      description = e.description();
    }
  });
  platform.join();
  EXPECT_EQ(domain, "Vantor.ScreenRecorder");
  EXPECT_EQ(code, 1);
  EXPECT_EQ(description, "boom");
}

TEST(Completion, AResolverDroppedWithoutAnswerFailsInsteadOfHanging) {
  MainLoop main;
  std::string description;
  runOnMain(main, [&]() -> asio::awaitable<void> {
    try {
      co_await awaitCompletion<int>([](Resolver<int>) {});
    } catch (const Error& e) {
      description = e.description();
    }
  });
  EXPECT_EQ(description, "operation ended without reporting");
}

TEST(SerialQueue, RunsWorkInOrderOnItsOwnNamedThreadAndDrainsOnDestruction) {
  std::vector<int> order;
  std::atomic<int> onQueue{0};
  std::string label;
  {
    SerialQueue queue(".helper.mixer");
    label = queue.label();
    EXPECT_FALSE(queue.isCurrent());
    for (int i = 0; i < 100; ++i)
      queue.post([&, i] {
        if (queue.isCurrent()) ++onQueue;
        order.push_back(i);
      });
  }
  EXPECT_EQ(label, "com.vantor.helper.mixer");
  ASSERT_EQ(order.size(), 100u);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(order[i], i);
  EXPECT_EQ(onQueue.load(), 100);
}

TEST(OwnershipCheckDeathTest, AbortsWhenConfinedCodeRunsOffItsLoop) {
  MainLoop main;
  EXPECT_DEATH(VANTOR_ASSERT_ON(main), "must run on main");
}

TEST(RepeatingTimer, FiresOnAbsoluteDeadlinesSoSlowHandlersDoNotDrift) {
  // Each handler takes most of the interval. A timer re-armed after its
  // handler could never start two firings less than 20 + 18 ms apart; one on
  // absolute deadlines does (about 20 ms on an idle machine, and when it
  // falls behind it catches up at once). A busy machine only adds delays, so
  // the shortest gap stays the telling one.
  MainLoop main;
  constexpr auto interval = 20ms;
  constexpr int firings = 20;
  std::vector<Clock::time_point> at;
  Clock::time_point started;
  RepeatingTimer timer(main, interval, [&] {
    at.push_back(Clock::now());
    std::this_thread::sleep_for(18ms);
    if (at.size() == firings) main.stop();
  });
  main.post([&] {
    started = Clock::now();
    timer.start();
  });
  main.run();
  ASSERT_EQ(at.size(), size_t(firings));
  EXPECT_GE(at.front() - started, interval);
  Clock::duration shortest = Clock::duration::max();
  for (size_t i = 1; i < at.size(); ++i) shortest = std::min(shortest, at[i] - at[i - 1]);
  EXPECT_LT(shortest, interval + 18ms - 5ms);
}

TEST(RepeatingTimer, NoHandlerRunsAfterCancelEvenWhenItWasAlreadyDue) {
  MainLoop main;
  int count = 0;
  RepeatingTimer timer(main, 5ms, [&] { ++count; });
  asio::steady_timer end(main.context());
  main.post([&] {
    timer.start();
    // Block past several deadlines, then cancel before the loop sees them.
    std::this_thread::sleep_for(30ms);
    timer.cancel();
    end.expires_after(50ms);
    end.async_wait([&](auto) { main.stop(); });
  });
  main.run();
  EXPECT_EQ(count, 0);
}

TEST(RepeatingTimer, SkipsMissedFiringsInsteadOfBursting) {
  constexpr auto i = 10ms;
  EXPECT_EQ(RepeatingTimer::nextFiring(1, 12ms, i), 2);  // on time: the next one
  EXPECT_EQ(RepeatingTimer::nextFiring(1, 19ms, i), 2);  // late within the interval: still due
  EXPECT_EQ(RepeatingTimer::nextFiring(1, 65ms, i), 7);  // stalled past five deadlines: skip them
  EXPECT_EQ(RepeatingTimer::nextFiring(7, 70ms, i), 8);  // exactly on a deadline: the following one
}

TEST(RepeatingTimer, CanBeCancelledFromItsOwnHandler) {
  MainLoop main;
  int count = 0;
  RepeatingTimer* self = nullptr;
  RepeatingTimer timer(main, 2ms, [&] {
    if (++count == 3) self->cancel();
  });
  self = &timer;
  asio::steady_timer end(main.context());
  main.post([&] {
    timer.start();
    end.expires_after(60ms);
    end.async_wait([&](auto) { main.stop(); });
  });
  main.run();
  EXPECT_EQ(count, 3);
}

}  // namespace
}  // namespace vantor::exec
