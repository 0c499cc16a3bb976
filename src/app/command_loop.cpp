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

asio::awaitable<void> stopTake(CaptureState& state, Protocol& protocol) {
  std::optional<std::string> path = co_await state.stop();
  if (!path) co_return;
  nlohmann::json finished = {{"type", "finished"}, {"videoPath", *path}};
  if (protocol.version() >= 2) {
    if (std::optional<CaptureState::MovieFacts> movie = co_await state.describeMovie(*path)) {
      finished["duration"] = movie->seconds;
      finished["hasSound"] = movie->hasSound;
    }
  }
  protocol.events().answer(std::move(finished));
}

asio::awaitable<void> runHandler(const AnyCommand& command, const CommandFields& fields, CaptureState& state,
                                 Protocol& protocol) {
  const std::string& type = command.type;
  if (type == "start") {
    std::optional<StartCommand> start = decodeStartCommand(fields);
    if (!start) {
      protocol.events().error("malformed start command");
      co_return;
    }
    if (protocol.version() >= 2) {
      if (std::optional<std::string> invalid = decodeStartOptions(fields, *start)) {
        protocol.events().error(*invalid);
        co_return;
      }
    }
    co_await state.start(std::move(*start));
  } else if (type == "stop") {
    co_await stopTake(state, protocol);
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
    protocol.notACommand(fields, fmt::format("unknown command type '{}'", type));
  }
}

}  // namespace

asio::awaitable<void> dispatchLine(std::string_view line, CaptureState& state, Protocol& protocol) {
  CommandFields fields;
  const bool parsed = parseCommandFields(line, fields);
  std::optional<AnyCommand> command = parsed ? decodeAnyCommand(fields) : std::nullopt;
  if (!command) {
    logError(fmt::format("vantor: malformed JSON: {}", line));
    protocol.notACommand(fields, parsed ? "malformed command: no string \"type\"" : "malformed JSON");
    co_return;
  }
  if (!protocol.admit(*command, fields)) co_return;
  try {
    co_await runHandler(*command, fields, state, protocol);
  } catch (const std::exception& e) {
    // Handlers report their own failures; this only keeps an unforeseen one
    // (out of memory, say) from ending the agent and its take.
    logError(fmt::format("vantor: {} failed unexpectedly: {}", command->type, e.what()));
  }
  protocol.handled();
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
    co_await dispatchLine(*line, state_, protocol_);
    if (++sinceTurn == kLinesPerTurn) {
      sinceTurn = 0;
      co_await asio::post(co_await asio::this_coro::executor, asio::use_awaitable);
    }
  }
  if (!finishing_) {
    logInfo("vantor: stdin closed, exiting");
    co_return;
  }
  if (state_.isRecording()) co_await stopTake(state_, protocol_);
}

void CommandLoop::finish() {
  finishing_ = true;
  // Drops what is queued and wakes a pop waiting for input; a command being
  // handled runs on.
  queue_.shutDown();
}

}  // namespace vantor::app
