// The controller on the simulated platform, driven by command lines as the
// command loop drives it: what the host is told for each sequence of
// commands and faults, what a take leaves running, the elapsed time across
// pauses and restarts, the level, how a signal ends the loop, and which
// image answers a screenshot. The log lines of what is not a command and the
// exit line are also checked on the real binary (process/).

#include <gtest/gtest.h>

#include <asio/co_spawn.hpp>
#include <fstream>

#include "support/controller_fixture.h"
#include "support/screenshot_probe.h"

namespace vantor {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using platform::sim::SimScreenCapture;
// A status or an error event, short for the table.
json S(const char* phase) { return {{"type", "status"}, {"phase", phase}}; }
json E(const std::string& message) { return {{"type", "error"}, {"message", message}}; }

using Step = std::function<void(test::ControllerFixture&)>;
Step line(std::string l) {
  return [l](auto& f) { f.send(l); };
}
Step cmd(const char* type) { return line(json{{"type", type}}.dump()); }
Step start(std::string target = "", bool mic = false) { return line(test::startLine(std::move(target), mic)); }
const json kNotRecording = E("not recording");
const json kShot = {{"type", "screenshotData"}};
const json kFinished = {{"type", "finished"}, {"videoPath", (test::scratchDir() / "take.mp4").string()}};
const Error kDiskFull("Vantor.Media", 5, "cannot write take: No space left on device");
json takeFailed(const char* part) {
  return {{"type", "takeFailed"}, {"part", part}, {"message", kDiskFull.description()}};
}
// Protocol 2: an event answering the command of `id`.
json with(json event, json id) { return event["id"] = std::move(id), event; }
Step hello(json id = 1, json protocol = 2) { return line(json{{"type", "hello"}, {"protocol", protocol}, {"id", id}}.dump()); }
const json kHello = json::parse(R"({"type":"hello","protocol":2,"version":"0.0.0","platform":"x11","id":1,
  "capabilities":{"systemAudio":true,"windowCapture":true,"screenshots":true},
  "startOptions":{"frameRate":{"minimum":1,"maximum":120,"default":60},
    "size":{"values":["standard","native"],"default":"standard"},"showCursor":{"default":true},
    "microphone":{"default":"includeMic"},"systemAudio":{"default":"includeMic"},
    "quality":{"values":["low","standard","high"],"default":"standard"}}})");
json finished2(json id) {
  json finished = with(kFinished, std::move(id));
  return finished.update({{"duration", 3}, {"hasSound", false}}), finished;
}
// A start with protocol 2's `options`, answered as command `id`.
Step startWith(json options, json id, std::string target = "") {
  json command = json::parse(test::startLine(std::move(target)));
  if (options.is_object()) command.update(options);
  command["id"] = std::move(id);
  return line(command.dump());
}
std::string invalid(const char* member, const char* allowed) {
  return std::string("invalid start option: \"") + member + "\" must be " + allowed;
}
// What the last take's stream and output were asked for.
Step takeIs(int width, int height, std::chrono::nanoseconds interval, bool cursor, platform::VideoQuality quality) {
  return [=](auto& f) {
    auto& config = f.sim.capture.lastStream()->configuration();
    EXPECT_EQ(std::tuple(config.width, config.height, config.minimumFrameInterval, config.showsCursor),
              std::tuple(width, height, interval, cursor));
    EXPECT_EQ(f.sim.media.outputs().back()->config.quality, quality);
  };
}
Step sources(bool mic, bool system) {
  return [=](auto& f) { EXPECT_EQ(std::pair(f.sim.microphone.running(), f.sim.systemAudio.deviceRunning()), std::pair(mic, system)); };
}

struct Case {
  const char* name;
  std::vector<Step> steps;
  std::vector<json> told;
  std::vector<std::string> logged = {};  // among the log lines
  bool before = false;  // fails before a take begins: a movie already at the path is left alone
};
void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

