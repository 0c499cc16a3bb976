#include "app/line_queue.h"

namespace vantor::app {

bool LineQueue::fits(size_t lineBytes) const {
  if (lines_.empty()) return true;
  return lines_.size() < bound_.lines && bytes_ <= bound_.bytes && lineBytes <= bound_.bytes - bytes_;
}

bool LineQueue::hasRoomAgain() const {
  if (lines_.empty()) return true;
  const size_t bytes = bound_.bytes / 2;
  return lines_.size() <= bound_.lines / 2 && bytes_ <= bytes && *producerWaitsFor_ <= bytes - bytes_;
}

std::string LineQueue::takeFront() {
  std::string line = std::move(lines_.front());
  lines_.pop_front();
  bytes_ -= line.size();
  return line;
}

bool LineQueue::push(std::string line) {
  std::unique_lock lock(mutex_);
  if (!shutDown_ && !fits(line.size())) {
    producerWaitsFor_ = line.size();
    room_.wait(lock, [&] { return shutDown_ || hasRoomAgain(); });
    producerWaitsFor_.reset();
  }
  if (shutDown_) return false;
  if (waiter_) {
    Waiter waiter = std::move(*waiter_);
    waiter_.reset();
    lock.unlock();
    waiter.succeed(std::move(line));
    return true;
  }
  bytes_ += line.size();
  lines_.push_back(std::move(line));
  return true;
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

void LineQueue::shutDown() {
  std::unique_lock lock(mutex_);
  shutDown_ = closed_ = true;
  lines_.clear();
  bytes_ = 0;
  std::optional<Waiter> waiter = std::move(waiter_);
  waiter_.reset();
  lock.unlock();
  room_.notify_all();
  if (waiter) waiter->succeed(std::nullopt);
}

asio::awaitable<std::optional<std::string>> LineQueue::pop() {
  {
    std::unique_lock lock(mutex_);
    if (!lines_.empty()) {
      std::string line = takeFront();
      bool wake = producerWaitsFor_ && hasRoomAgain();
      lock.unlock();
      if (wake) room_.notify_one();
      co_return line;
    }
    if (closed_) co_return std::nullopt;
  }
  co_return co_await exec::awaitCompletion<std::optional<std::string>>([this](Waiter waiter) {
    std::unique_lock lock(mutex_);
    // A line or the end may have arrived between the check above and now.
    if (!lines_.empty()) {
      std::string line = takeFront();
      bool wake = producerWaitsFor_ && hasRoomAgain();
      lock.unlock();
      if (wake) room_.notify_one();
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
