#include "platform/frame_pacer.h"

#include <gtest/gtest.h>

namespace vantor::platform {
namespace {

using namespace std::chrono_literals;
using Clock = FramePacer::Clock;

// A consumer that takes every frame as soon as it may: after a long still
// stretch one frame comes at once and the next half an interval later, then
// one per interval; a frame that came late lets the next come early, but
// never closer than half an interval.
TEST(FramePacer, KeepsTheAverageToTheIntervalAndLetsAFrameComeEarlyOnlyAfterALateOne) {
  FramePacer pacer(20ms);
  Clock::time_point t = Clock::now() + 10s;  // long after the last frame
  EXPECT_LE(pacer.allowedAt(), t);
  std::vector<Clock::duration> gaps;
  for (int i = 0; i < 50; ++i) {
    pacer.took(t);
    Clock::time_point next = pacer.allowedAt();
    gaps.push_back(next - t);
    t = next;
  }
  EXPECT_EQ(gaps[0], 10ms);  // the still stretch earns half a frame, no more
  for (size_t i = 1; i < gaps.size(); ++i) EXPECT_EQ(gaps[i], 20ms) << i;
  pacer.took(t + 5ms);  // late by 5 ms: the next may come 5 ms early
  EXPECT_EQ(pacer.allowedAt(), t + 20ms);
  EXPECT_EQ(FramePacer(0ms).allowedAt(), Clock::time_point{});
}

}  // namespace
}  // namespace vantor::platform
