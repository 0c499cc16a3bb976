// A take killed with SIGKILL mid-way leaves a movie libavformat reads, which
// misses at most about the last second of frames.

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "media_test_support.h"
#include "support/movie_probe.h"

extern char** environ;

namespace vantor::mediatest {
namespace {

TEST(KilledTake, LeavesAReadableMovieShortOfAtMostAboutTheLastSecond) {
  constexpr int W = 320, H = 240, kFps = 30;
  constexpr int kKillAfter = 4 * kFps;  // frames handed over before the kill
  ScratchDir dir;
  auto path = dir / "killed.mp4";

  int out[2];
  ASSERT_EQ(pipe(out), 0);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_addclose(&actions, out[0]);
  std::string exe = VANTOR_TAKE_WRITER, file = path.string(), w = std::to_string(W), h = std::to_string(H),
              fps = std::to_string(kFps), limit = "30";
  char* args[] = {exe.data(), file.data(), w.data(), h.data(), fps.data(), limit.data(), nullptr};
  pid_t child = -1;
  int spawned = posix_spawn(&child, exe.c_str(), &actions, nullptr, args, environ);
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  ASSERT_EQ(spawned, 0) << exe;

  // Read the child's progress until it has handed over enough frames.
  FILE* progress = fdopen(out[0], "r");
  int handedOver = -1;
  char line[64];
  while (handedOver + 1 < kKillAfter && std::fgets(line, sizeof line, progress)) handedOver = std::atoi(line);
  kill(child, SIGKILL);
  int status = 0;
  waitpid(child, &status, 0);
  // Whatever it wrote after the last line we read.
  while (std::fgets(line, sizeof line, progress)) handedOver = std::atoi(line);
  std::fclose(progress);
  ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "the writer ended on its own: " << status;
  int sent = handedOver + 1;
  ASSERT_GE(sent, kKillAfter);

  auto facts = test::probeMovie(path);
  const auto& v = facts.video();
  EXPECT_EQ(v.codec, "h264");
  EXPECT_EQ(v.width, W);
  // Lost: the fragment still open (up to 1 s), the packet held for its
  // duration, and what sat in the output's queue.
  EXPECT_GE(v.decodedFrames, sent - kFps - 4) << "sent " << sent;
  std::printf("killed after %d frames; %lld decodable\n", sent, static_cast<long long>(v.decodedFrames));

  // What survived is the take's beginning, in order, at its times.
  int n = 0;
  test::forEachVideoFrame(path, [&](const test::DecodedFrame& f) {
    EXPECT_NEAR(f.pts, n / double(kFps), 1.0 / 90000) << n;
    EXPECT_LE(f.distanceAt(W / 4, H / 4, quadrantColour(n, 0)), 10) << n;
    ++n;
    return true;
  });
  EXPECT_EQ(n, v.decodedFrames);
}

}  // namespace
}  // namespace vantor::mediatest
