// Takes that go wrong, end to end: the real agent on a private Xvfb (and the
// test sound server where a take has sound) writing where it cannot, filling
// a small disk, or beside files that are not its own. The host must be told
// the truth, every movie called finished must decode to its end, and the
// agent must let go of everything the take held.

#include <sys/mount.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <ostream>
#include <thread>
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "support/agent_session.h"
#include "support/movie_probe.h"
#include "support/tone_player.h"
#include "support/x11_test_windows.h"

namespace vantor {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using test::Agent;

bool hasType(const json& e, const char* type) { return e.value("type", "") == type; }

// What the agent holds: threads, open files, shared-memory segments.
struct Held {
  size_t threads = 0, files = 0, segments = 0;
  bool operator==(const Held&) const = default;
};
Held held(pid_t pid) {
  auto proc = std::filesystem::path("/proc") / std::to_string(pid);
  Held h;
  auto count = [](const std::filesystem::path& dir) {
    return size_t(std::distance(std::filesystem::directory_iterator(dir), std::filesystem::directory_iterator()));
  };
  h.threads = count(proc / "task");
  h.files = count(proc / "fd");
  std::ifstream maps(proc / "maps");
  for (std::string line; std::getline(maps, line);) h.segments += line.find("SYSV") != line.npos;
  return h;
}
std::ostream& operator<<(std::ostream& out, const Held& h) {
  return out << h.threads << " threads, " << h.files << " files, " << h.segments << " segments";
}

std::string contents(const std::filesystem::path& path) {
  std::ifstream in(path);
  return {std::istreambuf_iterator<char>(in), {}};
}

// A tmpfs of `size` mounted at `where` for the life of the object.
class SmallDisk {
 public:
  SmallDisk(const std::filesystem::path& where, const std::string& options) : where_(where) {
    std::filesystem::create_directories(where);
    mounted_ = ::mount("tmpfs", where.c_str(), "tmpfs", 0, options.c_str()) == 0;
    why_ = mounted_ ? "" : std::strerror(errno);
  }
  ~SmallDisk() {
    if (mounted_) ::umount2(where_.c_str(), MNT_DETACH);
  }
  bool mounted() const { return mounted_; }
  const std::string& why() const { return why_; }
  // Unmounting fails while any file on it is still open.
  bool unmount() {
    if (::umount(where_.c_str()) != 0) return false;
    mounted_ = false;
    return true;
  }

 private:
  std::filesystem::path where_;
  bool mounted_ = false;
  std::string why_;
};

class FaultTake : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    server_ = test::VirtualDisplay::start(VANTOR_SOURCE_DIR "/scripts/virtual-display.sh", "", &why);
    if (!server_) GTEST_SKIP() << "SKIPPED: cannot start a virtual X server (" << why << ")";
    char pattern[] = "/tmp/vantor-faults.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    if (dir_.empty()) return;
    if (HasFailure()) std::printf("files kept in %s\n", dir_.c_str());
    else std::filesystem::remove_all(dir_);
  }

  static bool soundServer() { return std::system("pactl info >/dev/null 2>&1") == 0; }
  // Moving content that fills a disk fast: a checkerboard whose colours change every frame.
  std::unique_ptr<test::Painter> paintScreen() {
    windows_ = std::make_unique<test::TestWindows>(server_->name().c_str());
    uint32_t w = windows_->create({.x = 0, .y = 0, .width = 1920, .height = 1080, .color = 0x203040});
    return std::make_unique<test::Painter>(server_->name(), w,
                                           std::vector<uint32_t>{0xff0000, 0x00ff00, 0x0000ff, 0xffff00, 0x00ffff,
                                                                 0xff00ff, 0xffffff, 0x000000},
                                           16ms);
  }

  static json start(const std::filesystem::path& path, bool withSound) {
    return {{"type", "start"}, {"target", ""}, {"includeMic", withSound}, {"outputPath", path.string()}, {"mode", ""}};
  }
  // The next answer to a start or stop: a terminal status, "finished" or an error.
  static std::optional<test::Event> answer(Agent& agent, const char* phase) {
    return agent.waitFor([&](const json& e) { return test::isStatus(e, phase) || hasType(e, "finished") || hasType(e, "error"); },
                         20s);
  }
  // Starts a take, checks it records, stops it and returns the finished path.
  static std::optional<std::string> take(Agent& agent, const std::filesystem::path& path, bool withSound,
                                         std::chrono::milliseconds span = 1500ms) {
    agent.send(start(path, withSound));
    auto recording = answer(agent, "recording");
    if (!recording || !test::isStatus(recording->body, "recording")) {
      ADD_FAILURE() << "no recording for " << path;
      return std::nullopt;
    }
    agent.watch(span);
    agent.send({{"type", "stop"}});
    EXPECT_TRUE(agent.waitForStatus("stopping"));
    auto done = answer(agent, "");
    if (!done || !hasType(done->body, "finished")) {
      ADD_FAILURE() << "stop answered " << (done ? done->body.dump() : "nothing");
      return std::nullopt;
    }
    return done->body.at("videoPath").get<std::string>();
  }

  std::unique_ptr<test::VirtualDisplay> server_;
  std::unique_ptr<test::TestWindows> windows_;
  std::filesystem::path dir_;
};

