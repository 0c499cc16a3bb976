// Video takes end to end: the real agent records a private Xvfb while the
// test paints on it, and the movies it writes are read back with FFmpeg's
// libraries (support/movie_probe.h).
//
// Moving content is a window repainted with the next colour of a palette
// about every 16 ms from a thread of its own: each picture is one solid
// colour (the X server paints a clear in one go), so every decoded frame can
// be checked pixel by pixel, and consecutive colours differ widely, so every
// repaint the agent caught is a distinct frame.

#include <signal.h>
#include <stdlib.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/agent_process.h"
#include "support/agent_session.h"
#include "support/movie_probe.h"
#include "support/screenshot_probe.h"
#include "support/x11_test_windows.h"

namespace vantor {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using vantor::testing::AgentProcess;
using test::Agent;
using test::Event;
using test::isStatus;
using Clock = std::chrono::steady_clock;

constexpr int kFrameWidth = 1920, kFrameHeight = 1080;
constexpr double kFrameInterval = 1.0 / 60;  // the agent grabs at most 60 times a second
// How far the movie's length may be from the take's as the host sees it: the
// host's clock reads events a little after the agent wrote them.
constexpr double kDurationTolerance = 0.2;
// A decoded pixel against the colour painted: 4:2:0 and limited range cost a few steps.
constexpr int kColourTolerance = 16;
constexpr uint32_t kBlack = 0x000000;

// Far apart, and every one far from black and from kCoverColour, so that a
// frame showing the wrong thing cannot pass for the right one.
constexpr std::array<uint32_t, 10> kPalette = {0xff0000, 0x00ff00, 0x0000ff, 0xffff00, 0x00ffff,
                                               0xff00ff, 0xffffff, 0x808080, 0xc04000, 0x4080c0};
constexpr uint32_t kCoverColour = 0x603050;
constexpr uint32_t kStillColour = 0x2080f0;

double secondsBetween(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double>(to - from).count();
}

int distance(uint32_t a, uint32_t b) {
  int d = 0;
  for (int shift : {0, 8, 16}) d = std::max(d, std::abs(int((a >> shift) & 0xff) - int((b >> shift) & 0xff)));
  return d;
}

bool isPaletteColour(uint32_t rgb) {
  return std::any_of(kPalette.begin(), kPalette.end(),
                     [&](uint32_t p) { return distance(rgb, p) <= kColourTolerance; });
}

std::string hex(uint32_t rgb) {
  char text[16];
  std::snprintf(text, sizeof text, "#%06x", rgb);
  return text;
}

// The palette painted about every 16 ms: every repaint is a distinct frame.
struct Painter : test::Painter {
  Painter(const std::string& display, uint32_t window)
      : test::Painter(display, window, {kPalette.begin(), kPalette.end()}) {}
};

// What a host sees of one take.
struct Take {
  std::filesystem::path path;
  Clock::time_point startSent, recording, stopSent, finished;
  json finishedEvent;
  // The take's length from the host's side: "recording" read to "stop" sent.
  double seconds() const { return secondsBetween(recording, stopSent); }
  double stopLatency() const { return secondsBetween(stopSent, finished); }
};

json startCommand(const std::string& target, const std::filesystem::path& path) {
  return {{"type", "start"}, {"target", target}, {"includeMic", false}, {"outputPath", path.string()}, {"mode", ""}};
}

// One decoded picture, reduced to what the checks look at.
struct Picture {
  double pts = 0, duration = 0;
  bool changed = false;  // differs from the picture before it, as movie_probe counts distinct frames
  std::vector<uint32_t> probes;  // colours at the probe points, in their order
};

struct Movie {
  test::MovieFacts facts;
  std::vector<Picture> pictures;