Step fault(std::function<void(test::SimPlatform&)> f) {
  return [f](auto& fixture) { f(fixture.sim); };
}
const Error kGone("Vantor.X11", 2, "cannot connect to X server :5");
const Step kStop = cmd("stop"), kPause = cmd("pause"), kResume = cmd("resume"), kRestart = cmd("restart"),
           kShoot = cmd("screenshot"), kPlay = [](auto& f) { f.playSound(); };
// Both files gone, nothing combined, and the time back to 0 for screenshots.
const Step kDiscarded = [](auto& f) {
  EXPECT_FALSE(std::filesystem::exists(f.video) || std::filesystem::exists(f.audio));
  EXPECT_TRUE(f.sim.media.exports().empty());
  f.onMain([&] { EXPECT_EQ(f.state->elapsedSeconds(), 0); });
};
// The fault, then the loop runs until its "takeFailed" is told: a report
// handed over from another thread comes when it comes on a busy machine.
Step failsMidTake(std::function<void(test::SimPlatform&)> f) {
  return [f](auto& fixture) {
    f(fixture.sim);
    for (int i = 0; i < 100 && fixture.eventsOfType("takeFailed").empty(); ++i) fixture.playSound();
  };
}

const Case kCases[] = {
    {"Idle",
     {kStop, kPause, kResume, kRestart, cmd("discard"), kShoot, line("not json"), line(R"({"type":"Stop"})")},
     {kNotRecording, kNotRecording, kNotRecording, kNotRecording, kNotRecording,
      E("screenshot: no active capture target")},
     {"[ERROR] vantor: malformed JSON: not json", "[INFO] vantor: unknown command type 'Stop'"}},
    {"MalformedStart", {line(R"({"type":"start"})")}, {E("malformed start command")}},
    {"TakeWithPauses",
     {start(), start(), kPause, kPause, kShoot, kResume, kResume, kStop, kStop},
     {S("starting"), S("recording"), E("already recording"), S("paused"), E("already paused"), kShot, S("recording"),
      E("not paused"), S("stopping"), kFinished, kNotRecording}},
    {"NoDisplaysOrNoneReadable",
     {fault([](auto& s) { s.capture.displays.clear(); }), start(), kShoot,
      fault([](auto& s) { s.capture.contentQueryFailure = kGone; }), start("main")},
     {S("starting"), E("No displays found"), E("screenshot: no active capture target"), S("starting"),
      E("Failed to resolve capture target: " + kGone.description())}},
    // The target is kept for screenshots, though none can be had of a window that is not there.
    {"NoSuchWindow",
     {start("window-42", true), kStop, kShoot},
     {S("starting"), E("recorder.start failed: Capture target not found"), kNotRecording,
      E("screenshot: failed to capture JPEG")},
     {},
     true},
    {"MovieCannotBeCreated",
     {fault([](auto& s) { s.media.outputCreationFailure = Error("Vantor.Media", 4, "cannot create take.mp4: EROFS"); }),
      start("", true)},
     {S("starting"), E("recorder.start failed: cannot create take.mp4: EROFS")}},
    {"CaptureOrItsOutputCannotStart",
     {fault([](auto& s) { s.capture.captureStartFailure = Error("Vantor.X11", 7, "grab refused"); }), start("", true),
      fault([](auto& s) {
        s.capture.captureStartFailure.reset();
        s.capture.addOutputFailure = Error("Vantor.X11", 8, "no output");
      }),
      start()},
     {S("starting"), E("recorder.start failed: grab refused"), S("starting"), E("recorder.start failed: no output")}},
    // A restart starts the new take unpaused.
    {"RestartWhilePaused",
     {start("", true), kPause, kRestart, kResume, kPause, kStop},
     {S("starting"), S("recording"), S("paused"), S("restarting"), S("recording"), E("not paused"), S("paused"),
      S("stopping"), kFinished}},
    // A restart that cannot start again leaves the agent idle, ready for a new start.
    {"RestartOfAClosedWindow",
     {fault([](auto& s) { s.capture.windows = {SimScreenCapture::window(42, "Notes", "Editor")}; }),
      start("window-42", true), fault([](auto& s) { s.capture.windows.clear(); }), kRestart, kRestart, kPause, start()},
     {S("starting"), S("recording"), S("restarting"), E("recorder.start (restart) failed: Capture target not found"),
      kNotRecording, kNotRecording, S("starting"), S("recording")}},
    {"RestartWithoutDisplaysOrNoneReadable",
     {start("main"), fault([](auto& s) { s.capture.contentQueryFailure = kGone; }), kRestart,
      fault([](auto& s) { s.capture.contentQueryFailure.reset(); }), start(),
      fault([](auto& s) { s.capture.displays.clear(); }), kRestart},
     {S("starting"), S("recording"), S("restarting"),
      E("Failed to resolve capture target for restart: " + kGone.description()), S("starting"), S("recording"),
      S("restarting"), E("No displays found for restart")}},
    // Discard forgets the command but keeps the target for screenshots.
    {"Discard",
     {start("", true), kPlay, kPause, cmd("discard"), kDiscarded, kStop, kRestart, cmd("discard"), kShoot},
     {S("starting"), S("recording"), S("paused"), S("discarding"), S("discarded"), kNotRecording, kNotRecording,
      kNotRecording, kShot}},
    {"StreamWillNotStop",
     {[](auto& f) { f.sim.capabilities.recordingOutput = false, f.renew(); }, start(),
      fault([](auto& s) { s.capture.captureStopFailure = Error("Vantor.X11", 3, "connection lost"); }), kStop, kStop},
     {S("starting"), S("recording"), S("stopping"), E("recorder.stop failed: connection lost"), kNotRecording}},
    // Faults mid-take: told at once, and stop answers for what was kept.
    {"VideoFailsAndWhatWasWrittenPlays",
     {start(), failsMidTake([](auto& s) { s.media.outputs().back()->failWhileRecording(kDiskFull, true); }), kStop},
     {S("starting"), S("recording"), takeFailed("video"), S("stopping"), kFinished}},
    {"VideoFailsAndNothingPlays",
     {start("", true), kPlay,
      failsMidTake([](auto& s) { s.media.outputs().back()->failWhileRecording(kDiskFull, false); }), kStop},
     {S("starting"), S("recording"), takeFailed("video"), S("stopping"),
      E("recorder.stop failed: " + kDiskFull.description())}},
    {"SoundFails",
     {start("", true), kPlay, failsMidTake([](auto& s) {
        std::lock_guard lock(s.media.audioWriters().back()->mutex);
        s.media.audioWriters().back()->writeFailure = kDiskFull;
      }),
      kStop},
     {S("starting"), S("recording"), takeFailed("sound"), S("stopping"), kFinished}},
    // Protocol 1 is what it was: options and ids are ignored, a hello comes only first.
    {"Protocol1IgnoresOptionsAndIds",
     {startWith({{"frameRate", 0}, {"showCursor", "no"}, {"microphone", true}}, 5),
      takeIs(1920, 1080, 16666666ns, true, platform::VideoQuality::standard), sources(false, false),
      line(R"({"type":"stop","id":6})"), hello(7), line("not json"), line(R"({"type":"Stop","id":8})")},
     {S("starting"), S("recording"), S("stopping"), kFinished, E("hello: must be the first command")},
     {"[ERROR] vantor: malformed JSON: not json", "[INFO] vantor: unknown command type 'Stop'"}},
    // A refused hello changes nothing, so the host may ask again.
    {"Protocol2AnswersEveryCommandByItsId",
     {hello("h", 3), hello(), startWith({}, "a"), kShoot, line(R"({"type":"screenshot","id":-2.5})"),
      line(R"({"type":"stop","id":18446744073709551615})"), hello(9)},
     {E("hello: unsupported protocol (this agent offers protocol 2)"), kHello, with(S("starting"), "a"),
      with(S("recording"), "a"), kShot, with(kShot, -2.5), with(S("stopping"), 18446744073709551615u),
      finished2(18446744073709551615u), with(E("hello: must be the first command"), 9)}},
    {"Protocol2AnswersWhatIsNoCommand",
     {hello(), line("not json"), line(R"({"id":"k","type":"stop",)"), line(R"({"id":4})"),
      line(R"({"type":"Stop","id":"x"})"), line(R"({"type":"stop","id":{"n":1}})"), line(R"({"type":"start","id":5})")},
     {kHello, E("malformed JSON"), with(E("malformed JSON"), "k"), with(E(R"(malformed command: no string "type")"), 4),
      with(E("unknown command type 'Stop'"), "x"), E(R"(invalid "id": must be a string or a number)"),
      with(E("malformed start command"), 5)},
     {"[ERROR] vantor: malformed JSON: not json", "[INFO] vantor: unknown command type 'Stop'"}},
    {"Protocol2StartOptionsAreCheckedAndNamed",
     {hello(), startWith({{"frameRate", 0.5}}, 1), startWith({{"frameRate", 121}}, 2), startWith({{"frameRate", "60"}}, 3),
      startWith({{"size", "big"}}, 4), startWith({{"showCursor", nullptr}}, 5), startWith({{"systemAudio", 1}}, 6),
      startWith({{"quality", "best"}}, 7)},
     {kHello, with(E(invalid("frameRate", "a number from 1 to 120")), 1),
      with(E(invalid("frameRate", "a number from 1 to 120")), 2), with(E(invalid("frameRate", "a number from 1 to 120")), 3),
      with(E(invalid("size", R"("standard" or "native")")), 4), with(E(invalid("showCursor", "true or false")), 5),
      with(E(invalid("systemAudio", "true or false")), 6),
      with(E(invalid("quality", R"("low", "standard" or "high")")), 7)}},
    // Each option reaches the take; a window's own size is rounded up to even sides.
    {"Protocol2StartOptionsShapeTheTake",
     {fault([](auto& s) { s.capture.windows = {SimScreenCapture::window(42, "Notes", "Editor")}, s.capture.windows[0].width = 641; }),
      hello(), startWith({{"frameRate", 12.5}, {"size", "native"}, {"showCursor", false}, {"systemAudio", false},
                          {"includeMic", true}, {"quality", "high"}}, 1, "window-42"),
      takeIs(642, 360, 80ms, false, platform::VideoQuality::high), sources(true, false), cmd("discard"),
      startWith({{"microphone", false}, {"systemAudio", true}, {"quality", "low"}}, 2),
      takeIs(1920, 1080, 16666666ns, true, platform::VideoQuality::low), sources(false, true)},
     {kHello, with(S("starting"), 1), with(S("recording"), 1), S("discarding"), S("discarded"), with(S("starting"), 2),
      with(S("recording"), 2)}},
};

