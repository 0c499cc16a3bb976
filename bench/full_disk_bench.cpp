// A take that fills its disk: how much of what reached the disk is kept as
// a movie that plays to its end, and how much of the take's time that is.
// The agent records a private Xvfb whose whole screen changes colour every
// frame (the most a screen costs to encode) into a tmpfs of --size MB, with
// and without sound; mounting needs root.
//
//   vantor_full_disk_bench [--size MB] [--rounds N]

#include <sys/mount.h>

#include "support/movie_probe.h"
#include "support/x11_test_windows.h"
#include "x11_painter.h"
#include "take_support.h"

using namespace vantor::bench;

namespace {

struct Round {
  double failedAfter = 0;  // seconds from "recording" to "takeFailed"
  uint64_t diskBytes = 0;  // what the disk took before it was full
  uint64_t keptBytes = 0;
  double keptSeconds = 0;
  bool hasSound = false;
};

Round fillOnce(const fs::path& where, int sizeMb, bool withSound) {
  fs::create_directories(where);
  std::string options = "size=" + std::to_string(sizeMb) + "m";
  if (mount("tmpfs", where.c_str(), "tmpfs", 0, options.c_str()) != 0)
    die("cannot mount a tmpfs (" + std::string(std::strerror(errno)) + "); run as root");
  Round r;
  {
    auto agent = startAgent(VANTOR_BINARY, where.parent_path() / "agent.log");
    auto recording = agent->start("", where / "take.mp4", withSound);
    if (!recording) die("no recording");
    auto failed = agent->waitFor(
        [](const nlohmann::json& e) { return e.value("type", "") == "takeFailed" && e.value("part", "") == "video"; },
        std::chrono::seconds(120));
    if (!failed) die("the disk never filled");
    r.failedAfter = secondsBetween(recording->at, failed->at);
    if (!agent->stop(std::chrono::seconds(30))) die("no finished");
    agent->finish();
  }
  r.diskBytes = uint64_t(sizeMb) << 20;
  r.keptBytes = fs::file_size(where / "take.mp4");
  auto facts = vantor::test::probeMovie(where / "take.mp4");  // throws unless it decodes to its end
  r.keptSeconds = facts.video().lastPts;
  r.hasSound = facts.find("audio") != nullptr;
  if (umount(where.c_str()) != 0) die("the disk is still busy after the take: " + std::string(std::strerror(errno)));
  return r;
}

}  // namespace

int main(int argc, char** argv) {
  int sizeMb = 3, rounds = 3;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string a = argv[i];
    if (a == "--size") sizeMb = std::stoi(argv[i + 1]);
    else if (a == "--rounds") rounds = std::stoi(argv[i + 1]);
    else die("usage: vantor_full_disk_bench [--size MB] [--rounds N]");
  }
  signal(SIGPIPE, SIG_IGN);
  setvbuf(stdout, nullptr, _IOLBF, 0);
  vantor::test::ScratchDir scratch("vantor-full-disk-bench");
  const fs::path& dir = scratch.path();

  auto display = startServer(VANTOR_VIRTUAL_DISPLAY_SCRIPT, "--size 1920x1080");
  setenv("DISPLAY", display["DISPLAY"].c_str(), 1);
  auto sound = startServer(VANTOR_VIRTUAL_SOUND_SCRIPT);
  setenv("PULSE_SERVER", sound["PULSE_SERVER"].c_str(), 1);
  setenv("PULSE_RUNTIME_PATH", sound["PULSE_RUNTIME_PATH"].c_str(), 1);
  vantor::test::TestWindows windows(display["DISPLAY"].c_str());
  uint32_t w = windows.create({.x = 0, .y = 0, .width = 1920, .height = 1080, .color = 0});
  vantor::bench::Painter painter(display["DISPLAY"], w,
                                {0xff0000, 0x00ff00, 0x0000ff, 0xffff00, 0x00ffff, 0xff00ff, 0xffffff, 0x000000});
  std::printf("full_disk_bench: %d MB tmpfs, %d rounds each; %ld CPUs, load %s\n", sizeMb, rounds,
              sysconf(_SC_NPROCESSORS_ONLN), loadAverage().c_str());
  for (bool withSound : {false, true}) {
    for (int i = 0; i < rounds; ++i) {
      Round r = fillOnce(dir / ("disk" + std::to_string(i)), sizeMb, withSound);
      std::printf("%-11s full after %5.2f s; kept %7llu of %7llu bytes (%4.1f %%), %5.2f s that play%s\n",
                  withSound ? "with sound" : "video only", r.failedAfter, (unsigned long long)r.keptBytes,
                  (unsigned long long)r.diskBytes, 100.0 * double(r.keptBytes) / double(r.diskBytes), r.keptSeconds,
                  r.hasSound ? ", with sound" : "");
    }
  }
  painter.stop();
  std::string why;
  vantor::test::runServerScript(VANTOR_VIRTUAL_SOUND_SCRIPT, "stop " + sound["PULSE_PID"] + " " + sound["PULSE_DIR"], &why);
  return 0;
}