  int changesBetween(double from, double to) const {
    return int(std::count_if(pictures.begin(), pictures.end(),
                             [&](const Picture& p) { return p.changed && p.pts >= from && p.pts < to; }));
  }
  double smallestGap() const {
    double gap = INFINITY;
    for (size_t i = 1; i < pictures.size(); ++i) gap = std::min(gap, pictures[i].pts - pictures[i - 1].pts);
    return gap;
  }
};

// Probes the movie and decodes every picture once. Throws std::runtime_error
// when FFmpeg cannot read it.
Movie readMovie(const std::filesystem::path& path, const std::vector<std::pair<int, int>>& probes,
                int tolerance = 24) {
  Movie movie;
  movie.facts = test::probeMovie(path);
  std::vector<uint8_t> previous;
  test::forEachVideoFrame(path, [&](const test::DecodedFrame& f) {
    Picture p;
    p.pts = f.pts;
    p.duration = f.duration;
    p.changed = previous.size() != f.bgra.size();
    for (size_t i = 0; !p.changed && i < f.bgra.size(); ++i)
      p.changed = i % 4 != 3 && std::abs(int(f.bgra[i]) - int(previous[i])) > tolerance;
    for (auto [x, y] : probes) p.probes.push_back(x < f.width && y < f.height ? f.rgbAt(x, y) : 0xffffffffu);
    previous = f.bgra;
    movie.pictures.push_back(std::move(p));
    return true;
  });
  return movie;
}

class VideoTake : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    server_ = test::VirtualDisplay::start(VANTOR_SOURCE_DIR "/scripts/virtual-display.sh", "", &why);
    if (!server_) GTEST_SKIP() << "SKIPPED: cannot start a virtual X server (" << why << ")";
    windows_ = std::make_unique<test::TestWindows>(server_->name().c_str());
    // The pointer in the far corner, away from every probe point.
    windows_->warpPointer(kFrameWidth - 1, kFrameHeight - 1);
    char pattern[] = "/tmp/vantor-takes.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }

  void TearDown() override {
    if (dir_.empty()) return;
    if (HasFailure()) {
      std::printf("movies kept in %s\n", dir_.c_str());
    } else {
      std::error_code ignored;
      std::filesystem::remove_all(dir_, ignored);
    }
  }

  const std::string& display() const { return server_->name(); }

  // Starts a take and waits for "recording". False (with a failure recorded)
  // when the agent did not get there.
  bool start(Agent& agent, Take& take, const std::string& target) {
    take.startSent = agent.send(startCommand(target, take.path));
    auto starting = agent.waitForStatus("starting");
    if (!starting) {
      ADD_FAILURE() << "no \"starting\" for " << target;
      return false;
    }
    auto recording = agent.waitForStatus("recording");
    if (!recording) {
      ADD_FAILURE() << "no \"recording\" for " << target;
      return false;
    }
    take.recording = recording->at;
    return true;
  }

  // Sends stop and waits for "stopping" then "finished" naming the take's file.
  bool stop(Agent& agent, Take& take) {
    take.stopSent = agent.send({{"type", "stop"}});
    if (!agent.waitForStatus("stopping")) {
      ADD_FAILURE() << "no \"stopping\"";
      return false;
    }
    auto finished = agent.waitFor([](const json& e) { return e.value("type", "") == "finished"; }, 15s);
    if (!finished) {
      ADD_FAILURE() << "no \"finished\"";
      return false;
    }
    take.finished = finished->at;
    take.finishedEvent = finished->body;
    EXPECT_EQ(finished->body.value("videoPath", ""), take.path.string());
    return true;
  }

  // Ends the agent and prints what the recording side logged about the take.
  void finishAgent(Agent& agent) {
    auto result = agent.finish();
    EXPECT_TRUE(testing::exitedCleanly(result)) << result.describeEnd() << "\n" << result.err;
    for (const std::string& line : testing::splitLines(result.err))
      if (line.find("frames written") != std::string::npos) std::printf("%s\n", line.c_str());
  }

  std::optional<Movie> read(const Take& take, const std::vector<std::pair<int, int>>& probes) {
    try {
      return readMovie(take.path, probes);
    } catch (const std::exception& e) {
      ADD_FAILURE() << "cannot read the movie: " << e.what();
      return std::nullopt;
    }
  }

  // H.264 in 1920x1080 frames, as long as the take.
  void expectVideoOfTheTake(const Movie& movie, const Take& take) {
    const test::StreamFacts& v = movie.facts.video();
    EXPECT_EQ(v.codec, "h264");
    EXPECT_EQ(v.width, kFrameWidth);
    EXPECT_EQ(v.height, kFrameHeight);
    EXPECT_EQ(v.pixelFormat, "yuv420p");
    EXPECT_EQ(movie.facts.streams.size(), 1u) << "no microphone asked for, so no audio";
    EXPECT_NEAR(v.duration, take.seconds(), kDurationTolerance);
    ASSERT_FALSE(movie.pictures.empty());
    EXPECT_EQ(int64_t(movie.pictures.size()), v.decodedFrames);
    // The last picture is held until the stop: the pictures cover the take.
    const Picture& last = movie.pictures.back();
    EXPECT_NEAR(last.pts + last.duration, take.seconds(), kDurationTolerance);
    // At most 60 frames a second: never two grabs closer than the interval.
    EXPECT_GE(movie.smallestGap(), kFrameInterval - 0.001);
  }