class Commands : public test::ControllerFixture, public ::testing::WithParamInterface<Case> {};

TEST_P(Commands, AreAnsweredExactlyAndLeaveNothingOfATakeRunning) {
  if (GetParam().before) std::ofstream(video) << "an older movie";
  for (const Step& step : GetParam().steps) step(*this);
  EXPECT_EQ(told(), GetParam().told);
  if (GetParam().before) EXPECT_TRUE(std::filesystem::exists(video)) << "a failed start removed an older movie";
  for (auto& l : GetParam().logged) EXPECT_TRUE(logged(l)) << l;
  if (state->isRecording()) test::runOn(main, state->stop());
  for (auto& stream : sim.capture.streams()) EXPECT_FALSE(stream->isCapturing());
  EXPECT_FALSE(sim.microphone.running());
  EXPECT_FALSE(sim.systemAudio.deviceRunning());
  for (auto& writer : sim.media.audioWriters()) EXPECT_TRUE(writer->finished);
}

INSTANTIATE_TEST_SUITE_P(Sequences, Commands, ::testing::ValuesIn(kCases), [](const auto& i) { return i.param.name; });

class Controller : public test::ControllerFixture {};

// Bounds that hold however late the machine runs: the recorded time is at
// least the time the test let pass unpaused, and at most the time since the
// start less the spans the test saw paused.
using Clock = std::chrono::steady_clock;
double secondsSince(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

TEST_F(Controller, ElapsedTimeStandsStillWhilePausedAndAddsUpOverPauses) {
  auto sent = Clock::now();
  start();
  double atPause = 0, duringPause = 0, total = 0, seenPaused = 0;
  for (int cycle = 0; cycle < 2; ++cycle) {
    wait(50ms);
    Clock::time_point pausedAt;
    onMain([&] {
      state->pause();
      pausedAt = Clock::now();
      atPause = state->elapsedSeconds();
    });
    wait(200ms);
    onMain([&] {
      duringPause = state->elapsedSeconds();
      seenPaused += secondsSince(pausedAt);
      state->resume();
    });
    EXPECT_EQ(duringPause, atPause);  // exactly: two screenshots in one pause carry one timestamp
  }
  wait(50ms);
  onMain([&] { total = state->elapsedSeconds(); });
  EXPECT_GE(total, 0.15);
  EXPECT_LE(total, secondsSince(sent) - seenPaused);
}

TEST_F(Controller, RestartOfAPausedTakeWithSoundStartsAFreshOneInPlaceWithTheTimersRunningOn) {
  auto sent = Clock::now();
  start(true);
  std::ofstream(video) << "old take";
  playSound();
  wait(1100ms);
  auto elapsed = eventsOfType("elapsed");  // every second from the start
  ASSERT_FALSE(elapsed.empty());
  EXPECT_GE(elapsed[0]["seconds"].get<double>(), 1.0);
  EXPECT_LE(elapsed[0]["seconds"].get<double>(), secondsSince(sent));
  send(R"({"type":"pause"})");
  out.clear();
  auto restartSent = Clock::now();
  send(R"({"type":"restart"})");
  // The old video went with the old stream; the new take's sound file is at the same place.
  EXPECT_EQ(std::filesystem::file_size(video), 0u);
  ASSERT_EQ(sim.capture.streams().size(), 1u);
  EXPECT_EQ(state->audioFileURL(), audio.string());
  ASSERT_EQ(sim.media.audioWriters().size(), 2u);
  EXPECT_TRUE(sim.microphone.running());
  EXPECT_TRUE(sim.systemAudio.deviceRunning());
  wait(1100ms);
  EXPECT_FALSE(eventsOfType("elapsed").empty()) << "the timers stopped at the restart";
  onMain([&] {  // counted from the restart, unpaused
    EXPECT_GE(state->elapsedSeconds(), 1.1);
    EXPECT_LE(state->elapsedSeconds(), secondsSince(restartSent));
  });
  // A restart that cannot start again stops the timers; neither restart combined anything.
  sim.capture.displays.clear();
  send(R"({"type":"restart"})");
  EXPECT_TRUE(sim.media.exports().empty());
  out.clear();
  wait(1100ms);
  EXPECT_TRUE(eventsOfType("micLevel").empty());
  EXPECT_TRUE(eventsOfType("elapsed").empty()) << "the timers outlived the take";
}

// A signal to end lets the command in hand finish, stops the take it left
// running as "stop" does, and runs none of the lines queued behind it. An
// idle agent's quiet end is seen whole on the real binary (process/).
TEST_F(Controller, ASignalToEndWaitsForTheCommandInHandThenStopsTheTakeAndRunsNothingElse) {
  // Runs the loop over `queue` until it ends, calling finish() once `finishWhen` answers true.
  auto run = [&](app::LineQueue& queue, std::function<bool()> finishWhen) {
    app::CommandLoop loop(queue, *state, *protocol);
    bool ended = false, finished = false;
    asio::co_spawn(main.context(), loop.run(), [&](std::exception_ptr e) { ended = !e; });
    main.runUntil([&] {
      if (!finished && finishWhen()) finished = true, loop.finish();
      return ended;
    });
  };
  app::LineQueue queue;
  for (std::string l : {test::startLine(), std::string(R"({"type":"screenshot"})"), std::string(R"({"type":"stop"})")})
    queue.push(l);
  std::vector<json> whenFinishCame;
  run(queue, [&] { return !out.eventLines().empty() && (whenFinishCame = out.events(), true); });
  EXPECT_EQ(whenFinishCame, std::vector<json>{S("starting")}) << "finish did not come mid-start";
  EXPECT_EQ(out.events(), (std::vector<json>{S("starting"), S("recording"), S("stopping"), kFinished}));
  EXPECT_FALSE(state->isRecording());
}

TEST_F(Controller, TheLevelIsTheRmsOfTheSamplesSinceTheLastTick) {
  EXPECT_EQ(CaptureState::micLevel(std::vector<int16_t>(160, 0)), 0.0);
  EXPECT_EQ(CaptureState::micLevel(std::vector<int16_t>(160, -32768)), 1.0);
  EXPECT_EQ(CaptureState::micLevel(std::vector<int16_t>(160, 16384)), 0.5);
  EXPECT_DOUBLE_EQ(CaptureState::micLevel({3, -4, 3, -4}), std::sqrt(12.5) / 32768);
  start();
  wait(250ms);
  EXPECT_TRUE(eventsOfType("micLevel").empty());  // no microphone, no level
  state->appendMicSamples(std::vector<int16_t>(1600, 16384));
  for (int i = 0; i < 40 && eventsOfType("micLevel").empty(); ++i) wait(50ms);
  wait(250ms);  // more ticks, no new samples
  auto levels = eventsOfType("micLevel");
  ASSERT_EQ(levels.size(), 1u);
  EXPECT_DOUBLE_EQ(levels[0]["value"].get<double>(), 0.5);
}

// A display whose size is not the stream's, so each answer shows where it came from.
class Screenshots : public test::ControllerFixture {
 protected:
  Screenshots() {
    sim.capture.displays = {SimScreenCapture::display(7, 1280, 720)};
    sim.capture.windows = {SimScreenCapture::window(42, "Notes", "Editor")};
    renew();
  }
  // The size of the one decoded image since the last, or 0×0 after the failure's event.
  std::pair<int, int> shot() {
    out.clear();
    send(R"({"type":"screenshot"})");
    auto answers = eventsOfType("screenshotData");
    if (answers.empty()) {
      EXPECT_EQ(eventsOfType("error"), std::vector<json>{E("screenshot: failed to capture JPEG")});
      return {0, 0};
    }
    EXPECT_EQ(answers.size(), 1u);
    timestamp = answers[0]["timestamp"];
    auto bytes = test::base64Decode(answers[0]["imageBase64"].get<std::string>());
    auto image = bytes ? test::decodeJpeg(*bytes) : std::nullopt;
    EXPECT_TRUE(image) << "not a JPEG in Base64";
    return image ? std::pair{image->width, image->height} : std::pair{-1, -1};
  }
  void emitFrames(int n) {
    for (int i = 0; i < n; ++i) sim.capture.lastStream()->emitFrame();
    wait(20ms);
  }
  double timestamp = -1;
};

TEST_F(Screenshots, AStillAtTheTargetsSizeElseTheLatestFrameOfTheTake) {
  start(false, "window-42");
  sim.capture.screenshotFailure = Error("Vantor.X11", 4, "BadMatch");
  EXPECT_EQ(shot(), std::pair(0, 0));  // no still, no frame yet
  for (auto& l : out.logLines()) EXPECT_EQ(l.find("screenshot"), l.npos) << l;
  emitFrames(3);
  EXPECT_EQ(shot(), std::pair(1920, 1080));  // the stream's frame
  sim.capture.screenshotFailure.reset();
  EXPECT_EQ(shot(), std::pair(640, 360));  // the window's own size
  sim.capture.windows.clear();
  EXPECT_EQ(shot(), std::pair(1920, 1080));  // the window closed: its last frame
  send(R"({"type":"stop"})");
  sim.capture.windows = {SimScreenCapture::window(42, "Notes", "Editor")};
  EXPECT_EQ(shot(), std::pair(640, 360));  // after the stop, while the target is known
  auto sent = Clock::now();
  send(test::startLine());
  EXPECT_EQ(shot(), std::pair(1280, 720));
  EXPECT_LE(timestamp, secondsSince(sent));
  wait(50ms);
  send(R"({"type":"pause"})");
  double first = (shot(), timestamp);
  wait(30ms);
  shot();
  EXPECT_EQ(timestamp, first);  // the recorded time, which stands still in a pause
  EXPECT_GT(first, 0.04);
}

}  // namespace
}  // namespace vantor
