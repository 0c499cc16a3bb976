#pragma once
// The FIFO between the line reader (the only producer, on its own thread) and
// the command loop (the only consumer, on the main loop). It never drops,
// coalesces or reorders a line, but it is bounded: a host that writes faster
// than commands are handled (a flood of garbage, say) makes the producer
// wait, so the reader stops reading and the rest stays in the pipe instead of
// in our memory.

#include <asio/awaitable.hpp>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>

#include "exec/completion.h"

namespace vantor::app {

class LineQueue {
 public:
  // How much the queue holds before the producer waits. A line longer than
  // `bytes` is still taken, alone, so no line can wedge the queue.
  struct Bound {
    size_t lines;
    size_t bytes;
  };
  // Far more than any host queues on purpose, and little next to a take.
  static constexpr Bound kDefaultBound{1000, 16u << 20};
  static constexpr Bound kUnbounded{SIZE_MAX, SIZE_MAX};

  explicit LineQueue(Bound bound = kDefaultBound) : bound_(bound) {}

  // Producer side; one thread. Queues the line, first waiting while the
  // queue is full. Once it had to wait, it waits until half the room is free
  // again, so producer and consumer do not wake each other for every line.
  // False, and the line dropped, once the consumer has shut the queue down.
  bool push(std::string line);
  // End of input: a consumer waiting on the empty, closed queue gets nullopt.
  void close();

  // Consumer side: the next line, or nullopt once the queue is closed and empty.
  asio::awaitable<std::optional<std::string>> pop();
  // The consumer wants no more lines: those queued are dropped, a pop waiting
  // and every later one get nullopt, and a producer waiting for room returns
  // false at once. Any thread.
  void shutDown();

 private:
  using Waiter = exec::Resolver<std::optional<std::string>>;

  // Called with the lock held.
  bool fits(size_t lineBytes) const;
  bool hasRoomAgain() const;
  std::string takeFront();

  const Bound bound_;
  std::mutex mutex_;
  std::condition_variable room_;
  std::deque<std::string> lines_;
  size_t bytes_ = 0;
  std::optional<Waiter> waiter_;
  std::optional<size_t> producerWaitsFor_;  // the waiting line's size
  bool closed_ = false;
  bool shutDown_ = false;
};

}  // namespace vantor::app
