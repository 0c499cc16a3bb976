// Screenshots and restarts of the real agent during a display take on a
// private 1920x1080 Xvfb, with ffplay playing testsrc2 (1280x720, 60 fps)
// on screen and a document-like page behind it:
// - command → "screenshotData" latency, median and p99, and the JPEG's size;
// - the bare JPEG encode of the same frame (the screenshot decoded and
//   encoded again, in this process), to show what the agent adds to it;
// - "restart" written → the new take's "recording" read.
// With --still there is no ffplay: the same on a screen that does not move.

#include <turbojpeg.h>

#include <algorithm>
#include <thread>

#include "platform/jpeg.h"
#include "support/screenshot_probe.h"
#include "support/x11_test_windows.h"
#include "take_support.h"

using namespace vantor::bench;
using namespace std::chrono_literals;
using nlohmann::json;

namespace {

double percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  return v.empty() ? NAN : v[std::min(v.size() - 1, size_t(p * double(v.size())))];
}

void report(const char* what, const std::vector<double>& ms) {
  std::printf("%-38s median %7.2f ms  p99 %7.2f ms  max %7.2f ms  (n=%zu)\n", what, percentile(ms, 0.5),
              percentile(ms, 0.99), percentile(ms, 1.0), ms.size());
}

}  // namespace

int main(int argc, char** argv) {
  int shots = 300, restarts = 10;
  bool moving = true;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--still") moving = false;  // no ffplay: what the answer costs on an unloaded machine
    else if (a == "--shots" && i + 1 < argc) shots = std::stoi(argv[++i]);
    else if (a == "--restarts" && i + 1 < argc) restarts = std::stoi(argv[++i]);
    else die("usage: vantor_screenshot_take_bench [--shots N] [--restarts N] [--still]");
  }
  for (const char* tool : {"ffplay", "Xvfb"})
    if (!onPath(tool)) {
      std::fprintf(stderr, "screenshot_take_bench: SKIPPED: %s is not installed\n", tool);
      return 77;
    }
  signal(SIGPIPE, SIG_IGN);
  setvbuf(stdout, nullptr, _IOLBF, 0);
  vantor::test::ScratchDir scratch("vantor-screenshot-bench");
  const fs::path& dir = scratch.path();

  auto display = startServer(VANTOR_VIRTUAL_DISPLAY_SCRIPT, "--size 1920x1080");
  setenv("DISPLAY", display["DISPLAY"].c_str(), 1);
  std::printf("screenshot_take_bench: %s on %s; %ld CPUs, load %s\n", VANTOR_BINARY, display["DISPLAY"].c_str(),
              sysconf(_SC_NPROCESSORS_ONLN), loadAverage().c_str());
  vantor::test::TestWindows x;
  // Text-like stripes over the whole screen, so the JPEG holds more than flat colour.
  x.create({.x = 0, .y = 0, .width = 1920, .height = 1080, .color = 0xf4f4f0});
  for (int y = 40; y < 1040; y += 24)
    x.create({.x = 80 + (y * 37) % 200, .y = y, .width = 900 + (y * 53) % 700, .height = 10, .color = 0x303030});
  std::optional<ChildProcess> player;
  if (moving)
    player.emplace(std::vector<std::string>{"ffplay", "-hide_banner", "-loglevel", "error", "-an", "-f", "lavfi", "-i",
                                            "testsrc2=size=1280x720:rate=60"},
                   vantor::test::ChildOptions{.pipes = false, .stderrFile = dir / "ffplay.log"});
  std::this_thread::sleep_for(1500ms);

  auto agent = startAgent(VANTOR_BINARY, dir / "agent.log");
  std::this_thread::sleep_for(300ms);
  if (!agent->start("", dir / "take.mp4", false)) die("no \"recording\"; see " + (dir / "agent.log").string());
  agent->watch(1s);

  std::vector<double> latency, encode, sizes;
  std::vector<uint8_t> sample;
  for (int i = 0; i < shots; ++i) {
    auto sent = agent->send(json{{"type", "screenshot"}});
    auto answer = agent->waitForType("screenshotData", 5s);
    if (!answer) die("no \"screenshotData\"");
    latency.push_back(secondsBetween(sent, answer->at) * 1000);
    auto bytes = vantor::test::base64Decode(answer->body.at("imageBase64").get<std::string>());
    if (!bytes) die("not Base64");
    sizes.push_back(double(bytes->size()) / 1024);
    if (i == shots / 2) sample = *bytes;
    agent->watch(50ms);
  }
  // The take's own account: frames the encoder dropped while screenshots went ahead of it.
  if (!agent->stop(15s)) die("no \"finished\"; see " + (dir / "agent.log").string());
  std::string written;
  for (std::istringstream log(readAll(dir / "agent.log")); std::getline(log, written);)
    if (written.find("frames written") != std::string::npos) break;
  if (!agent->start("", dir / "take.mp4", false)) die("no \"recording\" for the restarts");
  // The same frame, encoded bare.
  auto decoded = vantor::test::decodeJpeg(sample);
  if (!decoded) die("the screenshot does not decode");
  vantor::platform::PixelBuffer frame{decoded->width, decoded->height, decoded->width * 4, decoded->bgrx.data()};
  for (int i = 0; i < 100; ++i) {
    auto t0 = Clock::now();
    auto jpeg = vantor::encodeJpeg(frame);
    encode.push_back(secondsBetween(t0, Clock::now()) * 1000);
    if (!jpeg) die("cannot encode");
  }

  std::vector<double> restartMs;
  for (int i = 0; i < restarts; ++i) {
    agent->watch(1s);
    auto sent = agent->send(json{{"type", "restart"}});
    auto again = agent->waitForStatus("recording");
    if (!again) die("no \"recording\" after restart");
    restartMs.push_back(secondsBetween(sent, again->at) * 1000);
  }
  agent->watch(1s);  // a stop right after a start may find no frame written yet
  agent->stop();
  agent->finish();

  std::printf("frame %dx%d; JPEG quality %d\n", decoded->width, decoded->height, vantor::kScreenshotJpegQuality);
  report("screenshot command -> event", latency);
  std::printf("the take meanwhile: %s\n", written.c_str());
  report("bare JPEG encode of the same frame", encode);
  report("restart -> recording", restartMs);
  std::printf("%-38s median %7.1f KiB  min %.1f  max %.1f (Base64: 4/3 of it)\n", "JPEG size", percentile(sizes, 0.5),
              percentile(sizes, 0), percentile(sizes, 1.0));
  std::printf("load at the end: %s\n", loadAverage().c_str());
  return 0;
}
