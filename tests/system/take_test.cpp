// Takes of the real agent end to end, on a private Xvfb (and the sound server
// scripts/test.sh starts), read back by decoding the movies: a display with
// sound, paused and ended by SIGTERM; a window, paused and closed, with
// screenshots; a restart and a discard; a flood, then a kill.

#include <signal.h>

#include <fstream>
#include <numbers>
#include <thread>

#include "support/tone_player.h"
#include "system/system_take.h"

namespace vantor::test {
namespace {

// Root-mean-square amplitude of `hz` in samples [from, to) (Goertzel): a sine of peak A gives A / √2.
double toneLevel(const std::vector<float>& s, int rate, double hz, double from, double to) {
  size_t begin = size_t(std::max(0.0, from) * rate), end = std::min(s.size(), size_t(to * rate));
  double c = 2 * std::cos(2 * std::numbers::pi * hz / rate), s1 = 0, s2 = 0;
  for (size_t i = begin; i < end; ++i) s2 = std::exchange(s1, s[i] + c * s1 - s2);
  return end > begin ? std::sqrt(2 * (s1 * s1 + s2 * s2 - c * s1 * s2)) / double(end - begin) : 0;
}

// The longest stretch [from, to) in seconds whose 20 ms pieces are all quieter than `rms`.
std::pair<double, double> longestQuiet(const std::vector<float>& s, int rate, double rms) {
  const size_t piece = size_t(rate) / 50;
  std::pair<double, double> best{0, 0};
  for (size_t at = 0, from = 0; at + piece <= s.size(); at += piece) {
    double sum = 0;
    for (size_t i = at; i < at + piece; ++i) sum += double(s[i]) * s[i];
    if (std::sqrt(sum / double(piece)) >= rms) from = at + piece;
    else if (double(at + piece - from) / rate > best.second - best.first)
      best = {double(from) / rate, double(at + piece) / rate};
  }
  return best;
}

// Both tones while recording, silence and a frozen picture while paused,
// elapsed without the pause, the microphone's level, and SIGTERM ending the
// take as "stop" does: the movie with its sound, nothing beside it, exit 0.
TEST_P(EveryScreenTake, DisplayWithSoundPausedThenEndedBySigterm) {
  VANTOR_REQUIRE_SOUND_SERVER();
  constexpr double kAmplitude = 0.3, kLevel = kAmplitude / std::numbers::sqrt2;
  std::string why;
  auto mic = TonePlayer::start({"micfeed", 440, kAmplitude, 1}, &why);
  auto speakers = TonePlayer::start({"@DEFAULT_SINK@", 1000, kAmplitude, 2}, &why);
  ASSERT_TRUE(mic && speakers) << why;
  const int wx = 200, wy = 150, ww = 480, wh = 320;
  auto painter = paint(screen_->window(wx, wy, ww, wh, kPalette[0]));
  std::this_thread::sleep_for(300ms);  // both tones flowing
  auto agent = this->agent();
  auto path = dir_ / "display.mp4";
  auto recording = agent->start("", path, true);
  ASSERT_TRUE(recording);
  agent->watch(1200ms);
  auto pauseSent = agent->send(json{{"type", "pause"}});
  ASSERT_TRUE(agent->waitForStatus("paused"));
  agent->watch(1000ms);
  auto resumeSent = agent->send(json{{"type", "resume"}});
  ASSERT_TRUE(agent->waitForStatus("recording"));
  agent->watch(1200ms);
  auto signalled = Clock::now();
  ASSERT_EQ(::kill(agent->pid(), SIGTERM), 0);
  ASSERT_TRUE(agent->waitForStatus("stopping"));
  auto finished = agent->waitForType("finished");
  ASSERT_TRUE(finished);
  EXPECT_EQ(finished->body, (json{{"type", "finished"}, {"videoPath", path.string()}}));
  ProcessResult ended = agent->process().waitForExit();  // stdin still open
  EXPECT_TRUE(ended.exitedWith(0)) << ended.describeEnd() << "\n" << ended.err;
  EXPECT_NE(ended.err.find("[INFO] vantor: SIGTERM received, finishing the take\n"), std::string::npos) << ended.err;
  EXPECT_NE(ended.err.find("[INFO] stop: mux succeeded \u2192 display.mp4\n"), std::string::npos) << ended.err;
  EXPECT_EQ(filesLeft(), std::vector<std::string>{"display.mp4"});
  painter->stop();

  // Movie time 0 is about when "recording" arrived; a loaded machine (a
  // sanitizer) effects each command a few tenths of a second after it was
  // sent, so the pause is read from the movie itself: its longest stretch
  // without a change, which must last as long as the host paused.
  const double hostPause = secondsBetween(pauseSent, resumeSent), pauseSentAt = secondsBetween(recording->at, pauseSent);
  const double seconds = secondsBetween(recording->at, signalled);
  Movie movie = readMovie(path, {{wx + ww / 2, wy + wh / 2}, {wx + 6, wy + 6}});
  const StreamFacts& v = movie.facts.video();
  EXPECT_EQ(v.codec, "h264");
  EXPECT_EQ(v.width, kWidth);
  EXPECT_EQ(v.height, kHeight);
  EXPECT_EQ(v.pixelFormat, "yuv420p");
  EXPECT_GE(v.duration, seconds - 0.25);
  EXPECT_LE(v.duration, seconds + 0.75);
  ASSERT_FALSE(movie.pictures.empty());
  EXPECT_NEAR(movie.pictures.back().pts + movie.pictures.back().duration, v.duration, 0.1);
  double pausedFrom = 0, pausedTo = 0, lastChange = 0, lastKey = 0;
  const Picture* frozen = nullptr;  // the last picture before the pause
  for (const Picture& p : movie.pictures) {
    EXPECT_TRUE(isPaletteColour(p.probes[0])) << "picture at " << p.pts;
    EXPECT_LE(distance(p.probes[0], p.probes[1]), kColourTolerance) << "torn picture at " << p.pts;
    // A picture 2 s or more after the last keyframe is one itself.
    if (p.key) lastKey = p.pts;
    EXPECT_LT(p.pts - lastKey, 2.0) << "no keyframe since " << lastKey;
    if (!p.changed) continue;
    if (p.pts - lastChange > pausedTo - pausedFrom) pausedFrom = lastChange, pausedTo = p.pts;
    lastChange = p.pts;
  }
  EXPECT_GE(pausedTo - pausedFrom, hostPause - 0.15) << "pictures changed while paused";
  EXPECT_LE(pausedTo - pausedFrom, hostPause + 0.5);
  EXPECT_GE(pausedFrom, pauseSentAt - 0.15) << "paused before the host asked";
  EXPECT_LE(pausedFrom, pauseSentAt + 0.6);
  // 60 repaints a second, caught; none while paused, which shows the last picture before it.
  EXPECT_GE(movie.changesBetween(0, 1), 30);
  EXPECT_GE(movie.changesBetween(pausedTo, pausedTo + 1), 30);
  for (const Picture& p : movie.pictures) {
    if (p.pts == pausedFrom) frozen = &p;
    if (frozen && p.pts > pausedFrom && p.pts < pausedTo)
      EXPECT_LE(distance(p.probes[0], frozen->probes[0]), kColourTolerance) << "paused picture at " << p.pts;
  }
  auto elapsed = agent->values("elapsed", "seconds");
  EXPECT_GE(elapsed.size(), 2u);
  EXPECT_TRUE(std::is_sorted(elapsed.begin(), elapsed.end()));
  EXPECT_LE(elapsed.back(), v.duration - (pausedTo - pausedFrom) + 0.15) << "the pause was counted";
  // The level is the microphone's alone, while paused too.
  auto levels = agent->values("micLevel", "value");
  ASSERT_GT(levels.size(), 20u);
  std::nth_element(levels.begin(), levels.begin() + levels.size() / 2, levels.end());
  EXPECT_NEAR(levels[levels.size() / 2], kLevel, 0.03);

  // The sound is placed by its sample count alone, so a source that started
  // late shifts it a little against the picture; its pause is read from it.
  DecodedAudio audio = decodeAudio(path);
  EXPECT_EQ(audio.codec, "aac");
  EXPECT_GE(audio.seconds(), v.duration - 0.5);
  EXPECT_LE(audio.seconds(), v.duration + 0.2);
  auto [quietFrom, quietTo] = longestQuiet(audio.samples, audio.sampleRate, 0.003);
  EXPECT_GE(quietTo - quietFrom, pausedTo - pausedFrom - 0.1) << "sound while paused";
  EXPECT_NEAR(quietFrom, pausedFrom, 0.4) << "the sound paused apart from the picture";
  for (auto [from, to] : {std::pair{0.3, quietFrom - 0.3}, {quietTo + 0.3, audio.seconds() - 0.3}}) {
    EXPECT_NEAR(toneLevel(audio.samples, audio.sampleRate, 440, from, to), kLevel, kLevel * 0.35) << from << "-" << to;
    EXPECT_NEAR(toneLevel(audio.samples, audio.sampleRate, 1000, from, to), kLevel, kLevel * 0.35) << from << "-" << to;
  }
}

// A window smaller than the frame: at its size, centred, black around, its
// own pixels where another window covers it; screenshots of the window
// alone, twice at one time while paused, and of the last frame once it
// closed; the take still stops at once after the close.
TEST_F(SystemTake, WindowPausedAndClosedWithScreenshots) {
  const int ww = 640, wh = 360, left = (kWidth - ww) / 2, top = (kHeight - wh) / 2;
  uint32_t w = windows_->create({.x = 50, .y = 60, .width = ww, .height = wh, .color = kPalette[0],
                                 .netWmName = "moving", .wmClass = "Painter"});
  windows_->create({.x = 30, .y = 40, .width = 300, .height = 200, .color = 0x603050});  // covers a corner
  auto painter = paint(w);
  auto agent = this->agent();
  auto path = dir_ / "nested" / "deeper" / "window.mp4";  // missing folders are made
  auto recording = agent->start("window-" + std::to_string(w), path, false);
  ASSERT_TRUE(recording);
  agent->watch(600ms);
  auto still = screenshot(*agent);
  ASSERT_TRUE(still);
  EXPECT_EQ(still->width, ww);
  EXPECT_EQ(still->height, wh);
  EXPECT_TRUE(isPaletteColour(rgbOf(still->mean(0, 0, 250, 160)))) << "the covered corner";

  agent->send(json{{"type", "pause"}});
  ASSERT_TRUE(agent->waitForStatus("paused"));
  double t1 = 0, t2 = 0;
  ASSERT_TRUE(screenshot(*agent, &t1));
  agent->watch(300ms);
  ASSERT_TRUE(screenshot(*agent, &t2));
  EXPECT_EQ(t1, t2);
  auto resumeSent = agent->send(json{{"type", "resume"}});
  ASSERT_TRUE(agent->waitForStatus("recording"));
  agent->watch(700ms);
  painter.reset();
  windows_->destroy(w);
  auto closedAt = Clock::now();
  agent->watch(500ms);
  // The window is gone: the stream's last frame answers, the window centred in it.
  auto frame = screenshot(*agent);
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->width, kWidth);
  EXPECT_EQ(frame->height, kHeight);
  EXPECT_TRUE(isPaletteColour(rgbOf(frame->mean(left + 20, top + 20, ww - 40, wh - 40))));
  EXPECT_LE(distance(rgbOf(frame->mean(20, 20, 200, 200)), kBlack), kColourTolerance);
  auto stopSent = Clock::now();
  auto finished = agent->stop();
  ASSERT_TRUE(finished);
  EXPECT_EQ(finished->body.value("videoPath", ""), path.string());
  // The output reported; the recorder did not give up on it after its 8 s.
  EXPECT_LT(secondsBetween(stopSent, finished->at), 4.0);
  EXPECT_TRUE(screenshot(*agent)) << "after the stop";
  EXPECT_TRUE(agent->finish().exitedWith(0));

