#pragma once
// Runs one coroutine on a main loop until it finishes and hands back its
// result, rethrowing its failure: the in-process tests' way of calling
// asynchronous operations.

#include <asio/co_spawn.hpp>
#include <exception>
#include <optional>
#include <type_traits>

#include "exec/main_loop.h"

namespace vantor::test {

template <typename T>
T runOn(exec::MainLoop& main, asio::awaitable<T> operation) {
  if constexpr (std::is_void_v<T>) {
    auto done = [](asio::awaitable<void> op) -> asio::awaitable<bool> {
      co_await std::move(op);
      co_return true;
    };
    runOn(main, done(std::move(operation)));
  } else {
    std::exception_ptr failure;
    std::optional<T> result;
    bool finished = false;
    asio::co_spawn(main.context(), std::move(operation), [&](std::exception_ptr e, T value) {
      failure = e;
      if (!e) result.emplace(std::move(value));
      finished = true;
    });
    main.runUntil([&] { return finished; });
    if (failure) std::rethrow_exception(failure);
    return std::move(*result);
  }
}

}  // namespace vantor::test
