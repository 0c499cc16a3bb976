// Whole takes, the agent beside ffmpeg's x11grab and, when installed,
// GStreamer's ximagesrc as the peer recorders, on a
// private 1920x1080 Xvfb (with --wayland: beside wf-recorder on a private
// headless sway; with --portal the same, the agent recording through the
// ScreenCast portal and PipeWire): once with ffplay playing testsrc2 (1280x720, 60 fps) on
// screen, once with nothing moving. The recorders take turns, take after
// take, in one run, so all see the same machine.
//
// Per take: distinct frames per second of the movie, decoded with
// support/movie_probe.h, counted two ways: as distinct pictures (any channel
// of any pixel moved by more than 24), and as changed pictures (at least kChangedPixels pixels moved by
// more than 24). The second is the one compared: x264 re-encoding a repeated
// picture in a constant-rate movie (the peer's) moves a handful of pixels by
// up to ~35, which the first counts as a new picture. Also: CPU seconds and peak RSS of the recorder's process (wait4), the movie's
// size, and for the agent the start latency ("start" written to "recording"
// read) and the stop latency ("stop" written to "finished" read). Movies are
// decoded after the last take, so decoding does not compete with recording.
//
//   vantor_take_bench [--seconds 20] [--rounds 2] [--only moving|still] [--keep DIR] [--wayland | --portal]
//                     [--screen WxH] [--sound] [--painter]
//
// --sound: the agent's takes record the microphone and the system's sound
// too, from a private PulseAudio daemon (the peer's stay silent).
// --painter (X11): the moving content is a 1280x720 window that this process
// fills with the next solid colour 60 times a second, instead of ffplay,
// which cannot draw 60 fps beside a recorder on two cores.
//
// --screen sizes the Xvfb (3840x2160: a 4K display recorded into the
// 1920x1080 movie); the peer grabs the whole screen and scales it to
// 1920x1080 as the agent does.
//
// Not a Google Benchmark binary: one take lasts tens of seconds and the
// figures are per take, not per iteration.

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "support/movie_probe.h"
#include "take_support.h"
#include "x11_painter.h"

