#pragma once
// A serial queue: one thread of its own that runs posted work in order.
// Its label is the application's reverse-DNS identifier followed by a suffix
// such as ".helper.mixer"; the thread carries the suffix as its name so it
// shows up in top and debuggers.

#include <asio/executor_work_guard.hpp>
#include <optional>
#include <string_view>
#include <thread>

#include "exec/loop.h"

namespace vantor::exec {

inline constexpr std::string_view kAppIdentifier = "com.vantor";

class SerialQueue final : public Loop {
 public:
  explicit SerialQueue(std::string_view suffix);
  // Runs the work already posted, then joins the thread.
  ~SerialQueue() override;

 private:
  std::optional<asio::executor_work_guard<asio::io_context::executor_type>> keepAlive_;
  std::thread thread_;
};

}  // namespace vantor::exec
