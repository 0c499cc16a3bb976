// Takes that go wrong, end to end: writing where the agent cannot, a stop
// hard on the start, and a disk that fills. The host must be told the truth,
// every movie called finished must decode to its end, and the agent must let
// go of everything the take held.

#include <sys/mount.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <thread>

#include "system/system_take.h"

namespace vantor::test {
namespace {

// A tmpfs mounted at `where` for the life of the object (root only).
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
  // Fails while any file on it is still open.
  bool unmount() {
    if (!mounted_ || ::umount(where_.c_str()) != 0) return false;
    mounted_ = false;
    return true;
  }

 private:
  std::filesystem::path where_;
  bool mounted_ = false;
  std::string why_;
};

TEST_F(SystemTake, StartsThatCannotMakeTheMovieAndAStopHardOnAPausedStartAreAnsweredTruthfully) {
  std::ofstream(dir_ / "afile") << "x";
  SmallDisk readOnly(dir_ / "ro", "size=1m,ro");
  std::vector<std::pair<std::filesystem::path, std::string>> cases = {
      {dir_ / "afile/sub/take.mp4", "cannot create " + (dir_ / "afile/sub/take.mp4").string() + ": Not a directory"},
      {"", "cannot create the movie: the output path is empty"}};
  if (readOnly.mounted())
    cases.push_back({dir_ / "ro/take.mp4", "cannot create " + (dir_ / "ro/take.mp4").string() + ": Read-only file system"});
  else
    std::printf("read-only case left out: cannot mount a tmpfs (%s)\n", readOnly.why().c_str());
  auto agent = this->agent();
  for (const auto& [path, error] : cases) {
    agent->send(startCommand("", path, false));
    EXPECT_TRUE(agent->waitForStatus("starting"));
    EXPECT_EQ(nextError(*agent), "recorder.start failed: " + error);
  }

  // "start", "pause" and "stop" at once: a movie with a frame, or no file.
  auto hasty = dir_ / "hasty.mp4";
  agent->send(startCommand("", hasty, false).dump() + "\n" R"({"type":"pause"})" "\n" R"({"type":"stop"})");
  ASSERT_TRUE(agent->waitForStatus("stopping"));
  auto answer = agent->waitFor([](const json& e) { return isType(e, "finished") || isType(e, "error"); }, 20s);
  ASSERT_TRUE(answer);
  if (isType(answer->body, "finished")) {
    EXPECT_GT(probeMovie(hasty).video().decodedFrames, 0);
  } else {
    EXPECT_EQ(answer->body.value("message", ""), "recorder.stop failed: no frames were recorded");
    EXPECT_FALSE(std::filesystem::exists(hasty));
  }

  // The agent is still of use.
  ASSERT_TRUE(agent->start("", dir_ / "after.mp4", false));
  agent->watch(500ms);
  ASSERT_TRUE(agent->stop());
  EXPECT_GT(probeMovie(dir_ / "after.mp4").video().decodedFrames, 0);
  EXPECT_TRUE(agent->finish().exitedWith(0));
}

// What the agent holds: threads, open files, shared-memory segments.
std::string held(pid_t pid) {
  auto proc = std::filesystem::path("/proc") / std::to_string(pid);
  auto count = [](const std::filesystem::path& dir) {
    return std::distance(std::filesystem::directory_iterator(dir), std::filesystem::directory_iterator());
  };
  std::ifstream maps(proc / "maps");
  int segments = 0;
  for (std::string line; std::getline(maps, line);) segments += line.find("SYSV") != line.npos;
  return std::to_string(count(proc / "task")) + " threads, " + std::to_string(count(proc / "fd")) + " files, " +
         std::to_string(segments) + " segments";
}

// A tmpfs of 1 MB holds one or two of the take's one-second fragments of a
// screen that changes all over in every frame.
TEST_F(SystemTake, AFullDiskIsToldAtOnceAndWhatWasWrittenPlaysToItsEnd) {
  auto painter = paint(windows_->create({.x = 0, .y = 0, .width = kWidth, .height = kHeight, .color = kPalette[0]}));
  const bool sound = soundServer();
  if (!sound) std::printf("sound case left out: no sound server reachable (scripts/test.sh starts one)\n");
  auto agent = this->agent();
  // What a take that ends well leaves held (connections and buffers kept for the next take).
  ASSERT_TRUE(agent->start("", dir_ / "fine.mp4", sound));
  agent->watch(300ms);
  ASSERT_TRUE(agent->stop());
  const std::string afterAGoodTake = held(agent->pid());
  for (bool withSound : {false, sound}) {
    SCOPED_TRACE(withSound ? "with sound" : "video only");
    auto where = dir_ / (withSound ? "full-sound" : "full");
    SmallDisk disk(where, "size=1m");
    if (!disk.mounted()) GTEST_SKIP() << "SKIPPED: cannot mount a tmpfs (" << disk.why() << ")";
    ASSERT_TRUE(agent->start("", where / "take.mp4", withSound));
    auto failed = agent->waitFor([](const json& e) { return isType(e, "takeFailed") && e.value("part", "") == "video"; },
                                 30s);
    ASSERT_TRUE(failed) << "no failure told while the disk filled";
    EXPECT_NE(failed->body.value("message", "").find("No space left on device"), std::string::npos) << failed->body;
    // The take goes on in time until the host stops it.
    EXPECT_TRUE(agent->waitForType("elapsed", 3s));
    auto finished = agent->stop();
    ASSERT_TRUE(finished);
    EXPECT_EQ(finished->body.value("videoPath", ""), (where / "take.mp4").string());
    MovieFacts facts = probeMovie(where / "take.mp4");  // throws unless it decodes to its end
    EXPECT_GT(facts.video().decodedFrames, 0);
    // Nothing but the movie (and its sound, when they could not be combined) is left, and nothing holds it open.
    std::vector<std::string> left;
    for (auto& entry : std::filesystem::directory_iterator(where)) left.push_back(entry.path().filename());
    std::sort(left.begin(), left.end());
    if (withSound && !facts.find("audio")) EXPECT_EQ(left, (std::vector<std::string>{"take.caf", "take.mp4"}));
    else EXPECT_EQ(left, std::vector<std::string>{"take.mp4"});
    EXPECT_TRUE(disk.unmount()) << "a file on the full disk is still open";
    for (int i = 0; i < 20 && held(agent->pid()) != afterAGoodTake; ++i) std::this_thread::sleep_for(50ms);
    EXPECT_EQ(held(agent->pid()), afterAGoodTake);
    if (!withSound && !sound) break;
  }
  EXPECT_TRUE(agent->finish().exitedWith(0));
}

}  // namespace
}  // namespace vantor::test
