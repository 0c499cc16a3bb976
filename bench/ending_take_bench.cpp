// A flood of garbage during a take, and a take ended by a signal, whole: the
// agent records a private 1920x1080 Xvfb (and, for the signal, hears a
// private PulseAudio daemon), both started here through
// scripts/virtual-display.sh and scripts/virtual-sound.sh and gone with this
// process.
//
//   vantor_ending_take_bench [--binary PATH] [--lines 300000] [--line-bytes 20,200,1000] [--rounds 3]
//                            [--seconds 10,60] [--signal-rounds 2] [--only flood|signal] [--keep DIR]
//
// 1. Memory under a flood: a take without sound runs; after a screenshot (the
//    buffers of stills are kept), 3 s into the take (once the encoder's
//    buffers have grown), the peak RSS is set back (clear_refs), then
//    N malformed lines of B bytes each are written as fast as the pipe takes
//    them, followed by "pause": when "paused" arrives every line was handled.
//    Printed: RSS before, the peak (VmHWM) after, the largest VmRSS sampled
//    every 2 ms meanwhile, and the lines handled per second. --binary runs
//    another build of the agent (an older one, say) in the same conditions.
// 2. SIGTERM during a take with sound (a 440 Hz tone into micfeed, the
//    microphone, and 1000 Hz into sysout, the speakers) of each length:
//    kill(2) to the agent's exit, and to "finished" read; the exit status;
//    whether the movie was combined with its sound and the CAF is gone.
//    Beside it the same take ended with "stop": "stop" written to "finished".
//
// The figures come with the machine's load average: two cores shared with
// other work make them noisy. Not a Google Benchmark binary: one take lasts
// up to a minute and the figures are per take.

#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/tone_player.h"
#include "take_support.h"

namespace {

using namespace std::chrono_literals;
using namespace vantor::bench;
using nlohmann::json;

long statusKb(pid_t pid, const std::string& field) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);)
    if (line.rfind(field, 0) == 0) return std::atol(line.c_str() + field.size());
  return -1;
}

bool resetPeak(pid_t pid) {
  std::ofstream out("/proc/" + std::to_string(pid) + "/clear_refs");
  out << "5" << std::flush;
  return bool(out);
}

// ---- 1. A flood of malformed lines

struct Flood {
  size_t lineBytes = 0;
  long before = 0, peak = 0, sampledPeak = 0;  // kB
  bool peakWasReset = false;
  double seconds = 0;  // first byte written to "paused" read
};

Flood runFlood(const std::string& binary, const fs::path& dir, size_t lines, size_t lineBytes) {
  Flood f{lineBytes};
  fs::path movie = dir / "flood.mp4", log = dir / "flood.log";
  auto agent = startAgent(binary, log);
  if (!agent->start("", movie, false)) die("no \"recording\"; see " + log.string());
  // A take grows by about 10 MB in its first second or two (the encoder's
  // buffers), flood or not: the baseline is taken after that.
  agent->watch(3s);
  agent->send(json{{"type", "screenshot"}});
  if (!agent->waitForType("screenshotData")) die("no \"screenshotData\"; see " + log.string());
  f.peakWasReset = resetPeak(agent->pid());
  f.before = statusKb(agent->pid(), "VmRSS:");

  // "flood 17 xxx…": not JSON, so each is logged whole and answered by nothing.
  std::string bytes;
  bytes.reserve(lines * (lineBytes + 1));
  for (size_t i = 0; i < lines; ++i) {
    std::string line = "flood " + std::to_string(i) + " ";
    line.resize(std::max(line.size(), lineBytes), 'x');
    bytes += line + "\n";
  }
  bytes += R"({"type":"pause"})";

  std::atomic<bool> flooding{true};
  long sampled = 0;
  std::thread sampler([&] {
    while (flooding) {
      sampled = std::max(sampled, statusKb(agent->pid(), "VmRSS:"));
      std::this_thread::sleep_for(2ms);
    }
  });
  auto begin = Clock::now();
  agent->send(bytes);
  auto paused = agent->waitForStatus("paused", 120s);
  flooding = false;
  sampler.join();
  if (!paused) die("no \"paused\" after the flood; see " + log.string());
  f.seconds = secondsBetween(begin, paused->at);
  f.peak = statusKb(agent->pid(), "VmHWM:");
  f.sampledPeak = sampled;
  if (!agent->stop(30s)) die("no \"finished\"; see " + log.string());
  agent->finish();
  fs::remove(movie);
  fs::remove(log);  // tens of MB of log lines
  return f;
}

