#pragma once
// The unbounded FIFO between the line reader (the only producer, on its own
// thread) and the command loop (the only consumer, on the main loop). It
// never drops or coalesces lines: commands are small and rare, so no
// back-pressure is applied.

#include <asio/awaitable.hpp>
#include <deque>
#include <mutex>
#include <optional>
#include <string>

#include "exec/completion.h"

namespace vantor::app {

class LineQueue {
 public:
  // Producer side; any thread.
  void push(std::string line);
  // End of input: a consumer waiting on the empty, closed queue gets nullopt.
  void close();

  // Consumer side: the next line, or nullopt once the queue is closed and empty.
  asio::awaitable<std::optional<std::string>> pop();

 private:
  using Waiter = exec::Resolver<std::optional<std::string>>;

  std::mutex mutex_;
  std::deque<std::string> lines_;
  std::optional<Waiter> waiter_;
  bool closed_ = false;
};

}  // namespace vantor::app