  // Asks for a screenshot and decodes the answer; `timestamp` gets its time.
  std::optional<test::DecodedJpeg> screenshot(Agent& agent, double* timestamp = nullptr) {
    agent.send({{"type", "screenshot"}});
    auto answer = agent.waitFor([](const json& e) { return e.value("type", "") == "screenshotData"; }, 5s);
    if (!answer) {
      ADD_FAILURE() << "no \"screenshotData\"";
      return std::nullopt;
    }
    EXPECT_EQ(answer->body.size(), 3u) << answer->body.dump().substr(0, 200);
    if (timestamp) *timestamp = answer->body.at("timestamp").get<double>();
    auto bytes = test::base64Decode(answer->body.at("imageBase64").get<std::string>());
    if (!bytes) {
      ADD_FAILURE() << "the image is not standard Base64";
      return std::nullopt;
    }
    auto image = test::decodeJpeg(*bytes);
    EXPECT_TRUE(image) << "the image is not a JPEG file";
    return image;
  }

  std::unique_ptr<test::VirtualDisplay> server_;
  std::unique_ptr<test::TestWindows> windows_;
  std::filesystem::path dir_;
};

uint32_t rgbOf(const test::DecodedJpeg::Colour& c) {
  auto byte = [](double v) { return uint32_t(std::lround(std::clamp(v, 0.0, 255.0))); };
  return byte(c.r) << 16 | byte(c.g) << 8 | byte(c.b);
}

// ---- The main display

TEST_F(VideoTake, DisplayTakeIsH264At1080pAsLongAsTheTakeAndFollowsMovingContent) {
  const int wx = 200, wy = 150, ww = 480, wh = 320;
  uint32_t w = windows_->create({.x = wx, .y = wy, .width = ww, .height = wh, .color = kPalette[0]});
  Painter painter(display(), w);
  Agent agent(display());
  Take take{dir_ / "display.mp4"};
  ASSERT_TRUE(start(agent, take, ""));
  agent.watch(3s);
  ASSERT_TRUE(stop(agent, take));
  painter.stop();
  finishAgent(agent);

  // Elapsed ticks every second of the take, counting up.
  auto elapsed = agent.elapsedSeconds();
  EXPECT_GE(elapsed.size(), 2u);
  EXPECT_TRUE(std::is_sorted(elapsed.begin(), elapsed.end()));

  const std::pair<int, int> centre{wx + ww / 2, wy + wh / 2}, inside{wx + 6, wy + 6};
  auto movie = read(take, {centre, inside});
  ASSERT_TRUE(movie);
  expectVideoOfTheTake(*movie, take);

  // The window is where it is on the screen, one whole colour in every frame.
  for (size_t i = 0; i < movie->pictures.size(); ++i) {
    const Picture& p = movie->pictures[i];
    EXPECT_TRUE(isPaletteColour(p.probes[0])) << "frame " << i << " at " << p.pts << ": " << hex(p.probes[0]);
    EXPECT_LE(distance(p.probes[0], p.probes[1]), kColourTolerance) << "frame " << i << " is torn";
  }

  // The window changes about 60 times a second; the movie keeps up. Only
  // whole seconds count.
  int wholeSeconds = int(std::floor(take.seconds()));
  std::printf("repaints: %d in %.2f s; frames: %zu\n", painter.painted(), take.seconds(), movie->pictures.size());
  for (int s = 0; s < wholeSeconds; ++s) {
    int distinct = movie->changesBetween(s, s + 1);
    std::printf("second %d: %d distinct frames\n", s, distinct);
    EXPECT_GE(distinct, 30) << "second " << s;
  }
}

// ---- Windows