namespace {

using namespace std::chrono_literals;
using namespace vantor::bench;

std::string describe(const std::map<std::string, double>& threads) {
  std::vector<std::pair<double, std::string>> sorted;
  for (auto& [name, s] : threads) sorted.push_back({s, name});
  std::sort(sorted.rbegin(), sorted.rend());
  std::string out;
  char item[96];
  for (auto& [s, name] : sorted) {
    std::snprintf(item, sizeof item, "%s%s %.2f s", out.empty() ? "" : ", ", name.c_str(), s);
    out += item;
  }
  return out;
}

// ---- One take of each recorder

struct TakeFigures {
  std::string recorder;  // "vantor", or the peer's name
  std::string scenario;
  int round = 0;
  fs::path movie;
  ProcessResult ended;
  double recordedWall = 0;  // the take as the bench timed it
  double startLatency = NAN, stopLatency = NAN;
  double cpuDuringTake = NAN;  // agent: from "recording" to "finished"
  std::string threads;         // per-thread CPU just before stop
  std::string memory;          // resident memory by kind just before stop
  std::string log;             // what the recorder said about the take
  double xvfbCpu = 0, playerCpu = 0;  // the X server's and ffplay's CPU over the take
  // Filled in after the last take.
  double movieSeconds = 0;
  uintmax_t bytes = 0;
  std::vector<int> distinct;  // per second, any pixel moved
  std::vector<int> changed;   // per second, pictures that changed in earnest
  double distinctMean = 0, changedMean = 0;
  int changedMin = 0;
  double playerFps = NAN;  // what ffplay drew over the take: 60 less its drops
};

// Pictures count as changed when at least this many pixels moved: coding
// noise between repeats moves a few dozen at most.
constexpr long kChangedPixels = 100;
constexpr int kTolerance = 24;

// ffplay's count of dropped frames so far, from its -stats lines ("fd= 123").
std::optional<long> playerDrops(const fs::path& log) {
  std::ifstream in(log);
  std::string text((std::istreambuf_iterator<char>(in)), {});
  size_t at = text.rfind("fd=");
  if (at == std::string::npos) return std::nullopt;
  return std::strtol(text.c_str() + at + 3, nullptr, 10);
}

struct Setup {
  std::string binary;
  bool wayland = false;  // headless sway, wf-recorder as the peer
  bool portal = false;   // and the agent through the ScreenCast portal
  bool sound = false;    // the agent's takes with sound
  std::vector<std::string> peers = {"ffmpeg"};
  std::string screen = "1920x1080";  // the X server's size
  fs::path dir;
  double seconds = 20;
  pid_t xvfb = 0;
  pid_t player = 0;  // 0: nothing moving
  const vantor::bench::Painter* painter = nullptr;  // --painter: the moving content instead of ffplay
  fs::path playerLog;
};

// What the moving content drew a second since `from`: the painter's count,
// or ffplay's 60 less its drops.
double playerFpsOver(const Setup& s, std::optional<long> dropsBefore, int paintedBefore, Clock::time_point from) {
  if (s.painter) return (s.painter->painted() - paintedBefore) / secondsBetween(from, Clock::now());
  auto dropsAfter = s.player ? playerDrops(s.playerLog) : std::nullopt;
  if (!dropsBefore || !dropsAfter) return NAN;
  return 60.0 - double(*dropsAfter - *dropsBefore) / secondsBetween(from, Clock::now());
}

TakeFigures takeWithAgent(const Setup& s, const std::string& scenario, int round) {
  TakeFigures f{"vantor", scenario, round, s.dir / (scenario + "-vantor-" + std::to_string(round) + ".mp4")};
  fs::path err = s.dir / (scenario + "-vantor-" + std::to_string(round) + ".log");
  auto agent = startAgent(s.binary, err);
  // Ready for commands before the clock starts: the host starts the agent once, not per take.
  std::this_thread::sleep_for(300ms);
  double xvfb0 = processCpu(s.xvfb), player0 = s.player ? processCpu(s.player) : 0;
  auto drops0 = s.player ? playerDrops(s.playerLog) : std::nullopt;
  int painted0 = s.painter ? s.painter->painted() : 0;
  auto startSent = Clock::now();
  auto recording = agent->start("", f.movie, s.sound);
  if (!recording) die("no \"recording\" from the agent; see " + err.string());
  f.startLatency = secondsBetween(startSent, recording->at);
  double cpu0 = processCpu(agent->pid());
  std::this_thread::sleep_until(recording->at + std::chrono::duration<double>(s.seconds));
  f.threads = describe(threadCpu(agent->pid()));
  f.memory = memoryOf(agent->pid());
  f.playerFps = playerFpsOver(s, drops0, painted0, startSent);
  auto stopSent = Clock::now();
  auto finished = agent->stop(15s);
  if (!finished) die("no \"finished\" from the agent; see " + err.string());
  f.stopLatency = secondsBetween(stopSent, finished->at);
  f.cpuDuringTake = processCpu(agent->pid()) - cpu0;
  f.recordedWall = secondsBetween(recording->at, stopSent);
  f.xvfbCpu = processCpu(s.xvfb) - xvfb0;
  f.playerCpu = s.player ? processCpu(s.player) - player0 : 0;
  f.ended = agent->finish();
  for (std::istringstream lines(readAll(err)); std::getline(lines, f.log);)
    if (f.log.find("frames written") != std::string::npos) break;
  return f;
}

TakeFigures takeWithPeer(const Setup& s, const std::string& name, const std::string& scenario, int round,
                         const std::string& display) {
  TakeFigures f{name, scenario, round, s.dir / (scenario + "-" + name + "-" + std::to_string(round) + ".mp4")};
  fs::path err = s.dir / (scenario + "-" + name + "-" + std::to_string(round) + ".log");
  double xvfb0 = processCpu(s.xvfb), player0 = s.player ? processCpu(s.player) : 0;
  auto drops0 = s.player ? playerDrops(s.playerLog) : std::nullopt;
  int painted0 = s.painter ? s.painter->painted() : 0;
  auto began = Clock::now();
  const bool scaled = s.screen != "1920x1080";
  std::vector<std::string> argv;
  if (name == "ffmpeg") {
    argv = {"ffmpeg", "-hide_banner", "-nostdin", "-loglevel", "error", "-y", "-f", "x11grab", "-framerate", "60",
            "-video_size", s.screen, "-i", display, "-c:v", "libx264", "-preset", "ultrafast", f.movie.string()};
    if (scaled) argv.insert(argv.end() - 1, {"-vf", "scale=1920:1080"});
  } else if (name == "gstreamer") {
    // -e: SIGINT sends end-of-stream, so mp4mux finishes the file.
    // 4:2:0 and libx264 tuned as the agent tunes it; left to itself videoconvert
    // hands x264enc 4:4:4, and x264enc looks ahead 40 pictures (125 MB).
    argv = {"gst-launch-1.0", "-q", "-e", "ximagesrc", "display-name=" + display, "use-damage=false", "!",
            "video/x-raw,framerate=60/1", "!", "videoconvert", "!"};
    if (scaled) argv.insert(argv.end(), {"videoscale", "!"});
    argv.insert(argv.end(), {scaled ? "video/x-raw,format=I420,width=1920,height=1080" : "video/x-raw,format=I420", "!",
                             "x264enc", "speed-preset=ultrafast", "tune=zerolatency", "pass=qual", "quantizer=23", "!",
                             "mp4mux", "!", "filesink", "location=" + f.movie.string()});
  } else {
    argv = {"wf-recorder", "-o", "HEADLESS-1", "-c", "libx264", "-p", "preset=ultrafast", "-f", f.movie.string()};
  }
  ChildProcess peer(argv, {.pipes = false, .stderrFile = err});
  std::this_thread::sleep_until(began + std::chrono::duration<double>(s.seconds));
  f.threads = describe(threadCpu(peer.pid()));
  f.memory = memoryOf(peer.pid());
  f.playerFps = playerFpsOver(s, drops0, painted0, began);
  auto stopSent = Clock::now();
  kill(peer.pid(), SIGINT);  // each finishes the file on SIGINT
  f.ended = peer.waitForExit(60s);
  f.stopLatency = secondsBetween(stopSent, Clock::now());  // SIGINT to exit, for context
  f.recordedWall = secondsBetween(began, stopSent);
  f.xvfbCpu = processCpu(s.xvfb) - xvfb0;
  f.playerCpu = s.player ? processCpu(s.player) - player0 : 0;
  f.log = readAll(err);
  // ffmpeg exits with 255 when a signal ended it, having written the file.
  if (!WIFEXITED(f.ended.status) || (WEXITSTATUS(f.ended.status) != 0 && WEXITSTATUS(f.ended.status) != 255))
    std::fprintf(stderr, "take_bench: %s ended with status %d: %s\n", name.c_str(), f.ended.status, f.log.c_str());
  return f;
}

// Mean and minimum over whole seconds, the first (start-up) and the last
// (cut short) left out.
std::pair<double, int> meanAndMin(const std::vector<int>& perSecond) {
  int from = 1, to = int(perSecond.size()) - 1;
  if (to <= from) from = 0, to = int(perSecond.size());
  if (to <= from) return {0, 0};
  double sum = 0;
  int least = INT32_MAX;
  for (int i = from; i < to; ++i) {
    sum += perSecond[size_t(i)];
    least = std::min(least, perSecond[size_t(i)]);
  }
  return {sum / (to - from), least};
}

void measureMovie(TakeFigures& f) {
  f.bytes = fs::exists(f.movie) ? fs::file_size(f.movie) : 0;
  try {
    f.movieSeconds = vantor::test::probeMovie(f.movie).video().duration;
    std::vector<uint8_t> previous;
    vantor::test::forEachVideoFrame(f.movie, [&](const vantor::test::DecodedFrame& p) {
      size_t second = p.pts < 0 ? 0 : size_t(p.pts);
      if (f.distinct.size() <= second) f.distinct.resize(second + 1, 0), f.changed.resize(second + 1, 0);
      long moved = 0;
      if (previous.size() != p.bgra.size()) {
        moved = kChangedPixels;  // the first picture
      } else {
        for (size_t i = 0; i < p.bgra.size(); i += 4) {
          for (size_t c = 0; c < 3; ++c) {
            if (std::abs(int(p.bgra[i + c]) - int(previous[i + c])) > kTolerance) {
              ++moved;
              break;
            }
          }
        }
      }
      if (moved > 0) ++f.distinct[second];
      if (moved >= kChangedPixels) ++f.changed[second];
      previous = p.bgra;
      return true;
    });
  } catch (const std::exception& e) {
    std::fprintf(stderr, "take_bench: %s\n", e.what());
    return;
  }
  f.distinctMean = meanAndMin(f.distinct).first;
  std::tie(f.changedMean, f.changedMin) = meanAndMin(f.changed);
}

void printTake(const TakeFigures& f) {
  std::printf(
      "%-6s %-6s #%d  changed/s mean %5.1f min %3d (distinct/s %5.1f) | cpu %6.2f s (user %.2f sys %.2f) | rss %6.1f MB | "
      "movie %6.2f s %7.2f MB",
      f.scenario.c_str(), f.recorder.c_str(), f.round, f.changedMean, f.changedMin, f.distinctMean, f.ended.cpuSeconds(),
      f.ended.userSeconds, f.ended.systemSeconds, f.ended.maxRssKb / 1024.0, f.movieSeconds, f.bytes / 1e6);
  if (f.recorder == "vantor")
    std::printf(" | start %.3f s stop %.3f s | cpu in take %.2f s", f.startLatency, f.stopLatency, f.cpuDuringTake);
  std::printf(" | server %.2f s ffplay %.2f s, drew %.1f fps\n", f.xvfbCpu, f.playerCpu, f.playerFps);
  std::printf("    changed per second:");
  for (int d : f.changed) std::printf(" %d", d);
  std::printf("\n    distinct per second:");
  for (int d : f.distinct) std::printf(" %d", d);
  std::printf("\n    threads before stop: %s\n    memory before stop: %s\n", f.threads.c_str(), f.memory.c_str());
  if (!f.log.empty() && f.recorder == "vantor") std::printf("    agent: %s\n", f.log.c_str());
}

struct Summary {
  double changed = 0, distinct = 0, playerFps = 0, cpu = 0, rssMb = 0, mb = 0, start = 0, stop = 0, startMax = 0, stopMax = 0;
  double cores = 0;  // CPU in the take over its wall time
};

Summary summarise(const std::vector<TakeFigures>& takes, const std::string& scenario, const std::string& recorder) {
  Summary s;
  int n = 0;
  for (const auto& f : takes) {
    if (f.scenario != scenario || f.recorder != recorder) continue;
    ++n;
    s.changed += f.changedMean;
    s.distinct += f.distinctMean;
    s.playerFps += f.playerFps;
    s.cpu += f.ended.cpuSeconds();
    if (f.recordedWall > 0) s.cores += f.cpuDuringTake / f.recordedWall;
    s.rssMb = std::max(s.rssMb, f.ended.maxRssKb / 1024.0);
    s.mb += f.bytes / 1e6;
    s.start += f.startLatency;
    s.stop += f.stopLatency;
    s.startMax = std::max(s.startMax, f.startLatency);
    s.stopMax = std::max(s.stopMax, f.stopLatency);
  }
  if (n) s.changed /= n, s.distinct /= n, s.playerFps /= n, s.cpu /= n, s.mb /= n, s.start /= n, s.stop /= n, s.cores /= n;
  return s;
}

const char* verdict(bool met) { return met ? "met" : "MISSED"; }

}  // namespace

