#pragma once
// An event loop bound to one thread: the main loop or a serial queue. Work
// posted to it runs in order, one item at a time, on that thread.
//
// Thread ownership is checked, not just documented: code confined to a loop
// calls VANTOR_ASSERT_ON(loop), which aborts with a log line when called from
// any other thread.

#include <asio/any_io_executor.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <functional>
#include <string>
#include <utility>

namespace vantor::exec {

class Loop {
 public:
  explicit Loop(std::string label) : label_(std::move(label)) {}
  Loop(const Loop&) = delete;
  Loop& operator=(const Loop&) = delete;
  virtual ~Loop() = default;

  const std::string& label() const { return label_; }
  asio::io_context& context() { return context_; }
  asio::any_io_executor executor() { return context_.get_executor(); }

  // True on the thread that currently runs this loop.
  bool isCurrent() const;

  template <typename F>
  void post(F&& work) {
    asio::post(context_, std::forward<F>(work));
  }

 protected:
  // Runs the loop on the calling thread until it runs out of work or is stopped.
  void runHere();
  // The same, but also ends as soon as `done` answers true after a handler.
  void runHereUntil(const std::function<bool()>& done);

 private:
  std::string label_;
  asio::io_context context_{1};
};

[[noreturn]] void failOwnership(const Loop& expected, const char* where);

}  // namespace vantor::exec

#define VANTOR_ASSERT_ON(loop)                                         \
  do {                                                                 \
    if (!(loop).isCurrent()) ::vantor::exec::failOwnership((loop), __func__); \
  } while (0)