// A window smaller than the frame keeps its size, centred, with black
// around; its own pixels are recorded even where another window covers it.
TEST_F(VideoTake, WindowTakeShowsTheWindowAtItsSizeCentredInBlackEvenWhereCovered) {
  const int ww = 640, wh = 360;
  uint32_t w = windows_->create({.x = 50, .y = 60, .width = ww, .height = wh, .color = kPalette[0],
                                 .netWmName = "moving", .wmClass = "Painter"});
  windows_->create({.x = 30, .y = 40, .width = 300, .height = 200, .color = kCoverColour,
                    .netWmName = "cover", .wmClass = "Cover"});
  Painter painter(display(), w);
  Agent agent(display());
  Take take{dir_ / "window.mp4"};
  ASSERT_TRUE(start(agent, take, "window-" + std::to_string(w)));
  agent.watch(1200ms);
  ASSERT_TRUE(stop(agent, take));
  painter.stop();
  finishAgent(agent);

  // Content lands at (640, 360)-(1280, 720).
  const int left = (kFrameWidth - ww) / 2, top = (kFrameHeight - wh) / 2;
  const std::vector<std::pair<int, int>> content = {
      {left + ww / 2, top + wh / 2}, {left + 6, top + 6}, {left + ww - 7, top + wh - 7}, {left + 6, top + wh - 7},
      {left + ww - 7, top + 6}, {left + 100, top + 80}};  // the last one is under the cover on screen
  const std::vector<std::pair<int, int>> around = {
      {left - 8, top + wh / 2}, {left + ww + 8, top + wh / 2}, {left + ww / 2, top - 8}, {left + ww / 2, top + wh + 8},
      {8, 8}, {kFrameWidth - 9, kFrameHeight - 9}};
  std::vector<std::pair<int, int>> probes = content;
  probes.insert(probes.end(), around.begin(), around.end());
  auto movie = read(take, probes);
  ASSERT_TRUE(movie);
  expectVideoOfTheTake(*movie, take);

  for (size_t i = 0; i < movie->pictures.size(); ++i) {
    const Picture& p = movie->pictures[i];
    for (size_t k = 0; k < content.size(); ++k) {
      EXPECT_TRUE(isPaletteColour(p.probes[k])) << "frame " << i << ", content probe " << k << ": " << hex(p.probes[k]);
      EXPECT_LE(distance(p.probes[k], p.probes[0]), kColourTolerance) << "frame " << i << ", content probe " << k;
    }
    for (size_t k = 0; k < around.size(); ++k)
      EXPECT_LE(distance(p.probes[content.size() + k], kBlack), kColourTolerance)
          << "frame " << i << ", around probe " << k << ": " << hex(p.probes[content.size() + k]);
  }
  EXPECT_GE(movie->changesBetween(0, 1), 30);
}

// A window larger than the frame is scaled down to fit with its aspect ratio
// kept: 2400x1200 becomes 1920x960, with black bars of 60 rows above and below.
TEST_F(VideoTake, WindowLargerThanTheFrameIsScaledDownToFitAndLetterboxed) {
  uint32_t w = windows_->create({.x = 0, .y = 0, .width = 2400, .height = 1200, .color = kPalette[0],
                                 .netWmName = "large", .wmClass = "Painter"});
  Painter painter(display(), w);
  Agent agent(display());
  Take take{dir_ / "large.mp4"};
  ASSERT_TRUE(start(agent, take, "window-" + std::to_string(w)));
  agent.watch(1200ms);
  ASSERT_TRUE(stop(agent, take));
  painter.stop();
  finishAgent(agent);

  const std::vector<std::pair<int, int>> content = {{960, 540}, {8, 68}, {1911, 68}, {8, 1011}, {1911, 1011}};
  const std::vector<std::pair<int, int>> bars = {{960, 52}, {960, 8}, {960, 1027}, {960, 1071}};
  std::vector<std::pair<int, int>> probes = content;
  probes.insert(probes.end(), bars.begin(), bars.end());
  auto movie = read(take, probes);
  ASSERT_TRUE(movie);
  expectVideoOfTheTake(*movie, take);
  for (size_t i = 0; i < movie->pictures.size(); ++i) {
    const Picture& p = movie->pictures[i];
    for (size_t k = 0; k < content.size(); ++k)
      EXPECT_TRUE(isPaletteColour(p.probes[k])) << "frame " << i << ", content probe " << k << ": " << hex(p.probes[k]);
    for (size_t k = 0; k < bars.size(); ++k)
      EXPECT_LE(distance(p.probes[content.size() + k], kBlack), kColourTolerance)
          << "frame " << i << ", bar probe " << k << ": " << hex(p.probes[content.size() + k]);
  }
}