// ---- 2. SIGTERM during a take with sound

struct Ending {
  double seconds = 0;  // the take's length
  bool bySignal = false;
  double toExit = NAN, toFinished = NAN;  // from kill(2), or from "stop" written
  int status = 0;
  bool muxed = false, cafLeft = false;
};

Ending runEnding(const std::string& binary, const fs::path& dir, double seconds, bool bySignal, int round) {
  Ending e{seconds, bySignal};
  std::string name = std::string(bySignal ? "sigterm-" : "stop-") + std::to_string(int(seconds)) + "s-" + std::to_string(round);
  fs::path movie = dir / (name + ".mp4"), log = dir / (name + ".log");
  auto agent = startAgent(binary, log);
  auto recording = agent->start("", movie, true);
  if (!recording) die("no \"recording\"; see " + log.string());
  // Reads the agent's events while the take runs, so its pipe never fills.
  agent->watch(recording->at + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds)) -
               Clock::now());
  bool finished = false;
  if (bySignal) {
    auto sent = Clock::now();
    if (kill(agent->pid(), SIGTERM) != 0) die("kill failed");
    ProcessResult ended = agent->process().waitForExit(30s);
    e.toExit = secondsBetween(sent, Clock::now());
    e.status = ended.status;
    // The events were still in the pipe; their read times say nothing here.
    for (const std::string& line : vantor::test::splitLines(ended.out))
      finished = finished || vantor::test::isType(json::parse(line, nullptr, false), "finished");
  } else {
    auto sent = Clock::now();
    auto done = agent->stop(30s);
    if (done) e.toFinished = secondsBetween(sent, done->at);
    finished = bool(done);
    e.status = agent->finish().status;
  }
  if (!finished) std::fprintf(stderr, "ending_take_bench: %s: no \"finished\"; see %s\n", name.c_str(), log.c_str());
  e.muxed = readAll(log).find("stop: mux succeeded") != std::string::npos;
  e.cafLeft = fs::exists(fs::path(movie).replace_extension("caf"));
  std::fprintf(stderr, "ending_take_bench: %s done\n", name.c_str());
  return e;
}

std::string describeStatus(int status) {
  if (WIFEXITED(status)) return "exit " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) return std::string("killed by ") + strsignal(WTERMSIG(status));
  return "?";
}

