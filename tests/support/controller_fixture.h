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

#include "app/command_loop.h"
#include "app/event_writer.h"
#include "control/capture_state.h"
#include "support/capture_sinks.h"
#include "support/run_coroutine.h"
#include "support/sim_platform.h"

namespace vantor::test {

inline std::filesystem::path scratchDir() {
  return std::filesystem::temp_directory_path() / ("vantor-takes-" + std::to_string(getpid()));
}

inline std::string startLine(std::string target = "", bool includeMic = false) {
  return nlohmann::json{{"type", "start"}, {"target", std::move(target)}, {"includeMic", includeMic},
                        {"outputPath", (scratchDir() / "take.mp4").string()}, {"mode", ""}}
      .dump();
}

// Public, so that tables of steps can act on it.
class ControllerFixture : public ::testing::Test {
 public:
  // What the simulated files of a take hold: 3 s of picture, and 3 s of sound.
  ControllerFixture() {
    std::filesystem::create_directories(scratch);
    sim.media.assetFiles[video] = platform::sim::SimAssetFile{1, 0, platform::MediaTime{3, 1}};
    sim.media.assetFiles[audio] = platform::sim::SimAssetFile{0, 1, platform::MediaTime{48000, 16000}};
  }
  ~ControllerFixture() override { std::filesystem::remove_all(scratch); }

  // A controller made afresh, for capabilities changed after the first.
  void renew() {
    state.reset();
    state.emplace(main, sim.platform(), events);
    protocol.emplace(events, facts);
  }
  // One command line, handled as the command loop handles it.
  void send(const std::string& line) { runOn(main, app::dispatchLine(line, *state, *protocol)); }
  void start(bool includeMic = false, std::string target = "") { send(startLine(std::move(target), includeMic)); }
  void onMain(const std::function<void()>& f) {
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
  // Buffers of 4000 frames (at 48 kHz) of a tone from either sound source,
  // and time to mix them.
  void playSound(platform::sim::Tone* mic, platform::sim::Tone* system, int buffers = 4) {
    for (int i = 0; i < buffers; ++i) {
      if (mic) sim.microphone.play(*mic, 4000);
      if (system) sim.systemAudio.play(*system, 4000);
    }
    wait(std::chrono::milliseconds(150));
  }
  void playSound() {
    platform::sim::Tone mic(440, 0.5), system(1000, 0.5);
    playSound(&mic, &system);
  }
  std::vector<nlohmann::json> eventsOfType(const std::string& type) const {
    std::vector<nlohmann::json> found;
    for (auto& e : out.events())
      if (e["type"] == type) found.push_back(e);
    return found;
  }
  // The events that answer or report, without the meters; a screenshot by its type (and id) alone.
  std::vector<nlohmann::json> told() const {
    std::vector<nlohmann::json> found;
    for (auto& e : out.events())
      if (e["type"] == "screenshotData") found.push_back({{"type", "screenshotData"}}), e.contains("id") && (found.back()["id"] = e["id"], true);
      else if (e["type"] != "micLevel" && e["type"] != "elapsed") found.push_back(e);
    return found;
  }
  bool logged(const std::string& line) const {
    auto lines = out.logLines();
    return std::find(lines.begin(), lines.end(), line) != lines.end();
  }

  std::filesystem::path scratch = scratchDir();
  std::filesystem::path video = scratch / "take.mp4";
  std::filesystem::path audio = scratch / "take.caf";
  CapturedOutput out;
  exec::MainLoop main;
  SimPlatform sim;
  app::EventLines events;
  std::optional<CaptureState> state{std::in_place, main, sim.platform(), events};
  app::AgentFacts facts{.version = "0.0.0", .platform = "x11"};
  std::optional<app::Protocol> protocol{std::in_place, events, facts};
};

}  // namespace vantor::test
