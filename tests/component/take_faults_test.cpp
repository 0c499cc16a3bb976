// What the host is told when part of a take fails, on the simulated
// platform: each fault is answered truthfully, the take is let go whatever
// failed, and the agent can start again.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "support/controller_fixture.h"

namespace vantor {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using platform::MediaTime;
using platform::sim::SimAssetFile;
using platform::sim::Tone;
using test::errorEvent;
using test::statusEvent;

class TakeFaultsTest : public test::ControllerFixture {
 protected:
  TakeFaultsTest() : ControllerFixture("faults") {
    sim.media.assetFiles[video] = SimAssetFile{1, 0, MediaTime{3, 1}};
    sim.media.assetFiles[audio] = SimAssetFile{0, 1, MediaTime{48000, 16000}};
  }

  void start(bool withSound) { ControllerFixture::start({"", withSound, video.string(), ""}); }
  // The events that answer or report, without the meters.
  std::vector<json> told() const {
    std::vector<json> found;
    for (auto& e : out.events())
      if (e["type"] != "micLevel" && e["type"] != "elapsed") found.push_back(e);
    return found;
  }
  // Nothing of the take is left running, and a new take starts.
  void expectReleasedAndUsable() {
    EXPECT_FALSE(state.isRecording());
    for (auto& stream : sim.capture.streams()) EXPECT_FALSE(stream->isCapturing());
    EXPECT_FALSE(sim.microphone.running());
    EXPECT_FALSE(sim.systemAudio.deviceRunning());
    for (auto& writer : sim.media.audioWriters()) EXPECT_TRUE(writer->finished);
    out.clear();
    ControllerFixture::start({"", false, (scratch / "next.mp4").string(), ""});
    EXPECT_EQ(out.events().back(), statusEvent("recording"));
    stop();
  }

  std::filesystem::path video = scratch / "take.mp4";
  std::filesystem::path audio = scratch / "take.caf";
};

TEST_F(TakeFaultsTest, EachFaultIsAnsweredAndTheTakeIsLetGo) {
  const Error diskFull("Vantor.Media", 5, "cannot write take: No space left on device");
  auto videoFailed = json{{"type", "takeFailed"}, {"part", "video"}, {"message", diskFull.description()}};
  auto soundFailed = json{{"type", "takeFailed"}, {"part", "sound"}, {"message", diskFull.description()}};
  auto finished = [&](const std::optional<std::string>& path) { return path == video.string(); };
  struct Case {
    const char* name;
    bool withSound;
    std::function<void()> fault;
    std::vector<json> duringTake;  // events after "recording"
    std::vector<json> atStop;
    bool movieReturned;
  };
  std::vector<Case> cases{
      {"video stops writing, what it wrote plays", false,
       [&] { sim.media.outputs().back()->failWhileRecording(diskFull, true); }, {videoFailed},
       {statusEvent("stopping")}, true},
      {"video stops writing, nothing plays", true,
       [&] { sim.media.outputs().back()->failWhileRecording(diskFull, false); }, {videoFailed},
       {statusEvent("stopping"), errorEvent("recorder.stop failed: " + diskFull.description())}, false},
      {"sound stops writing, and its file cannot be completed", true,
       [&] {
         auto log = sim.media.audioWriters().back();
         std::lock_guard lock(log->mutex);
         log->writeFailure = diskFull;
       },
       {soundFailed}, {statusEvent("stopping")}, true},
      {"the output reports no movie at stop", false, [&] { sim.media.outputReport = decltype(sim.media.outputReport)::fail; },
       {}, {statusEvent("stopping"), errorEvent("recorder.stop failed: simulated recording failure")}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sim.media.outputReport = decltype(sim.media.outputReport)::finish;
    start(c.withSound);
    if (c.withSound) playSound();
    out.clear();
    c.fault();
    if (c.withSound) playSound();
    wait(50ms);
    EXPECT_EQ(told(), c.duringTake);
    out.clear();
    EXPECT_EQ(finished(stop()), c.movieReturned);
    EXPECT_EQ(told(), c.atStop);
    expectReleasedAndUsable();
  }
}

TEST_F(TakeFaultsTest, AStartWhoseFileCannotBeMadeFailsAndLeavesNothingRunning) {
  sim.media.outputCreationFailure = Error("Vantor.Media", 4, "cannot create take.mp4: Read-only file system");
  start(true);
  EXPECT_EQ(out.events(), (std::vector<json>{statusEvent("starting"),
                                             errorEvent("recorder.start failed: cannot create take.mp4: "
                                                        "Read-only file system")}));
  EXPECT_TRUE(sim.media.audioWriters().empty());
  sim.media.outputCreationFailure.reset();
  expectReleasedAndUsable();
}

TEST_F(TakeFaultsTest, ASoundSourceThatFallsQuietIsLoggedOnceAndTheTakeGoesOn) {
  start(true);
  playSound();
  wait(1300ms);  // nothing delivered since
  auto lines = out.logLines();
  for (const char* source : {"the microphone", "the system audio"}) {
    auto said = std::count_if(lines.begin(), lines.end(), [&](const std::string& l) {
      return l.rfind("[ERROR] ", 0) == 0 && l.find(source) != l.npos;
    });
    EXPECT_EQ(said, 1) << source;
  }
  EXPECT_TRUE(state.isRecording());
  EXPECT_EQ(stop(), video.string());
}

TEST_F(TakeFaultsTest, TheSoundFileNeverTakesTheMovieOrSomeoneElsesFile) {
  EXPECT_EQ(CaptureState::freeAudioFileFor(scratch / "movie.caf"), scratch / "movie-1.caf");
  std::ofstream(audio) << "someone's song";
  start(true);
  EXPECT_EQ(state.audioFileURL(), (scratch / "take-1.caf").string());
  playSound();
  EXPECT_EQ(stop(), video.string());
  std::ifstream kept(audio);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), "someone's song");
  EXPECT_FALSE(std::filesystem::exists(scratch / "take-1.caf"));
}

}  // namespace
}  // namespace vantor
