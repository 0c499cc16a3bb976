#include "app/command_loop.h"

#include <fmt/format.h>

#include <asio/post.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>

#include "app/commands.h"
#include "app/event_writer.h"
#include "util/log.h"

namespace vantor::app {
namespace {

asio::awaitable<void> stopTake(CaptureState& state) {
  if (std::optional<std::string> path = co_await state.stop())
    emitEvent({{"type", "finished"}, {"videoPath", *path}});
}

asio::awaitable<void> runHandler(const AnyCommand& command, const CommandFields& fields,
                                 CaptureState& state) {
  const std::string& type = command.type;
  if (type == "start") {
    std::optional<StartCommand> start = decodeStartCommand(fields);
    if (!start) {
      emitEvent({{"type", "error"}, {"message", "malformed start command"}});
      co_return;
    }
    co_await state.start(std::move(*start));
  } else if (type == "stop") {
    co_await stopTake(state);
  } else if (type == "pause") {
    state.pause();
  } else if (type == "resume") {
    state.resume();
  } else if (type == "restart") {
    co_await state.restart();
  } else if (type == "discard") {
    co_await state.discard();
  } else if (type == "screenshot") {
    co_await state.screenshot();
  } else {
    logInfo(fmt::format("vantor: unknown command type '{}'", type));
  }
}

}  // namespace

asio::awaitable<void> dispatchLine(std::string_view line, CaptureState& state) {
  std::optional<CommandFields> fields = parseCommandFields(line);
  std::optional<AnyCommand> command = fields ? decodeAnyCommand(*fields) : std::nullopt;
  if (!command) {
    logError(fmt::format("vantor: malformed JSON: {}", line));
    co_return;
  }
  try {
    co_await runHandler(*command, *fields, state);
  } catch (const std::exception& e) {
    // Handlers report their own failures; this only keeps an unforeseen one
    // (out of memory, say) from ending the agent and its take.
    logError(fmt::format("vantor: {} failed unexpectedly: {}", command->type, e.what()));
  }
}

asio::awaitable<void> CommandLoop::run() {
  // A pop that finds a line queued does not give the main loop a turn, so a
  // flood of lines would hold up the timers ("elapsed", "micLevel") and the
  // platform's reports; every few lines the loop lets them run.
  constexpr int kLinesPerTurn = 32;
  int sinceTurn = 0;
  while (!finishing_) {
    std::optional<std::string> line = co_await queue_.pop();
    // A line can be on its way to us when finish() comes.
    if (!line || finishing_) break;
    co_await dispatchLine(*line, state_);
    if (++sinceTurn == kLinesPerTurn) {
      sinceTurn = 0;
      co_await asio::post(co_await asio::this_coro::executor, asio::use_awaitable);
    }
  }
  if (!finishing_) {
    logInfo("vantor: stdin closed, exiting");
    co_return;
  }
  if (state_.isRecording()) co_await stopTake(state_);
}

void CommandLoop::finish() {
  finishing_ = true;
  // Drops what is queued and wakes a pop waiting for input; a command being
  // handled runs on.
  queue_.shutDown();
}

}  // namespace vantor::app