int main(int argc, char** argv) {
  Setup setup;
  setup.binary = VANTOR_BINARY;
  int rounds = 2;
  std::string only;
  std::optional<fs::path> keep;
  bool painter = false;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) die(a + " needs a value");
      return argv[++i];
    };
    if (a == "--seconds") setup.seconds = std::stod(value());
    else if (a == "--rounds") rounds = std::stoi(value());
    else if (a == "--only") only = value();
    else if (a == "--keep") keep = value();
    else if (a == "--wayland") setup.wayland = true, setup.peers = {"wf-recorder"};
    else if (a == "--portal") setup.wayland = setup.portal = true, setup.peers = {"wf-recorder"};
    else if (a == "--screen") setup.screen = value();
    else if (a == "--sound") setup.sound = true;
    else if (a == "--painter") painter = true;
    else die("usage: vantor_take_bench [--seconds S] [--rounds N] [--only moving|still] [--keep DIR] [--wayland | --portal] "
             "[--screen WxH] [--sound] [--painter]");
  }
  if (painter && setup.wayland) die("--painter paints on X11 only");
  if (setup.wayland && setup.screen != "1920x1080") die("--screen sizes the X server only");
  for (const char* tool : setup.wayland ? std::vector{"wf-recorder", "ffplay", "sway"} : std::vector{"ffmpeg", "ffplay", "Xvfb"})
    if (!onPath(tool)) {
      std::fprintf(stderr, "take_bench: SKIPPED: %s is not installed\n", tool);
      return 77;
    }
  signal(SIGPIPE, SIG_IGN);
  setvbuf(stdout, nullptr, _IOLBF, 0);
  if (!setup.wayland && onPath("gst-launch-1.0")) setup.peers.push_back("gstreamer");
  else if (!setup.wayland)
    std::printf("GStreamer is not installed: no GStreamer takes (apt-get install gstreamer1.0-tools "
                "gstreamer1.0-plugins-good gstreamer1.0-plugins-ugly gstreamer1.0-x)\n");

  vantor::test::ScratchDir scratch("vantor-take-bench");
  if (keep) {
    setup.dir = *keep;
    fs::create_directories(setup.dir);
  } else {
    setup.dir = scratch.path();
  }

  auto server = setup.wayland ? startServer(VANTOR_VIRTUAL_WAYLAND_SCRIPT, setup.portal ? "--size 1920x1080 --portal "
                                                                                      VANTOR_PORTAL_SHIM : "--size 1920x1080")
                              : startServer(VANTOR_VIRTUAL_DISPLAY_SCRIPT, "--size " + setup.screen);
  const std::string display = setup.wayland ? server["WAYLAND_DISPLAY"] : server["DISPLAY"];
  if (setup.wayland) {
    setenv("WAYLAND_DISPLAY", display.c_str(), 1);
    setenv("SWAYSOCK", server["SWAYSOCK"].c_str(), 1);
    setenv("VANTOR_BACKEND", setup.portal ? "portal" : "wayland", 1);
    if (setup.portal) {
      setenv("DBUS_SESSION_BUS_ADDRESS", server["DBUS_SESSION_BUS_ADDRESS"].c_str(), 1);
      setenv("XDG_STATE_HOME", (server["SWAY_DIR"] + "/state").c_str(), 1);  // the permission stays with the session
    }
    setenv("SDL_VIDEODRIVER", "wayland", 1);  // ffplay's window on sway
    unsetenv("DISPLAY");
  } else {
    setenv("DISPLAY", display.c_str(), 1);
  }
  setup.xvfb = std::atoi(server[setup.wayland ? "SWAY_PID" : "XVFB_PID"].c_str());
  std::map<std::string, std::string> sound;
  if (setup.sound) {
    sound = startServer(VANTOR_VIRTUAL_SOUND_SCRIPT);
    setenv("PULSE_SERVER", sound["PULSE_SERVER"].c_str(), 1);
    setenv("PULSE_RUNTIME_PATH", sound["PULSE_RUNTIME_PATH"].c_str(), 1);
    std::printf("the agent records sound too, from %s\n", sound["PULSE_SERVER"].c_str());
  }
  std::printf("take_bench: %s on %s (server %d), %d rounds of %.0f s, %ld CPUs, load %s\n", setup.binary.c_str(),
              display.c_str(), setup.xvfb, rounds, setup.seconds, sysconf(_SC_NPROCESSORS_ONLN),
              loadAverage().c_str());
  if (setup.wayland)
    std::printf("peer: wf-recorder -o HEADLESS-1 -c libx264 -p preset=ultrafast -f out.mp4, ended with SIGINT\n");
  else
    std::printf("peer: ffmpeg -f x11grab -framerate 60 -video_size %s -i %s -c:v libx264 -preset ultrafast %s"
                "out.mp4, ended with SIGINT\n", setup.screen.c_str(), display.c_str(),
                setup.screen != "1920x1080" ? "-vf scale=1920:1080 " : "");
  if (setup.peers.back() == "gstreamer")
    std::printf("peer: gst-launch-1.0 -e ximagesrc use-damage=false ! video/x-raw,framerate=60/1 ! videoconvert ! %s"
                "video/x-raw,format=I420%s ! x264enc speed-preset=ultrafast tune=zerolatency pass=qual quantizer=23 ! "
                "mp4mux ! filesink, ended with SIGINT\n",
                setup.screen != "1920x1080" ? "videoscale ! " : "", setup.screen != "1920x1080" ? ",width=1920,height=1080" : "");
  if (painter)
    std::printf("moving content: a 1280x720 window filled with the next solid colour every 1/60 s\n");
  else
    std::printf("moving content: ffplay -an -f lavfi -i testsrc2=size=1280x720:rate=60\n");

  std::vector<TakeFigures> takes;
  for (std::string scenario : {"moving", "still"}) {
    if (!only.empty() && only != scenario) continue;
    std::unique_ptr<ChildProcess> player;
    std::unique_ptr<vantor::test::TestWindows> windows;
    std::unique_ptr<vantor::bench::Painter> painting;
    if (scenario == "moving" && painter) {
      windows = std::make_unique<vantor::test::TestWindows>(display.c_str());
      uint32_t w = windows->create({.x = 320, .y = 180, .width = 1280, .height = 720, .color = 0xff0000});
      painting = std::make_unique<vantor::bench::Painter>(
          display, w, std::vector<uint32_t>{0xff0000, 0x00ff00, 0x0000ff, 0xffff00, 0x00ffff, 0xff00ff, 0xffffff},
          std::chrono::microseconds(16'667));
      setup.painter = painting.get();
      std::this_thread::sleep_for(1s);
    } else if (scenario == "moving") {
      player = std::make_unique<ChildProcess>(
          std::vector<std::string>{"ffplay", "-hide_banner", "-loglevel", "error", "-stats", "-an", "-f", "lavfi",
                                   "-i", "testsrc2=size=1280x720:rate=60"},
          vantor::test::ChildOptions{.pipes = false, .stderrFile = setup.dir / "ffplay.log"});
      setup.playerLog = setup.dir / "ffplay.log";
      setup.player = player->pid();
      std::this_thread::sleep_for(2s);  // its window up and playing
    } else {
      setup.player = 0;
      std::this_thread::sleep_for(1s);
    }
    for (int r = 0; r < rounds; ++r) {
      takes.push_back(takeWithAgent(setup, scenario, r));
      std::fprintf(stderr, "take_bench: %s vantor #%d done\n", scenario.c_str(), r);
      for (const std::string& peer : setup.peers) {
        takes.push_back(takeWithPeer(setup, peer, scenario, r, display));
        std::fprintf(stderr, "take_bench: %s %s #%d done\n", scenario.c_str(), peer.c_str(), r);
      }
    }
    player.reset();  // killed: the screen is still from here on
    painting.reset(), windows.reset(), setup.painter = nullptr;
  }
  std::printf("load after the takes: %s\n", loadAverage().c_str());
  if (setup.wayland)  // the script waits for sway and the portal's servers to end, then removes their directory
    (void)!std::system(("bash '" VANTOR_VIRTUAL_WAYLAND_SCRIPT "' stop " + server["SWAY_PID"] + " '" +
                        server["SWAY_DIR"] + "' " + server["PORTAL_PIDS"]).c_str());
  else
    kill(setup.xvfb, SIGTERM);
  if (setup.sound) {
    std::string why;
    vantor::test::runServerScript(VANTOR_VIRTUAL_SOUND_SCRIPT, "stop " + sound["PULSE_PID"] + " " + sound["PULSE_DIR"], &why);
  }

  std::fprintf(stderr, "take_bench: decoding the movies\n");
  for (auto& f : takes) measureMovie(f);
  std::printf("\n");
  for (const auto& f : takes) printTake(f);

  std::printf("\nsummary (means over rounds; RSS and latency maxima in brackets)\n");
  for (std::string scenario : {"moving", "still"}) {
    if (!only.empty() && only != scenario) continue;
    Summary ours = summarise(takes, scenario, "vantor");
    std::printf("%s: vantor changed/s %.1f (distinct/s %.1f; the content drew %.1f fps) | cpu %.2f s | rss %.1f MB | "
                "size %.2f MB | start %.3f s [%.3f] stop %.3f s [%.3f]\n",
                scenario.c_str(), ours.changed, ours.distinct, ours.playerFps, ours.cpu, ours.rssMb, ours.mb, ours.start,
                ours.startMax, ours.stop, ours.stopMax);
    std::map<std::string, Summary> peers;
    for (const std::string& name : setup.peers) {
      const Summary& p = peers[name] = summarise(takes, scenario, name);
      std::printf("  %s changed/s %.1f (distinct/s %.1f; the content drew %.1f fps) | cpu %.2f s (vantor's %.3fx) | "
                  "rss %.1f MB | size %.2f MB\n",
                  name.c_str(), p.changed, p.distinct, p.playerFps, p.cpu, p.cpu > 0 ? ours.cpu / p.cpu : NAN, p.rssMb,
                  p.mb);
    }
    // The targets: against the peer each is set against, where it ran.
    const Summary& first = peers[setup.peers.front()];
    const double cpuTarget = scenario == "moving" ? 0.45 : 0.02, rssTarget = setup.sound ? 72 : 64;
    if (scenario == "moving")
      std::printf("  changed/s >= 99.5%% of what the content drew: %s\n", verdict(ours.changed >= 0.995 * ours.playerFps));
    std::printf("  cpu <= %.2fx %s's: %s; peak rss <= %.0f MB: %s", cpuTarget, setup.peers.front().c_str(),
                verdict(first.cpu > 0 && ours.cpu <= cpuTarget * first.cpu), rssTarget, verdict(ours.rssMb <= rssTarget));
    if (peers.count("gstreamer")) std::printf(", below GStreamer's: %s", verdict(ours.rssMb < peers["gstreamer"].rssMb));
    std::printf("; start <= 0.05 s: %s\n", verdict(ours.startMax <= 0.05));
    if (scenario == "moving" && setup.screen != "1920x1080")  // a larger screen scaled into the movie
      std::printf("  %s into 1920x1080: distinct/s >= 30: %s; within one core (%.2f): %s\n", setup.screen.c_str(),
                  verdict(ours.distinct >= 30), ours.cores, verdict(ours.cores <= 1.0));
  }
  if (keep) std::printf("movies and logs in %s\n", setup.dir.c_str());
  return 0;
}
