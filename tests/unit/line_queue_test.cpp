#include "app/line_queue.h"

#include <gtest/gtest.h>

#include <asio/co_spawn.hpp>
#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "support/run_coroutine.h"

namespace vantor::app {
namespace {

using namespace std::chrono_literals;

// Waits up to a few seconds for `done`; the bound is only hit when something hangs.
template <typename F>
bool eventually(F done) {
  for (auto until = std::chrono::steady_clock::now() + 5s; std::chrono::steady_clock::now() < until;) {
    if (done()) return true;
    std::this_thread::sleep_for(1ms);
  }
  return done();
}

TEST(LineQueue, HoldsBackTheProducerWhileFullAndLetsEveryLineThroughInOrder) {
  exec::MainLoop main;
  LineQueue queue({4, 1000});
  std::atomic<int> pushed{0};
  std::jthread producer([&] {
    for (int i = 0; i < 10; ++i) {
      queue.push("line " + std::to_string(i));
      ++pushed;
    }
    queue.close();
  });

  ASSERT_TRUE(eventually([&] { return pushed >= 4; }));
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(pushed, 4) << "the producer went on past the bound";

  std::vector<std::string> popped;
  for (;;) {
    std::optional<std::string> line = test::runOn(main, queue.pop());
    if (!line) break;
    popped.push_back(*line);
    if (popped.size() == 2) EXPECT_TRUE(eventually([&] { return pushed > 4; })) << "the producer was not resumed";
  }
  std::vector<std::string> expected;
  for (int i = 0; i < 10; ++i) expected.push_back("line " + std::to_string(i));
  EXPECT_EQ(popped, expected);
}

TEST(LineQueue, TakesALineLargerThanTheBoundAloneAndShutDownReleasesBothSides) {
  exec::MainLoop main;
  LineQueue queue({4, 100});
  const std::string big(1000, 'x');

  auto first = std::async(std::launch::async, [&] { return queue.push(big); });
  ASSERT_EQ(first.wait_for(5s), std::future_status::ready) << "an over-long line wedged an empty queue";
  EXPECT_TRUE(first.get());
  auto second = std::async(std::launch::async, [&] { return queue.push("beside it"); });
  EXPECT_EQ(second.wait_for(50ms), std::future_status::timeout) << "a line was queued beside the over-long one";
  EXPECT_EQ(test::runOn(main, queue.pop()), big);
  ASSERT_EQ(second.wait_for(5s), std::future_status::ready);
  EXPECT_TRUE(second.get());

  // Full again; the consumer gives up: the waiting producer is let go, its
  // line and those queued are dropped, and nothing more is taken.
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(queue.push("more"));
  auto blocked = std::async(std::launch::async, [&] { return queue.push("one too many"); });
  EXPECT_EQ(blocked.wait_for(50ms), std::future_status::timeout);
  queue.shutDown();
  ASSERT_EQ(blocked.wait_for(5s), std::future_status::ready);
  EXPECT_FALSE(blocked.get());
  EXPECT_FALSE(queue.push("after"));
  EXPECT_EQ(test::runOn(main, queue.pop()), std::nullopt);

  // A consumer already waiting on an empty queue gets the end.
  LineQueue idle;
  std::optional<std::optional<std::string>> got;
  asio::co_spawn(main.context(), idle.pop(), [&](std::exception_ptr, std::optional<std::string> line) { got = line; });
  main.post([&] { idle.shutDown(); });
  main.runUntil([&] { return got.has_value(); });
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(*got, std::nullopt);
}

}  // namespace
}  // namespace vantor::app
