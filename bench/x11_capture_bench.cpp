// X11 capture costs. Per frame: CPU of the capturing thread from grab to a
// finished frame (cursor drawn, content fitted in), beside the bare MIT-SHM
// grab as the floor; the X server's own copy is not in these figures, so
// wall time is reported too. Per second: the process CPU of a running stream
// on an unchanged screen and on one a window repaints at 60 Hz.
//
// Needs DISPLAY (scripts/virtual-display.sh); the 2560x1440 cases start a
// private Xvfb of that size through the same script.

#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <asio/co_spawn.hpp>
#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <thread>
#include <vector>

#include "exec/completion.h"
#include "exec/main_loop.h"
#include "platform/x11/capture_source.h"
#include "platform/x11/connection.h"
#include "platform/x11/content_query.h"
#include "platform/x11/shm_image.h"
#include "platform/x11/x11_screen_capture.h"
#include "platform/x11/x11_stream.h"
#include "support/x11_test_windows.h"

namespace {

using namespace vantor;
using namespace vantor::platform;
using Clock = std::chrono::steady_clock;

double threadCpuMs() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

double processCpuMs() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e3 + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e3;
}

bool haveDisplay() {
  const char* d = std::getenv("DISPLAY");
  return d && *d;
}

double percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  size_t i = std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size() - 1) + 0.5));
  return v[i];
}

void report(benchmark::State& state, const std::vector<double>& cpu, const std::vector<double>& wall) {
  state.counters["cpu_ms_median"] = percentile(cpu, 0.5);
  state.counters["cpu_ms_p99"] = percentile(cpu, 0.99);
  state.counters["wall_ms_median"] = percentile(wall, 0.5);
  state.counters["wall_ms_p99"] = percentile(wall, 0.99);
}

// A private server of another size, shared by the benchmarks that need it.
std::optional<std::string> bigDisplay() {
  static std::unique_ptr<test::VirtualDisplay> server;
  static bool tried = false;
  if (!tried) {
    tried = true;
    std::string why;
    server = test::VirtualDisplay::start(VANTOR_VIRTUAL_DISPLAY_SCRIPT, "--size 2560x1440", &why);
  }
  if (!server) return std::nullopt;
  return server->name();
}

// The floor: one MIT-SHM grab of the whole root, nothing else.
void bareGrab(benchmark::State& state, std::optional<std::string> display) {
  auto conn = x11::Connection::open(display);
  int w = conn->screen().width_in_pixels, h = conn->screen().height_in_pixels;
  x11::ShmSegment shm(*conn, static_cast<size_t>(w) * h * 4);
  std::vector<double> cpu, wall;
  for (auto _ : state) {
    double c0 = threadCpuMs();
    auto t0 = Clock::now();
    bool ok = x11::grabInto(*conn, conn->root(), 0, 0, w, h, shm);
    benchmark::DoNotOptimize(ok);
    wall.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    cpu.push_back(threadCpuMs() - c0);
  }
  report(state, cpu, wall);
}

// What a stream does per frame: grab, cursor, fit into the frame, wrap it.
void frame(benchmark::State& state, std::optional<std::string> display, const ContentFilter& filter, int width,
           int height) {
  auto conn = x11::Connection::open(display);
  x11::CaptureSource source(*conn, filter, false);
  x11::FrameMaker maker(*conn, source, width, height, 4);
  std::vector<double> cpu, wall;
  for (auto _ : state) {
    double c0 = threadCpuMs();
    auto t0 = Clock::now();
    ImageRef image;
    Clock::time_point at;
    auto r = maker.make(image, at);
    FrameRef f = std::make_shared<VideoFrame>(VideoFrame{true, at, std::move(image), 0});
    benchmark::DoNotOptimize(f);
    wall.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    cpu.push_back(threadCpuMs() - c0);
    if (r != x11::FrameMaker::Result::made) {
      state.SkipWithError("could not make a frame");
      break;
    }
  }
  report(state, cpu, wall);
}

ContentFilter firstDisplay(const std::optional<std::string>& display) {
  auto conn = x11::Connection::open(display);
  auto m = x11::queryMonitors(*conn).at(0);
  return ContentFilter::forDisplay({m.id, m.width, m.height});
}