TEST_F(FaultTake, AStartWhoseFileCannotBeMadeFailsAndTheAgentStaysUsable) {
  std::ofstream(dir_ / "afile") << "x";
  SmallDisk readOnly(dir_ / "ro", "size=1m,ro");
  struct Case {
    std::filesystem::path path;
    std::string error;
  };
  std::vector<Case> cases{
      {dir_ / "afile/sub/take.mp4", "recorder.start failed: cannot create " + (dir_ / "afile/sub/take.mp4").string() +
                                        ": Not a directory"},
      {"", "recorder.start failed: cannot create the movie: the output path is empty"},
  };
  if (readOnly.mounted())
    cases.push_back({dir_ / "ro/take.mp4", "recorder.start failed: cannot create " + (dir_ / "ro/take.mp4").string() +
                                               ": Read-only file system"});
  else
    std::printf("read-only case skipped: cannot mount a tmpfs (%s)\n", readOnly.why().c_str());

  Agent agent(server_->name());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path.string());
    agent.send(start(c.path, false));
    EXPECT_TRUE(agent.waitForStatus("starting"));
    auto failed = answer(agent, "recording");
    ASSERT_TRUE(failed);
    EXPECT_EQ(failed->body, (json{{"type", "error"}, {"message", c.error}}));
  }
  agent.watch(300ms);  // nothing more comes: no take runs
  for (auto& e : agent.events()) EXPECT_FALSE(test::isStatus(e.body, "recording")) << e.body.dump();

  auto path = take(agent, dir_ / "after.mp4", false);
  ASSERT_TRUE(path);
  EXPECT_GT(test::probeMovie(*path).video().decodedFrames, 0);
  EXPECT_TRUE(testing::exitedCleanly(agent.finish()));
}