  const std::vector<std::pair<int, int>> content = {{left + ww / 2, top + wh / 2}, {left + 6, top + 6},
      {left + ww - 7, top + wh - 7}, {left + 6, top + wh - 7}, {left + ww - 7, top + 6}, {left + 100, top + 80}};
  const std::vector<std::pair<int, int>> around = {{left - 8, top + wh / 2}, {left + ww + 8, top + wh / 2},
      {left + ww / 2, top - 8}, {left + ww / 2, top + wh + 8}, {8, 8}, {kWidth - 9, kHeight - 9}};
  std::vector<std::pair<int, int>> probes = content;
  probes.insert(probes.end(), around.begin(), around.end());
  Movie movie = readMovie(path, probes);
  EXPECT_EQ(movie.facts.video().width, kWidth);
  EXPECT_NEAR(movie.facts.video().duration, secondsBetween(recording->at, stopSent), 0.25);
  for (const Picture& p : movie.pictures) {
    for (size_t k = 0; k < content.size(); ++k) {
      EXPECT_TRUE(isPaletteColour(p.probes[k])) << "picture at " << p.pts << ", content probe " << k;
      EXPECT_LE(distance(p.probes[k], p.probes[0]), kColourTolerance) << "picture at " << p.pts << ", probe " << k;
    }
    for (size_t k = content.size(); k < probes.size(); ++k)
      EXPECT_LE(distance(p.probes[k], kBlack), kColourTolerance) << "picture at " << p.pts << ", around probe " << k;
  }
  double resumed = secondsBetween(recording->at, resumeSent), closed = secondsBetween(recording->at, closedAt);
  EXPECT_GE(movie.changesBetween(resumed, closed), 20);
  EXPECT_EQ(movie.changesBetween(closed + 0.1, 1e9), 0);
}

// A paused take with sound restarted (unpaused, timed from 0, nothing of the
// old take kept) and then discarded (nothing kept, nothing reported after).
// Its movie is named .caf and a file of someone else's is where the sound
// would go next: the sound file takes another name and neither is touched.
TEST_F(SystemTake, RestartAndDiscardWithSound) {
  VANTOR_REQUIRE_SOUND_SERVER();
  const int wx = 400, wy = 300, ww = 320, wh = 240;
  uint32_t w = windows_->create({.x = wx, .y = wy, .width = ww, .height = wh, .color = kPalette[0]});
  std::ofstream(dir_ / "take-1.caf") << "someone's song";
  auto agent = this->agent();
  auto path = dir_ / "take.caf";
  ASSERT_TRUE(agent->start("", path, true));
  agent->watch(1000ms);
  EXPECT_TRUE(std::filesystem::exists(dir_ / "take-2.caf")) << "the sound file";
  agent->send(json{{"type", "pause"}});
  ASSERT_TRUE(agent->waitForStatus("paused"));
  agent->send(json{{"type", "restart"}});
  ASSERT_TRUE(agent->waitForStatus("restarting"));
  windows_->fill(w, kPalette[2]);
  auto restarted = agent->waitForStatus("recording");
  ASSERT_TRUE(restarted);
  agent->send(json{{"type", "resume"}});
  EXPECT_EQ(nextError(*agent), "not paused");
  agent->watch(800ms);
  // A still of the whole display; its time counts from the restart.
  double at = 0;
  auto still = screenshot(*agent, &at);
  ASSERT_TRUE(still);
  EXPECT_EQ(still->width, kWidth);
  EXPECT_EQ(still->height, kHeight);
  EXPECT_LE(distance(rgbOf(still->mean(wx + 20, wy + 20, ww - 40, wh - 40)), kPalette[2]), kColourTolerance);
  EXPECT_LE(distance(rgbOf(still->mean(wx + ww + 20, wy, 40, 40)), kBlack), kColourTolerance);
  EXPECT_GT(at, 0.7);
  EXPECT_LT(at, secondsBetween(restarted->at, Clock::now()) + 0.3) << "time from before the restart counted";
  auto finished = agent->stop();
  ASSERT_TRUE(finished);
  EXPECT_EQ(finished->body.value("videoPath", ""), path.string());
  EXPECT_EQ(filesLeft(), (std::vector<std::string>{"take-1.caf", "take.caf"}));
  std::ifstream song(dir_ / "take-1.caf");
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(song), {}), "someone's song");
  Movie movie = readMovie(path, {{wx + ww / 2, wy + wh / 2}});
  // Nothing from before the restart, but for the repaint on its way.
  for (const Picture& p : movie.pictures)
    if (p.pts > 0.1) EXPECT_LE(distance(p.probes[0], kPalette[2]), kColourTolerance) << "picture at " << p.pts;
  // Sound from before the restart would make it longer; it may start a little after the picture.
  EXPECT_LE(movie.facts.audio().decodedSeconds(), movie.facts.video().duration + 0.2);
  EXPECT_GE(movie.facts.audio().decodedSeconds(), movie.facts.video().duration - 0.5);

  ASSERT_TRUE(agent->start("", dir_ / "discarded.mp4", true));
  agent->watch(500ms);
  agent->send(json{{"type", "discard"}});
  ASSERT_TRUE(agent->waitForStatus("discarding"));
  ASSERT_TRUE(agent->waitForStatus("discarded", 5s));
  size_t events = agent->events().size();
  agent->watch(1200ms);
  EXPECT_EQ(agent->events().size(), events) << "reports after the discard: " << agent->events().back().body.dump();
  EXPECT_EQ(filesLeft(), (std::vector<std::string>{"take-1.caf", "take.caf"}));
  agent->send(json{{"type", "stop"}});
  EXPECT_EQ(nextError(*agent), "not recording");
  EXPECT_TRUE(agent->finish().exitedWith(0));
}

