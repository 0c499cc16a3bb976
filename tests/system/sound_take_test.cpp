// Takes with sound end to end: the real agent records a private Xvfb while
// a private sound server plays a 440 Hz tone into the microphone and a
// 1000 Hz tone into the speakers; the finished movie is read back with
// FFmpeg's libraries. The sound server is the one scripts/test.sh starts
// (scripts/virtual-sound.sh); without one the tests skip and say so.

#include <signal.h>
#include <stdlib.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <numbers>

#include "support/agent_session.h"
#include "support/movie_probe.h"
#include "support/tone_player.h"
#include "support/x11_test_windows.h"

namespace vantor {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using test::Agent;
using test::Clock;

constexpr double kMicTone = 440, kSpeakerTone = 1000;
constexpr double kToneAmplitude = 0.3;

// Root-mean-square amplitude of `hz` in samples [from, to) (Goertzel), as a
// fraction of full scale: a sine of peak A gives A / √2.
double toneLevel(const std::vector<float>& s, int rate, double hz, size_t from, size_t to) {
  to = std::min(to, s.size());
  if (from >= to) return 0;
  double w = 2 * std::numbers::pi * hz / rate, c = 2 * std::cos(w), s1 = 0, s2 = 0;
  for (size_t i = from; i < to; ++i) {
    double s0 = s[i] + c * s1 - s2;
    s2 = s1;
    s1 = s0;
  }
  double power = s1 * s1 + s2 * s2 - c * s1 * s2;
  return std::sqrt(2 * power) / double(to - from);
}

double rms(const std::vector<float>& s, size_t from, size_t to) {
  to = std::min(to, s.size());
  double sum = 0;
  for (size_t i = from; i < to; ++i) sum += double(s[i]) * s[i];
  return to > from ? std::sqrt(sum / double(to - from)) : 0;
}

double seconds(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); }

class SoundTake : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::system("pactl info >/dev/null 2>&1") != 0)
      GTEST_SKIP() << "SKIPPED: no sound server reachable (scripts/test.sh starts one)";
    std::string why;
    server_ = test::VirtualDisplay::start(VANTOR_SOURCE_DIR "/scripts/virtual-display.sh", "", &why);
    if (!server_) GTEST_SKIP() << "SKIPPED: cannot start a virtual X server (" << why << ")";
    char pattern[] = "/tmp/vantor-sound.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    mic_ = test::TonePlayer::start({"micfeed", kMicTone, kToneAmplitude, 1}, &why);
    speakers_ = test::TonePlayer::start({"@DEFAULT_SINK@", kSpeakerTone, kToneAmplitude, 2}, &why);
    ASSERT_TRUE(mic_ && speakers_) << why;
    std::this_thread::sleep_for(300ms);  // both tones flowing
  }
  void TearDown() override {
    if (dir_.empty()) return;
    if (HasFailure()) std::printf("files kept in %s\n", dir_.c_str());
    else std::filesystem::remove_all(dir_);
  }

  json start(const std::filesystem::path& path) {
    return {{"type", "start"}, {"target", ""}, {"includeMic", true}, {"outputPath", path.string()}, {"mode", ""}};
  }

  std::unique_ptr<test::VirtualDisplay> server_;
  std::unique_ptr<test::TonePlayer> mic_, speakers_;
  std::filesystem::path dir_;
};

