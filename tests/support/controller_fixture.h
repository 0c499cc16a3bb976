#pragma once
// A controller on the simulated platform, with its output captured and
// scratch files of its own, for the component tests of takes.

#include <gtest/gtest.h>
#include <unistd.h>

#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>
#include <filesystem>
#include <string>
#include <vector>

#include "app/event_writer.h"
#include "control/capture_state.h"
#include "support/capture_sinks.h"
#include "support/run_coroutine.h"
#include "support/sim_platform.h"

namespace vantor::test {

class ControllerFixture : public ::testing::Test {
 protected:
  explicit ControllerFixture(const std::string& name)
      : scratch(std::filesystem::temp_directory_path() / ("vantor-" + name + "-" + std::to_string(getpid()))) {
    std::filesystem::create_directories(scratch);
  }
  ~ControllerFixture() override { std::filesystem::remove_all(scratch); }

  void start(StartCommand c) { runOn(main, state.start(std::move(c))); }
  std::optional<std::string> stop() { return runOn(main, state.stop()); }
  template <typename F>
  void onMain(F f) {
    runOn(main, [&]() -> asio::awaitable<void> {
      f();
      co_return;
    }());
  }
  // Lets timers and deliveries run for a while.
  void wait(std::chrono::milliseconds d) {
    runOn(main, [d]() -> asio::awaitable<void> {
      asio::steady_timer t(co_await asio::this_coro::executor, d);
      co_await t.async_wait(asio::use_awaitable);
    }());
  }
  // A few buffers of a tone from each sound source, and time to mix them.
  void playSound() {
    platform::sim::Tone mic(440, 0.5), system(1000, 0.5);
    for (int i = 0; i < 4; ++i) {
      sim.microphone.play(mic, 4000);
      sim.systemAudio.play(system, 4000);
    }
    wait(std::chrono::milliseconds(100));
  }
  std::vector<nlohmann::json> eventsOfType(const std::string& type) const {
    std::vector<nlohmann::json> found;
    for (auto& e : out.events())
      if (e["type"] == type) found.push_back(e);
    return found;
  }
  bool logged(const std::string& line) const {
    auto lines = out.logLines();
    return std::find(lines.begin(), lines.end(), line) != lines.end();
  }

  std::filesystem::path scratch;
  CapturedOutput out;
  exec::MainLoop main;
  SimPlatform sim;
  app::EventLines events;
  CaptureState state{main, sim.platform(), events};
};

inline nlohmann::json errorEvent(const std::string& message) { return {{"type", "error"}, {"message", message}}; }
inline nlohmann::json statusEvent(const std::string& phase) { return {{"type", "status"}, {"phase", phase}}; }

}  // namespace vantor::test