// The window goes away while it is recorded: the take still stops at once,
// with a playable movie of what was recorded, held until the stop.
TEST_F(VideoTake, WindowClosedMidTakeStillStopsWithAPlayableMovie) {
  const int ww = 400, wh = 300;
  uint32_t w = windows_->create({.x = 100, .y = 100, .width = ww, .height = wh, .color = kPalette[0],
                                 .netWmName = "closing", .wmClass = "Painter"});
  auto painter = std::make_unique<Painter>(display(), w);
  Agent agent(display());
  Take take{dir_ / "closed.mp4"};
  ASSERT_TRUE(start(agent, take, "window-" + std::to_string(w)));
  agent.watch(1s);
  painter.reset();
  windows_->destroy(w);
  const auto closedAt = Clock::now();
  agent.watch(800ms);
  ASSERT_TRUE(stop(agent, take));
  // The recording side reported rather than the recorder giving up on it
  // after its 8 s wait.
  EXPECT_LT(take.stopLatency(), 4.0);
  finishAgent(agent);

  auto movie = read(take, {{kFrameWidth / 2, kFrameHeight / 2}});
  ASSERT_TRUE(movie);
  expectVideoOfTheTake(*movie, take);
  for (const Picture& p : movie->pictures) EXPECT_TRUE(isPaletteColour(p.probes[0])) << p.pts << ": " << hex(p.probes[0]);
  // Changes up to the close, none after (a repeat of the last picture may follow).
  double closedIn = secondsBetween(take.recording, closedAt);
  EXPECT_GE(movie->changesBetween(0, closedIn), 30);
  EXPECT_EQ(movie->changesBetween(closedIn + 0.1, 1e9), 0);
}

// ---- Pausing

TEST_F(VideoTake, PausedSpanShowsTheLastFrameBeforeItAndTheMovieStillCoversTheWholeTake) {
  const int wx = 300, wy = 200, ww = 320, wh = 240;
  uint32_t w = windows_->create({.x = wx, .y = wy, .width = ww, .height = wh, .color = kPalette[0]});
  Painter painter(display(), w);
  Agent agent(display());
  Take take{dir_ / "paused.mp4"};
  ASSERT_TRUE(start(agent, take, ""));
  agent.watch(800ms);
  auto pauseSent = agent.send({{"type", "pause"}});
  ASSERT_TRUE(agent.waitForStatus("paused"));
  agent.watch(1200ms);
  auto resumeSent = agent.send({{"type", "resume"}});
  ASSERT_TRUE(agent.waitForStatus("recording"));
  agent.watch(800ms);
  ASSERT_TRUE(stop(agent, take));
  painter.stop();
  finishAgent(agent);

  // Elapsed leaves the paused span out.
  auto elapsed = agent.elapsedSeconds();
  ASSERT_FALSE(elapsed.empty());
  EXPECT_TRUE(std::is_sorted(elapsed.begin(), elapsed.end()));
  double recorded = take.seconds() - secondsBetween(pauseSent, resumeSent);
  EXPECT_LE(elapsed.back(), recorded + 0.1);

  auto movie = read(take, {{wx + ww / 2, wy + wh / 2}});
  ASSERT_TRUE(movie);
  expectVideoOfTheTake(*movie, take);

  // In the movie's time. The margins allow for the command's way to the agent.
  double pausedFrom = secondsBetween(take.recording, pauseSent), pausedTo = secondsBetween(take.recording, resumeSent);
  EXPECT_GE(movie->changesBetween(0, pausedFrom), 30) << "before the pause";
  EXPECT_EQ(movie->changesBetween(pausedFrom + 0.1, pausedTo - 0.05), 0) << "paused from " << pausedFrom << " to " << pausedTo;
  EXPECT_GE(movie->changesBetween(pausedTo, take.seconds()), 30) << "after the pause";
  // The paused span shows the last picture from before it: whatever pictures
  // sit in it (the output repeats a still picture every second) show that one.
  auto before = std::find_if(movie->pictures.rbegin(), movie->pictures.rend(),
                             [&](const Picture& p) { return p.pts <= pausedFrom + 0.1 && p.changed; });
  ASSERT_NE(before, movie->pictures.rend());
  EXPECT_TRUE(isPaletteColour(before->probes[0])) << hex(before->probes[0]);
  for (const Picture& p : movie->pictures) {
    if (p.pts <= before->pts || p.pts >= pausedTo - 0.05) continue;
    EXPECT_LE(distance(p.probes[0], before->probes[0]), kColourTolerance) << "frame at " << p.pts;
  }
}