void BM_BareShmGrab_1920x1080(benchmark::State& state) {
  if (!haveDisplay()) return state.SkipWithError("DISPLAY is not set; skipped");
  bareGrab(state, std::nullopt);
}
void BM_DisplayFrame_1920x1080(benchmark::State& state) {
  if (!haveDisplay()) return state.SkipWithError("DISPLAY is not set; skipped");
  frame(state, std::nullopt, firstDisplay(std::nullopt), 1920, 1080);
}
void BM_WindowFrame_1280x720_into_1920x1080(benchmark::State& state) {
  if (!haveDisplay()) return state.SkipWithError("DISPLAY is not set; skipped");
  test::TestWindows x;
  auto w = x.create({.x = 100, .y = 100, .width = 1280, .height = 720, .color = 0x3366cc, .checkerColor = 0xffffff});
  frame(state, std::nullopt, ContentFilter::forWindow({w}), 1920, 1080);
}
void BM_BareShmGrab_2560x1440(benchmark::State& state) {
  if (!haveDisplay()) return state.SkipWithError("DISPLAY is not set; skipped");
  auto big = bigDisplay();
  if (!big) return state.SkipWithError("no private 2560x1440 Xvfb; skipped");
  bareGrab(state, big);
}
void BM_DisplayFrame_2560x1440_scaled_into_1920x1080(benchmark::State& state) {
  if (!haveDisplay()) return state.SkipWithError("DISPLAY is not set; skipped");
  auto big = bigDisplay();
  if (!big) return state.SkipWithError("no private 2560x1440 Xvfb; skipped");
  test::TestWindows x(big->c_str());
  x.create({.x = 0, .y = 0, .width = 2560, .height = 1440, .color = 0x3366cc, .checkerColor = 0xffffff});
  frame(state, big, firstDisplay(big), 1920, 1080);
}

// Repaints a window at 60 Hz from another process, so that its CPU is not ours.
pid_t startRepainter() {
  int ready[2];
  if (pipe(ready) != 0) return -1;
  pid_t pid = fork();
  if (pid == 0) {
    close(ready[0]);
    test::TestWindows x;
    auto w = x.create({.x = 200, .y = 200, .width = 800, .height = 600, .color = 0xff0000});
    char one = 1;
    (void)!write(ready[1], &one, 1);
    auto next = Clock::now();
    for (uint32_t i = 0;; ++i) {
      x.fill(w, i % 2 ? 0xff0000 : 0x00ff00);
      next += std::chrono::microseconds(16667);
      std::this_thread::sleep_until(next);
    }
  }
  close(ready[1]);
  char byte;
  (void)!read(ready[0], &byte, 1);
  close(ready[0]);
  return pid;
}

// Runs a 1080p60 stream of the display for the benchmark's iterations (one
// second each) and reports the process CPU per second.
void streamCost(benchmark::State& state, bool changing) {
  pid_t repainter = changing ? startRepainter() : -1;
  exec::MainLoop main;
  auto service = makeX11ScreenCapture(main);
  auto stream = service->createStream(firstDisplay(std::nullopt), StreamConfiguration{});
  uint64_t handled = 0;
  stream->addStreamOutput([&](FrameRef) { ++handled; }, main);

  auto runFor = [&](auto body) {
    std::exception_ptr failure;
    asio::co_spawn(main.context(), body(), [&](std::exception_ptr e) { failure = e; });
    main.run();
    if (failure) std::rethrow_exception(failure);
  };
  auto sleepOnMain = [&](std::chrono::milliseconds d) -> asio::awaitable<void> {
    asio::steady_timer t(main.context(), d);
    co_await t.async_wait(asio::use_awaitable);
  };
  runFor([&]() -> asio::awaitable<void> {
    co_await exec::awaitCompletion<void>([&](exec::Resolver<void> done) { stream->startCapture(done); });
    co_await sleepOnMain(std::chrono::milliseconds(300));  // past start-up
  });
  double cpu = 0, seconds = 0;
  uint64_t frames0 = handled;
  for (auto _ : state) {
    double c0 = processCpuMs();
    auto t0 = Clock::now();
    runFor([&]() -> asio::awaitable<void> { co_await sleepOnMain(std::chrono::milliseconds(1000)); });
    cpu += processCpuMs() - c0;
    seconds += std::chrono::duration<double>(Clock::now() - t0).count();
  }
  uint64_t frames = handled - frames0;
  runFor([&]() -> asio::awaitable<void> {
    co_await exec::awaitCompletion<void>([&](exec::Resolver<void> done) { stream->stopCapture(done); });
  });
  if (repainter > 0) {
    kill(repainter, SIGKILL);
    waitpid(repainter, nullptr, 0);
  }
  state.counters["cpu_ms_per_s"] = cpu / seconds;
  state.counters["cpu_percent"] = cpu / seconds / 10;
  state.counters["frames_per_s"] = static_cast<double>(frames) / seconds;
  state.counters["dropped"] = static_cast<double>(stream->stats().dropped);
}

void BM_StreamCpu_UnchangedScreen(benchmark::State& state) {
  if (!haveDisplay()) return state.SkipWithError("DISPLAY is not set; skipped");
  streamCost(state, false);
}
void BM_StreamCpu_Repainting60Hz(benchmark::State& state) {
  if (!haveDisplay()) return state.SkipWithError("DISPLAY is not set; skipped");
  streamCost(state, true);
}

BENCHMARK(BM_BareShmGrab_1920x1080)->Iterations(300)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DisplayFrame_1920x1080)->Iterations(300)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WindowFrame_1280x720_into_1920x1080)->Iterations(300)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BareShmGrab_2560x1440)->Iterations(300)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DisplayFrame_2560x1440_scaled_into_1920x1080)->Iterations(300)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StreamCpu_UnchangedScreen)->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StreamCpu_Repainting60Hz)->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace
