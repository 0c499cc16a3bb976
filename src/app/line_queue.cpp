#include "app/line_queue.h"

namespace vantor::app {

void LineQueue::push(std::string line) {
  std::unique_lock lock(mutex_);
  if (waiter_) {
    Waiter waiter = std::move(*waiter_);
    waiter_.reset();
    lock.unlock();
    waiter.succeed(std::move(line));
    return;
  }
  lines_.push_back(std::move(line));
}

void LineQueue::close() {
  std::unique_lock lock(mutex_);
  closed_ = true;
  if (waiter_) {
    Waiter waiter = std::move(*waiter_);
    waiter_.reset();
    lock.unlock();
    waiter.succeed(std::nullopt);
  }
}

asio::awaitable<std::optional<std::string>> LineQueue::pop() {
  {
    std::lock_guard lock(mutex_);
    if (!lines_.empty()) {
      std::string line = std::move(lines_.front());
      lines_.pop_front();
      co_return line;
    }
    if (closed_) co_return std::nullopt;
  }
  co_return co_await exec::awaitCompletion<std::optional<std::string>>([this](Waiter waiter) {
    std::unique_lock lock(mutex_);
    // A line or the end may have arrived between the check above and now.
    if (!lines_.empty()) {
      std::string line = std::move(lines_.front());
      lines_.pop_front();
      lock.unlock();
      waiter.succeed(std::move(line));
    } else if (closed_) {
      lock.unlock();
      waiter.succeed(std::nullopt);
    } else {
      waiter_ = std::move(waiter);
    }
  });
}

}  // namespace vantor::app
