// The packet pump: packets in order across threads, a source's failure after
// the packets before it, and stopping while the source still has more.

#include <gtest/gtest.h>

#include <atomic>

#include "platform/ffmpeg/media_error.h"
#include "platform/ffmpeg/packet_pump.h"

namespace vantor::platform::ffmpeg {
namespace {

TEST(PacketPump, HandsOverPacketsInOrderThenTheSourcesFailure) {
  int made = 0;
  PacketPump pump(
      [&](AVPacket* p) {
        if (made == 10) throw mediaError(kCannotEncode, "the tenth went wrong");
        p->pts = made++;
        return true;
      },
      2, "test-pump");  // the source waits for room most of the time
  PacketHandle packet(av_packet_alloc());
  for (int n = 0; n < 10; ++n) {
    ASSERT_TRUE(pump.next(packet.get()));
    EXPECT_EQ(packet->pts, n);
    av_packet_unref(packet.get());
  }
  try {
    pump.next(packet.get());
    ADD_FAILURE() << "no error";
  } catch (const Error& e) {
    EXPECT_EQ(e.description(), "the tenth went wrong");
  }
}

TEST(PacketPump, EndsWhenTheSourceDoesAndStopsAnEndlessOneWhenDestroyed) {
  PacketHandle packet(av_packet_alloc());
  {
    PacketPump pump([](AVPacket*) { return false; }, 4, "test-pump");
    EXPECT_FALSE(pump.next(packet.get()));
    EXPECT_FALSE(pump.next(packet.get()));
  }
  std::atomic<int> made{0};
  {
    PacketPump pump([&](AVPacket*) { return ++made > 0; }, 4, "test-pump");
    ASSERT_TRUE(pump.next(packet.get()));
  }  // returns although the source would go on
  int after = made.load();
  EXPECT_LE(after, 6) << "the queue's 4, the one taken and the one in hand";
}

}  // namespace
}  // namespace vantor::platform::ffmpeg
