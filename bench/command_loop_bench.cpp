// Command throughput inside one process: bytes go through the line splitter
// into the line queue and are handled by the command loop on a main loop,
// exactly as in the agent, but with stdout and stderr replaced by sinks that
// only count, so the figure is the loop's own cost rather than the pipes'.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <asio/co_spawn.hpp>
#include <atomic>
#include <cstdint>
#include <exception>
#include <string>
#include <string_view>
#include <thread>

#include "app/command_loop.h"
#include "platform/sim/sim_audio.h"
#include "platform/sim/sim_media.h"
#include "platform/sim/sim_screen_capture.h"
#include "app/event_writer.h"
#include "app/line_queue.h"
#include "app/line_splitter.h"
#include "util/log.h"
#include "command_mix.h"
#include "control/capture_state.h"
#include "exec/main_loop.h"

namespace vantor::bench {
namespace {

constexpr size_t kLinesPerRun = 200'000;
// The line reader's read size, so the splitter sees the same chunking.
constexpr size_t kChunk = 64 * 1024;

class CountingSink final : public LineSink {
 public:
  void writeLine(std::string_view line) override {
    lines_.fetch_add(1, std::memory_order_relaxed);
    bytes_.fetch_add(line.size(), std::memory_order_relaxed);
  }
  uint64_t lines() const { return lines_.load(std::memory_order_relaxed); }
  uint64_t bytes() const { return bytes_.load(std::memory_order_relaxed); }

 private:
  std::atomic<uint64_t> lines_{0};
  std::atomic<uint64_t> bytes_{0};
};

// Installs counting sinks for events and logs, and puts the real ones back.
class CountedOutput {
 public:
  CountedOutput() {
    app::setEventSink(&events);
    setLogSink(&logs);
  }
  ~CountedOutput() {
    app::setEventSink(nullptr);
    setLogSink(nullptr);
  }
  CountingSink events;
  CountingSink logs;
};

void splitInto(app::LineQueue& queue, std::string_view bytes) {
  app::LineSplitter splitter([&queue](std::string line) { queue.push(std::move(line)); });
  for (size_t at = 0; at < bytes.size(); at += kChunk)
    splitter.append(bytes.substr(at, std::min(kChunk, bytes.size() - at)));
  queue.close();
}

enum class Feed {
  // A reader thread splits and pushes while the loop consumes, as in the agent.
  concurrentReader = 0,
  // Every line is queued before the loop starts: decoding and answering alone,
  // without the cross-thread hand-over of each line.
  queuedUpFront = 1,
};

void BM_CommandLoop_InProcess(benchmark::State& state) {
  const Feed feed = static_cast<Feed>(state.range(0));
  const MixStream mix = buildMixStream(kLinesPerRun);

  CountedOutput output;
  exec::MainLoop main;
  platform::sim::SimScreenCapture screenCapture;  // the mix holds no valid start
  platform::sim::SimMediaServices media;
  platform::sim::SimAudioInput microphone;
  platform::sim::SimSystemAudio systemAudio;
  app::EventLines events;
  CaptureState capture(main, {screenCapture, media, {microphone, systemAudio}, {}}, events);
  app::Protocol protocol(events, {.version = "bench", .platform = "x11"});
  std::atomic<bool> loopFailed{false};

  for (auto _ : state) {
    // Queued up front, every line must fit before the loop runs.
    app::LineQueue queue(feed == Feed::queuedUpFront ? app::LineQueue::kUnbounded : app::LineQueue::kDefaultBound);
    app::CommandLoop loop(queue, capture, protocol);
    asio::co_spawn(main.context(), loop.run(),
                   [&loopFailed](std::exception_ptr failure) {
                     if (failure) loopFailed = true;
                   });
    if (feed == Feed::concurrentReader) {
      std::thread reader([&] { splitInto(queue, mix.bytes); });
      main.run();
      reader.join();
    } else {
      splitInto(queue, mix.bytes);
      main.run();
    }
  }

  const uint64_t runs = static_cast<uint64_t>(state.iterations());
  // Each run also logs its own "stdin closed" line.
  if (loopFailed) {
    state.SkipWithError("command loop failed");
  } else if (output.events.lines() != mix.events * runs ||
             output.logs.lines() != (mix.logs + 1) * runs) {
    state.SkipWithError("answers missing or extra: the loop did not handle every line");
  }
  state.SetItemsProcessed(static_cast<int64_t>(mix.lines * runs));
  state.SetBytesProcessed(static_cast<int64_t>(mix.bytes.size() * runs));
  state.counters["lines_per_run"] = static_cast<double>(mix.lines);
  state.counters["event_bytes_per_line"] =
      static_cast<double>(output.events.bytes()) / static_cast<double>(mix.lines * runs);
  state.SetLabel(feed == Feed::concurrentReader ? "reader thread" : "queued up front");
}

BENCHMARK(BM_CommandLoop_InProcess)
    ->ArgName("queued")
    ->Arg(static_cast<int>(Feed::concurrentReader))
    ->Arg(static_cast<int>(Feed::queuedUpFront))
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(2.0);

}  // namespace
}  // namespace vantor::bench