TEST_F(SoundTake, MovieHoldsBothTonesInStepWithThePictureSilentWhilePaused) {
  test::TestWindows x(server_->name().c_str());
  x.create({});  // something on screen
  Agent agent(server_->name());
  std::filesystem::path path = dir_ / "take.mp4";
  agent.send(start(path));
  auto recording = agent.waitForStatus("recording");
  ASSERT_TRUE(recording);
  agent.watch(2500ms);
  auto pauseSent = agent.send({{"type", "pause"}});
  ASSERT_TRUE(agent.waitForStatus("paused"));
  agent.watch(2000ms);
  auto resumeSent = agent.send({{"type", "resume"}});
  ASSERT_TRUE(agent.waitForStatus("recording"));
  agent.watch(2500ms);
  auto stopSent = agent.send({{"type", "stop"}});
  auto finished = agent.waitFor([](const json& e) { return e.value("type", "") == "finished"; }, 20s);
  ASSERT_TRUE(finished);
  EXPECT_EQ(finished->body.value("videoPath", ""), path.string());
  std::printf("stop → finished: %.3f s\n", seconds(stopSent, finished->at));

  // Nothing but the movie is left behind.
  std::vector<std::string> names;
  for (auto& entry : std::filesystem::directory_iterator(dir_)) names.push_back(entry.path().filename().string());
  EXPECT_EQ(names, std::vector<std::string>{"take.mp4"});

  test::MovieFacts facts = test::probeMovie(path);
  test::DecodedAudio audio = test::decodeAudio(path);
  EXPECT_EQ(facts.video().codec, "h264");
  EXPECT_EQ(audio.codec, "aac");
  EXPECT_NEAR(audio.seconds(), facts.video().duration, 0.2);

  // Movie time 0 is about when "recording" arrived.
  int rate = audio.sampleRate;
  auto at = [&](double s) { return size_t(std::max(0.0, s) * rate); };
  double pausedFrom = seconds(recording->at, pauseSent), pausedTo = seconds(recording->at, resumeSent);
  const auto& s = audio.samples;
  double expected = kToneAmplitude / std::sqrt(2);
  for (auto [from, to] : {std::pair{0.5, pausedFrom - 0.3}, std::pair{pausedTo + 0.3, pausedTo + 2.0}}) {
    EXPECT_NEAR(toneLevel(s, rate, kMicTone, at(from), at(to)), expected, expected * 0.35) << from << "–" << to;
    EXPECT_NEAR(toneLevel(s, rate, kSpeakerTone, at(from), at(to)), expected, expected * 0.35) << from << "–" << to;
  }
  EXPECT_LT(rms(s, at(pausedFrom + 0.3), at(pausedTo - 0.3)), 0.003) << "paused " << pausedFrom << "–" << pausedTo;

  // The level is the microphone's alone, while paused too.
  std::vector<double> levels;
  for (const auto& e : agent.events())
    if (e.body.value("type", "") == "micLevel") levels.push_back(e.body.at("value").get<double>());
  ASSERT_GT(levels.size(), 40u);
  std::sort(levels.begin(), levels.end());
  EXPECT_NEAR(levels[levels.size() / 2], expected, 0.03);

  auto result = agent.finish();
  EXPECT_NE(result.err.find("[INFO] stop: mux succeeded \u2192 take.mp4"), std::string::npos) << result.err;
}

// A take with sound restarted and then discarded: each time both of its
// files go, and the sound sources stop with the take.
TEST_F(SoundTake, RestartAndDiscardLeaveNoFileOfTheTakesThrownAway) {
  test::TestWindows x(server_->name().c_str());
  x.create({});
  Agent agent(server_->name());
  std::filesystem::path path = dir_ / "thrown.mp4";
  agent.send(start(path));
  ASSERT_TRUE(agent.waitForStatus("recording"));
  agent.watch(1200ms);
  EXPECT_TRUE(std::filesystem::exists(dir_ / "thrown.caf"));
  agent.send({{"type", "restart"}});
  ASSERT_TRUE(agent.waitForStatus("restarting"));
  ASSERT_TRUE(agent.waitForStatus("recording"));
  agent.watch(1200ms);
  EXPECT_TRUE(std::filesystem::exists(dir_ / "thrown.caf")) << "the new take records sound again";
  size_t levelsBefore = 0;
  for (const auto& e : agent.events()) levelsBefore += e.body.value("type", "") == "micLevel";
  agent.send({{"type", "discard"}});
  ASSERT_TRUE(agent.waitForStatus("discarded", 5s));
  EXPECT_TRUE(std::filesystem::is_empty(dir_)) << "left in " << dir_;

  auto result = agent.finish();
  EXPECT_NE(result.err.find("[INFO] Mic capture stopped"), std::string::npos) << result.err;
  EXPECT_GT(levelsBefore, 10u);
}

// SIGTERM ends a take with sound as "stop" does: the same events, the same
// movie, no file left beside it; then the agent exits 0 with its standard
// input still open.
TEST_F(SoundTake, TermSignalFinishesTheTakeAsStopDoesThenTheAgentExitsZero) {
  test::TestWindows x(server_->name().c_str());
  x.create({});
  Agent agent(server_->name());
  std::filesystem::path path = dir_ / "signalled.mp4";
  agent.send(start(path));
  ASSERT_TRUE(agent.waitForStatus("recording"));
  agent.watch(2000ms);
  ASSERT_EQ(kill(agent.pid(), SIGTERM), 0);
  ASSERT_TRUE(agent.waitForStatus("stopping"));
  auto finished = agent.waitFor([](const json& e) { return e.value("type", "") == "finished"; }, 10s);
  ASSERT_TRUE(finished);
  EXPECT_EQ(finished->body.value("videoPath", ""), path.string());
  auto result = agent.process().waitForExit();
  EXPECT_TRUE(result.exited && result.exitCode == 0) << result.describeEnd() << "\n" << result.err;
  EXPECT_NE(result.err.find("[INFO] vantor: SIGTERM received, finishing the take\n"), std::string::npos) << result.err;

  std::vector<std::string> names;
  for (auto& entry : std::filesystem::directory_iterator(dir_)) names.push_back(entry.path().filename().string());
  EXPECT_EQ(names, std::vector<std::string>{"signalled.mp4"});
  test::MovieFacts facts = test::probeMovie(path);
  EXPECT_EQ(facts.video().codec, "h264");
  EXPECT_EQ(facts.audio().codec, "aac");
  EXPECT_GT(facts.audio().decodedSeconds(), 1.5);
}

}  // namespace
}  // namespace vantor