std::vector<double> numberList(const std::string& text) {
  std::vector<double> out;
  std::istringstream list(text);
  for (std::string item; std::getline(list, item, ',');) out.push_back(std::stod(item));
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  std::string binary = VANTOR_BINARY, only;
  size_t lines = 300'000;
  std::vector<double> lineBytes = {20, 200, 1000}, takeSeconds = {10, 60};
  int rounds = 3, signalRounds = 2;
  std::optional<fs::path> keep;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) die(a + " needs a value");
      return argv[++i];
    };
    if (a == "--binary") binary = value();
    else if (a == "--lines") lines = std::stoul(value());
    else if (a == "--line-bytes") lineBytes = numberList(value());
    else if (a == "--rounds") rounds = std::stoi(value());
    else if (a == "--seconds") takeSeconds = numberList(value());
    else if (a == "--signal-rounds") signalRounds = std::stoi(value());
    else if (a == "--only") only = value();
    else if (a == "--keep") keep = value();
    else
      die("usage: vantor_ending_take_bench [--binary PATH] [--lines N] [--line-bytes B,B] [--rounds N] [--seconds S,S] "
          "[--signal-rounds N] [--only flood|signal] [--keep DIR]");
  }
  for (const char* tool : {"ffmpeg", "Xvfb", "pulseaudio", "pactl"})
    if (!onPath(tool)) {
      std::fprintf(stderr, "ending_take_bench: SKIPPED: %s is not installed\n", tool);
      return 77;
    }
  signal(SIGPIPE, SIG_IGN);
  setvbuf(stdout, nullptr, _IOLBF, 0);

  vantor::test::ScratchDir scratch("vantor-ending-take-bench");
  fs::path dir = keep ? *keep : scratch.path();
  fs::create_directories(dir);
  auto display = startServer(VANTOR_VIRTUAL_DISPLAY_SCRIPT, "--size 1920x1080");
  setenv("DISPLAY", display["DISPLAY"].c_str(), 1);
  auto sound = startServer(VANTOR_VIRTUAL_SOUND_SCRIPT);
  setenv("PULSE_SERVER", sound["PULSE_SERVER"].c_str(), 1);
  setenv("PULSE_RUNTIME_PATH", sound["PULSE_RUNTIME_PATH"].c_str(), 1);
  std::printf("ending_take_bench: %s on %s; %ld CPUs, load %s\n", binary.c_str(), display["DISPLAY"].c_str(),
              sysconf(_SC_NPROCESSORS_ONLN), loadAverage().c_str());

  if (only.empty() || only == "flood") {
    std::printf("flood of %zu malformed lines during a take without sound (RSS in MB)\n", lines);
    for (double bytes : lineBytes)
      for (int r = 0; r < rounds; ++r) {
        Flood f = runFlood(binary, dir, lines, size_t(bytes));
        std::printf("  %5zu B a line: before %6.1f  peak %6.1f (%+6.1f)  largest sampled %6.1f  |  %4.2f s, %6.0f k lines/s%s\n",
                    f.lineBytes, f.before / 1024.0, f.peak / 1024.0, (f.peak - f.before) / 1024.0, f.sampledPeak / 1024.0,
                    f.seconds, lines / f.seconds / 1000, f.peakWasReset ? "" : "  (peak not reset: since the start)");
      }
    std::printf("load after the floods: %s\n", loadAverage().c_str());
  }

  if (only.empty() || only == "signal") {
    std::string why;
    auto mic = vantor::test::TonePlayer::start({"micfeed", 440, 0.3, 1}, &why);
    auto speakers = vantor::test::TonePlayer::start({"sysout", 1000, 0.3, 2}, &why);
    if (!mic || !speakers) die(why);
    std::this_thread::sleep_for(1s);
    std::printf("takes with sound ended by SIGTERM and by \"stop\"\n");
    for (double seconds : takeSeconds)
      for (int r = 0; r < signalRounds; ++r)
        for (bool bySignal : {true, false}) {
          Ending e = runEnding(binary, dir, seconds, bySignal, r);
          if (bySignal)
            std::printf("  %3.0f s take, SIGTERM: exit after %6.3f s, %s, %s, %s\n", e.seconds, e.toExit,
                        describeStatus(e.status).c_str(), e.muxed ? "sound combined" : "NOT combined",
                        e.cafLeft ? "CAF LEFT" : "no CAF left");
          else
            std::printf("  %3.0f s take, stop:    \"finished\" after %6.3f s, %s, %s, %s\n", e.seconds, e.toFinished,
                        describeStatus(e.status).c_str(), e.muxed ? "sound combined" : "NOT combined",
                        e.cafLeft ? "CAF LEFT" : "no CAF left");
        }
    std::printf("load after the takes: %s\n", loadAverage().c_str());
  }

  std::string why;
  vantor::test::runServerScript(VANTOR_VIRTUAL_SOUND_SCRIPT, "stop " + sound["PULSE_PID"] + " " + sound["PULSE_DIR"], &why);
  kill(std::atoi(display["XVFB_PID"].c_str()), SIGTERM);
  if (keep) std::printf("movies and logs in %s\n", dir.c_str());
  return 0;
}