// Kilobytes in a /proc/<pid>/status field such as "VmRSS:"; -1 when missing.
long statusKb(pid_t pid, const std::string& field) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);)
    if (line.starts_with(field)) return std::atol(line.c_str() + field.size());
  return -1;
}

// Garbage far faster than it can be handled: the agent reads only as far
// ahead as its queue holds, so its memory stays put, and every line is still
// handled in order. (The screen stands still meanwhile: moving content grows
// the encoder's buffers for a while, flood or not.) Then the window moves
// and the agent gets SIGKILL: the movie reads to within about a second of
// the kill.
TEST_F(SystemTake, FloodedThenKilled) {
  const int wx = 200, wy = 200, ww = 320, wh = 240;
  uint32_t w = windows_->create({.x = wx, .y = wy, .width = ww, .height = wh, .color = kPalette[0]});
  auto agent = this->agent();
  auto path = dir_ / "killed.mp4";
  auto recording = agent->start("", path, false);
  ASSERT_TRUE(recording);
  ASSERT_TRUE(screenshot(*agent));  // the buffers of stills are kept from the first one on
  // Writing 5 to clear_refs sets the peak (VmHWM) back to the current size.
  bool peakReset = bool(std::ofstream("/proc/" + std::to_string(agent->pid()) + "/clear_refs") << "5" << std::flush);
  long before = statusKb(agent->pid(), peakReset ? "VmRSS:" : "VmHWM:");
  constexpr int kLines = 300'000;
  std::string flood;
  flood.reserve(kLines * 220);
  for (int i = 0; i < kLines; ++i) flood += "flood " + std::to_string(i) + " " + std::string(200, 'x') + "\n";
  agent->send(flood + R"({"type":"screenshot"})");
  ASSERT_TRUE(agent->waitForType("screenshotData", 60s)) << "the screenshot behind the flood was not answered";
  long peak = statusKb(agent->pid(), "VmHWM:");
  ASSERT_GT(before, 0);
#ifndef __SANITIZE_ADDRESS__  // its quarantine keeps freed memory: the size says nothing then
  EXPECT_LT(peak - before, 32 * 1024) << "kB more at the peak";
#endif

  double painted = secondsBetween(recording->at, Clock::now());
  auto painter = paint(w);
  agent->watch(2s);
  ASSERT_EQ(::kill(agent->pid(), SIGKILL), 0);
  double killed = secondsBetween(recording->at, Clock::now());
  ProcessResult ended = agent->process().waitForExit();
  EXPECT_EQ(ended.signal(), SIGKILL) << ended.describeEnd();
  // Each line logged once, in the order written.
  const std::string_view prefix = "[ERROR] vantor: malformed JSON: flood ";
  int next = 0;
  for (size_t at = ended.err.find(prefix); at != std::string::npos; at = ended.err.find(prefix, at + 1), ++next)
    ASSERT_EQ(std::atoi(ended.err.c_str() + at + prefix.size()), next);
  EXPECT_EQ(next, kLines);

  painter->stop();
  Movie movie = readMovie(path, {{wx + ww / 2, wy + wh / 2}});  // throws unless it reads to its end
  EXPECT_EQ(movie.facts.video().codec, "h264");
  EXPECT_GE(movie.facts.video().lastPts, killed - 1.25);
  // The take's pictures: the window standing still, then changing.
  for (const Picture& p : movie.pictures) {
    if (p.pts < painted - 0.3) EXPECT_LE(distance(p.probes[0], kPalette[0]), kColourTolerance) << "picture at " << p.pts;
    EXPECT_TRUE(isPaletteColour(p.probes[0])) << "picture at " << p.pts;
  }
  EXPECT_GE(movie.changesBetween(painted, killed), 20);
}

INSTANTIATE_TEST_SUITE_P(, EveryScreenTake, ::testing::Values("x11", "wayland"),
                         [](const auto& info) { return info.param; });

}  // namespace
}  // namespace vantor::test