// ---- A killed agent

TEST_F(VideoTake, KilledAgentLeavesAReadableMovieShortOfAtMostAboutTheLastSecond) {
  const int wx = 200, wy = 200, ww = 320, wh = 240;
  uint32_t w = windows_->create({.x = wx, .y = wy, .width = ww, .height = wh, .color = kPalette[0]});
  Painter painter(display(), w);
  Agent agent(display());
  Take take{dir_ / "killed.mp4"};
  ASSERT_TRUE(start(agent, take, ""));
  agent.watch(3s);
  ASSERT_EQ(kill(agent.pid(), SIGKILL), 0);
  double killedAfter = secondsBetween(take.recording, Clock::now());
  painter.stop();
  auto result = agent.finish();
  EXPECT_EQ(result.signal, SIGKILL) << result.describeEnd();

  // Readable to the end, and what it holds reaches to within about a second of the kill.
  test::MovieFacts facts;
  try {
    facts = test::probeMovie(take.path);
  } catch (const std::exception& e) {
    FAIL() << "cannot read the movie of a killed take: " << e.what();
  }
  const test::StreamFacts& v = facts.video();
  EXPECT_EQ(v.codec, "h264");
  EXPECT_EQ(v.width, kFrameWidth);
  EXPECT_EQ(v.height, kFrameHeight);
  std::printf("killed %.2f s into the take; last frame at %.2f s; %lld frames\n", killedAfter, v.lastPts,
              static_cast<long long>(v.decodedFrames));
  EXPECT_GE(v.lastPts, killedAfter - 1.25);
  EXPECT_GE(v.decodedFrames, 60);
  // The pictures are the take's: its first ones show the window, changing.
  auto first = test::decodeVideoFrames(take.path, 8);
  ASSERT_EQ(first.size(), 8u);
  int changes = 0;
  for (size_t i = 0; i < first.size(); ++i) {
    uint32_t colour = first[i].rgbAt(wx + ww / 2, wy + wh / 2);
    EXPECT_TRUE(isPaletteColour(colour)) << first[i].pts << ": " << hex(colour);
    if (i > 0 && distance(colour, first[i - 1].rgbAt(wx + ww / 2, wy + wh / 2)) > kColourTolerance) ++changes;
  }
  EXPECT_GE(changes, 4);
}

// ---- A host that floods

// Kilobytes in a /proc/<pid>/status field such as "VmRSS:"; -1 when missing.
long statusKb(pid_t pid, const std::string& field) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);)
    if (line.rfind(field, 0) == 0) return std::atol(line.c_str() + field.size());
  return -1;
}

// Garbage written far faster than it can be handled, during a take: the
// agent reads only as far ahead as its queue holds, so its memory stays put;
// every line is still handled, in order, and the commands behind them answered.
TEST_F(VideoTake, FloodOfMalformedLinesDuringATakeLeavesTheAgentsMemoryAloneAndLosesNoLine) {
  windows_->create({.x = 100, .y = 100, .width = 320, .height = 240, .color = kStillColour});
  Agent agent(display());
  Take take{dir_ / "flooded.mp4"};
  ASSERT_TRUE(start(agent, take, ""));
  ASSERT_TRUE(screenshot(agent));  // the buffers of stills are kept from the first one on
  // Writing 5 to clear_refs sets the peak (VmHWM) back to the current size.
  bool peakReset = bool(std::ofstream("/proc/" + std::to_string(agent.pid()) + "/clear_refs") << "5" << std::flush);
  long before = statusKb(agent.pid(), peakReset ? "VmRSS:" : "VmHWM:");

  constexpr int kLines = 300'000;
  const std::string pad(200, 'x');
  std::string flood;
  flood.reserve(kLines * (pad.size() + 16));
  for (int i = 0; i < kLines; ++i) flood += "flood " + std::to_string(i) + " " + pad + "\n";
  flood += R"({"type":"screenshot"})" "\n" R"({"type":"stop"})" "\n";
  ASSERT_TRUE(agent.process().write(flood, 60s));
  auto shot = agent.waitFor([](const json& e) { return e.value("type", "") == "screenshotData"; }, 60s);
  ASSERT_TRUE(shot) << "the screenshot behind the flood was not answered";
  long peak = statusKb(agent.pid(), "VmHWM:");
  ASSERT_TRUE(agent.waitForStatus("stopping"));
  ASSERT_TRUE(agent.waitFor([](const json& e) { return e.value("type", "") == "finished"; }, 15s));
  auto result = agent.finish();
  EXPECT_TRUE(testing::exitedCleanly(result)) << result.describeEnd();

  std::printf("resident %ld kB before the flood, at most %ld kB during it\n", before, peak);
  ASSERT_GT(before, 0);
#ifndef __SANITIZE_ADDRESS__  // its quarantine keeps freed memory: the size says nothing then
  EXPECT_LT(peak - before, 32 * 1024) << "kB more at the peak";
#endif
  // Each line logged once, in the order written.
  const std::string_view prefix = "[ERROR] vantor: malformed JSON: flood ";
  std::string_view err = result.err;
  int next = 0;
  for (size_t at = err.find(prefix); at != std::string_view::npos; at = err.find(prefix, at + 1)) {
    int number = std::atoi(err.data() + at + prefix.size());
    if (number != next) {
      ADD_FAILURE() << "line " << next << " was logged as " << number;
      break;
    }
    ++next;
  }
  EXPECT_EQ(next, kLines);
}

