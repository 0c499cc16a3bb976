#pragma once
// Awaiting an operation that reports through a completion handler, possibly
// on another thread (a platform callback, a serial queue).
//
//   Frame f = co_await awaitCompletion<Frame>([&](Resolver<Frame> done) {
//     platform.grab(filter, [done](Frame f) { done.succeed(std::move(f)); });
//   });
//
// The Resolver is copyable and thread-safe. The first succeed() or fail()
// wins and resumes the awaiting coroutine on its own executor (the main loop
// for controller code); later calls are ignored. If every copy is dropped
// without a call, the coroutine resumes with an Error rather than hanging.

#include <asio/associated_executor.hpp>
#include <asio/async_result.hpp>
#include <asio/awaitable.hpp>
#include <asio/post.hpp>
#include <asio/use_awaitable.hpp>
#include <atomic>
#include <exception>
#include <memory>
#include <optional>
#include <type_traits>
#include <variant>

#include "util/error.h"

namespace vantor::exec {

namespace detail {

template <typename V>
struct CompletionTarget {
  virtual ~CompletionTarget() = default;
  virtual void complete(std::exception_ptr failure, V value) = 0;
};

template <typename V, typename Handler>
struct HandlerTarget final : CompletionTarget<V> {
  explicit HandlerTarget(Handler h) : handler(std::move(h)) {}
  void complete(std::exception_ptr failure, V value) override {
    auto ex = asio::get_associated_executor(handler);
    asio::post(ex, [h = std::move(handler), failure, v = std::move(value)]() mutable {
      std::move(h)(failure, std::move(v));
    });
  }
  Handler handler;
};

template <typename V>
class CompletionState {
 public:
  explicit CompletionState(std::unique_ptr<CompletionTarget<V>> target) : target_(std::move(target)) {}
  ~CompletionState() {
    if (!fired_.exchange(true))
      target_->complete(std::make_exception_ptr(Error("Vantor.Exec", 1, "operation ended without reporting")), V{});
  }
  void fire(std::exception_ptr failure, V value) {
    if (!fired_.exchange(true)) target_->complete(failure, std::move(value));
  }

 private:
  std::atomic<bool> fired_{false};
  std::unique_ptr<CompletionTarget<V>> target_;
};

}  // namespace detail

template <typename T>
class Resolver {
 public:
  using Value = std::conditional_t<std::is_void_v<T>, std::monostate, T>;

  explicit Resolver(std::shared_ptr<detail::CompletionState<Value>> state) : state_(std::move(state)) {}

  void succeed(Value value = Value{}) const { state_->fire(nullptr, std::move(value)); }
  void fail(std::exception_ptr failure) const { state_->fire(failure, Value{}); }
  void fail(const Error& error) const { fail(std::make_exception_ptr(error)); }

 private:
  std::shared_ptr<detail::CompletionState<Value>> state_;
};

template <typename T, typename Initiate>
asio::awaitable<T> awaitCompletion(Initiate initiate) {
  using Value = typename Resolver<T>::Value;
  auto value = co_await asio::async_initiate<const asio::use_awaitable_t<>&, void(std::exception_ptr, Value)>(
      [initiate = std::move(initiate)](auto handler) mutable {
        using Handler = decltype(handler);
        auto target = std::make_unique<detail::HandlerTarget<Value, Handler>>(std::move(handler));
        initiate(Resolver<T>(std::make_shared<detail::CompletionState<Value>>(std::move(target))));
      },
      asio::use_awaitable);
  if constexpr (!std::is_void_v<T>) co_return value;
}

}  // namespace vantor::exec
