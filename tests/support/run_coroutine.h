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
  std::exception_ptr failure;
  if constexpr (std::is_void_v<T>) {
    bool finished = false;
    asio::co_spawn(main.context(), std::move(operation), [&](std::exception_ptr e) {
      failure = e;
      finished = true;
    });
    main.runUntil([&] { return finished; });
    if (failure) std::rethrow_exception(failure);
  } else {
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