// ---- Nothing moves

TEST_F(VideoTake, UnchangedScreenMakesFewFramesAndTheMovieStillLastsTheTake) {
  const int wx = 500, wy = 300, ww = 400, wh = 300;
  windows_->create({.x = wx, .y = wy, .width = ww, .height = wh, .color = kStillColour});
  Agent agent(display());
  // Missing parent directories are made.
  Take take{dir_ / "nested" / "deeper" / "still.mp4"};
  ASSERT_TRUE(start(agent, take, ""));
  agent.watch(3s);
  ASSERT_TRUE(stop(agent, take));
  finishAgent(agent);
  EXPECT_GE(agent.elapsedSeconds().size(), 2u);

  auto movie = read(take, {{wx + ww / 2, wy + wh / 2}});
  ASSERT_TRUE(movie);
  const test::StreamFacts& v = movie->facts.video();
  EXPECT_EQ(v.codec, "h264");
  EXPECT_EQ(v.width, kFrameWidth);
  EXPECT_EQ(v.height, kFrameHeight);
  // Within a frame interval or so: the only slack is the host's view of the times.
  EXPECT_NEAR(v.duration, take.seconds(), 0.05);
  ASSERT_FALSE(movie->pictures.empty());
  EXPECT_NEAR(movie->pictures.back().pts + movie->pictures.back().duration, take.seconds(), 0.05);
  // One picture, and at most a repeat of it for every second (a killed take keeps still stretches that way).
  EXPECT_LE(movie->pictures.size(), size_t(take.seconds()) + 2);
  EXPECT_EQ(movie->changesBetween(0, 1e9), 1);
  for (const Picture& p : movie->pictures) EXPECT_LE(distance(p.probes[0], kStillColour), kColourTolerance) << hex(p.probes[0]);
}

}  // namespace
}  // namespace vantor