TEST_F(FaultTake, AFullDiskIsToldAtOnceAndWhatWasWrittenPlaysToItsEnd) {
  auto painter = paintScreen();
  for (bool withSound : {false, true}) {
    SCOPED_TRACE(withSound ? "with sound" : "video only");
    if (withSound && !soundServer()) {
      std::printf("sound case skipped: no sound server reachable (scripts/test.sh starts one)\n");
      continue;
    }
    auto where = dir_ / (withSound ? "full-sound" : "full");
    SmallDisk disk(where, "size=3m");
    if (!disk.mounted()) GTEST_SKIP() << "SKIPPED: cannot mount a tmpfs (" << disk.why() << ")";
    Agent agent(server_->name());
    // What a take that ends well leaves held (connections and buffers kept for the next take).
    ASSERT_TRUE(take(agent, dir_ / "fine.mp4", withSound, 500ms));
    Held afterAGoodTake = held(agent.pid());
    agent.send(start(where / "take.mp4", withSound));
    ASSERT_TRUE(agent.waitForStatus("recording"));
    auto failed = agent.waitFor(
        [](const json& e) { return hasType(e, "takeFailed") && e.value("part", "") == "video"; }, 30s);
    ASSERT_TRUE(failed) << "no failure told while the disk filled";
    EXPECT_NE(failed->body.value("message", "").find("No space left on device"), std::string::npos)
        << failed->body.dump();
    agent.watch(1500ms);  // the take goes on in time
    agent.send({{"type", "stop"}});
    auto done = answer(agent, "");
    ASSERT_TRUE(done && hasType(done->body, "finished")) << (done ? done->body.dump() : "no answer");
    auto facts = test::probeMovie(where / "take.mp4");  // throws unless it decodes to its end
    EXPECT_GT(facts.video().decodedFrames, 0);
    // Nothing but the movie (and its sound, when they could not be
    // combined) is left on the disk, and nothing holds it open.
    std::vector<std::string> left;
    for (auto& entry : std::filesystem::directory_iterator(where)) left.push_back(entry.path().filename());
    std::sort(left.begin(), left.end());
    if (withSound && !facts.find("audio")) EXPECT_EQ(left, (std::vector<std::string>{"take.caf", "take.mp4"}));
    else EXPECT_EQ(left, std::vector<std::string>{"take.mp4"});
    EXPECT_TRUE(disk.unmount()) << "a file on the full disk is still open";
    Held now = held(agent.pid());
    for (int i = 0; i < 20 && !(now == afterAGoodTake); ++i) {  // a thread may take a moment to end
      std::this_thread::sleep_for(50ms);
      now = held(agent.pid());
    }
    EXPECT_EQ(now, afterAGoodTake);
    EXPECT_TRUE(testing::exitedCleanly(agent.finish()));
  }
}

TEST_F(FaultTake, TheSoundFileNeverTakesTheMovieOrSomeoneElsesFile) {
  if (!soundServer()) GTEST_SKIP() << "SKIPPED: no sound server reachable (scripts/test.sh starts one)";
  std::string why;
  auto tone = test::TonePlayer::start({"micfeed", 440, 0.3, 1}, &why);
  ASSERT_TRUE(tone) << why;
  std::ofstream(dir_ / "song.caf") << "someone's song";
  Agent agent(server_->name());
  for (auto name : {"movie.caf", "song.mp4"}) {
    SCOPED_TRACE(name);
    auto path = take(agent, dir_ / name, true);
    ASSERT_TRUE(path);
    EXPECT_EQ(*path, (dir_ / name).string());
    auto facts = test::probeMovie(*path);
    EXPECT_GT(facts.video().decodedFrames, 0);
    EXPECT_GT(facts.audio().decodedSeconds(), 1.0);
  }
  EXPECT_EQ(contents(dir_ / "song.caf"), "someone's song");
  std::vector<std::string> left;
  for (auto& entry : std::filesystem::directory_iterator(dir_)) left.push_back(entry.path().filename());
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<std::string>{"movie.caf", "song.caf", "song.mp4"}));
  EXPECT_TRUE(testing::exitedCleanly(agent.finish()));
}

TEST_F(FaultTake, AStopRightAfterAPausedStartIsAnsweredTruthfully) {
  Agent agent(server_->name());
  auto path = dir_ / "paused.mp4";
  agent.send(start(path, false));
  agent.send({{"type", "pause"}});
  agent.send({{"type", "stop"}});
  ASSERT_TRUE(agent.waitForStatus("stopping"));
  auto done = answer(agent, "");
  ASSERT_TRUE(done);
  if (hasType(done->body, "finished")) EXPECT_GT(test::probeMovie(path).video().decodedFrames, 0);
  else EXPECT_EQ(done->body, (json{{"type", "error"}, {"message", "recorder.stop failed: no frames were recorded"}}));
  EXPECT_TRUE(testing::exitedCleanly(agent.finish()));
}

}  // namespace
}  // namespace vantor