namespace vantor {
namespace {

// ---- Restart, discard and screenshots

TEST_F(VideoTake, RestartedTakeCoversOnlyTheTimeAfterTheRestartAndScreenshotsShowTheScreen) {
  const int wx = 400, wy = 300, ww = 320, wh = 240;
  const uint32_t before = kPalette[0], after = kPalette[2];
  uint32_t w = windows_->create({.x = wx, .y = wy, .width = ww, .height = wh, .color = before});
  Agent agent(display());
  Take take{dir_ / "restarted.mp4"};
  ASSERT_TRUE(start(agent, take, ""));
  agent.watch(1500ms);
  agent.send({{"type", "pause"}});  // a paused take restarts unpaused
  ASSERT_TRUE(agent.waitForStatus("paused"));
  agent.send({{"type", "restart"}});
  ASSERT_TRUE(agent.waitForStatus("restarting"));
  windows_->fill(w, after);
  auto restarted = agent.waitForStatus("recording");
  ASSERT_TRUE(restarted);
  EXPECT_FALSE(std::filesystem::exists(take.path.parent_path() / "restarted.caf"));
  take.recording = restarted->at;
  agent.watch(1500ms);

  // A still of the whole display, at its size, showing what is on it.
  double at = 0;
  auto still = screenshot(agent, &at);
  ASSERT_TRUE(still);
  EXPECT_EQ(still->width, kFrameWidth);
  EXPECT_EQ(still->height, kFrameHeight);
  EXPECT_LE(distance(rgbOf(still->mean(wx + 20, wy + 20, ww - 40, wh - 40)), after), kColourTolerance);
  EXPECT_LE(distance(rgbOf(still->mean(wx + ww + 20, wy, 40, 40)), kBlack), kColourTolerance);
  EXPECT_GT(at, 1.3);  // counted from the restart
  EXPECT_LT(at, 2.5);

  ASSERT_TRUE(stop(agent, take));
  finishAgent(agent);

  auto movie = read(take, {{wx + ww / 2, wy + wh / 2}});
  ASSERT_TRUE(movie);
  expectVideoOfTheTake(*movie, take);
  // Nothing from before the restart: the colour shown then is gone, except in
  // the first moment, while the repaint was on its way.
  for (const Picture& p : movie->pictures)
    if (p.pts > 0.1) EXPECT_LE(distance(p.probes[0], after), kColourTolerance) << "frame at " << p.pts;
}

TEST_F(VideoTake, ScreenshotsOfAWindowDuringAPauseAfterItClosedAndAfterTheStop) {
  const int ww = 640, wh = 360;
  const uint32_t first = kPalette[1], last = kPalette[4];
  uint32_t w = windows_->create({.x = 50, .y = 60, .width = ww, .height = wh, .color = first,
                                 .netWmName = "shown", .wmClass = "Shown"});
  Agent agent(display());
  Take take{dir_ / "window-shots.mp4"};
  ASSERT_TRUE(start(agent, take, "window-" + std::to_string(w)));
  agent.watch(500ms);

  // A still of the window alone, at its own size.
  auto still = screenshot(agent);
  ASSERT_TRUE(still);
  EXPECT_EQ(still->width, ww);
  EXPECT_EQ(still->height, wh);
  EXPECT_LE(distance(rgbOf(still->mean(0, 0, ww, wh)), first), kColourTolerance);

  agent.send({{"type", "pause"}});
  ASSERT_TRUE(agent.waitForStatus("paused"));
  double t1 = 0, t2 = 0;
  ASSERT_TRUE(screenshot(agent, &t1));
  agent.watch(300ms);
  ASSERT_TRUE(screenshot(agent, &t2));
  EXPECT_EQ(t1, t2);
  agent.send({{"type", "resume"}});
  ASSERT_TRUE(agent.waitForStatus("recording"));

  windows_->fill(w, last);
  agent.watch(400ms);
  windows_->destroy(w);
  agent.watch(400ms);
  // The window is gone: the last frame of the stream answers, the window
  // centred in the frame at its size, black around.
  auto frame = screenshot(agent);
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->width, kFrameWidth);
  EXPECT_EQ(frame->height, kFrameHeight);
  const int left = (kFrameWidth - ww) / 2, top = (kFrameHeight - wh) / 2;
  EXPECT_LE(distance(rgbOf(frame->mean(left + 20, top + 20, ww - 40, wh - 40)), last), kColourTolerance);
  EXPECT_LE(distance(rgbOf(frame->mean(20, 20, 200, 200)), kBlack), kColourTolerance);

  ASSERT_TRUE(stop(agent, take));
  auto afterStop = screenshot(agent);
  ASSERT_TRUE(afterStop);
  EXPECT_EQ(afterStop->width, kFrameWidth);
  finishAgent(agent);
}

TEST_F(VideoTake, DiscardLeavesNothingAtTheOutputPath) {
  uint32_t w = windows_->create({.x = 100, .y = 100, .width = 320, .height = 240, .color = kPalette[0]});
  Painter painter(display(), w);
  Agent agent(display());
  Take take{dir_ / "discarded.mp4"};
  ASSERT_TRUE(start(agent, take, ""));
  agent.watch(1500ms);
  EXPECT_TRUE(std::filesystem::exists(take.path));
  agent.send({{"type", "discard"}});
  ASSERT_TRUE(agent.waitForStatus("discarding"));
  ASSERT_TRUE(agent.waitForStatus("discarded", 5s));
  painter.stop();
  agent.send({{"type", "stop"}});
  EXPECT_TRUE(agent.waitFor([](const json& e) { return e.value("message", "") == "not recording"; }, 5s));
  finishAgent(agent);
  EXPECT_TRUE(std::filesystem::is_empty(dir_)) << "left in " << dir_;
}

}  // namespace
}  // namespace vantor
