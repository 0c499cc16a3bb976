// Sound capture costs over PulseAudio, with tones playing into the private
// server's micfeed (the microphone) and sysout (the speakers):
// - CPU per second of the threads that capture: the microphone client's
//   ("pulse-mic", which runs the tap), the system-audio client's
//   ("pulse-system", which copies and hands over) and the serial queue that
//   runs the system-audio block, with both captures running together. The
//   tap and the block only sum the samples; what the take does with them is
//   not in these figures.
// - Latency from startDevice (or the microphone's start) to the first block.
//
// Needs the private server of scripts/virtual-sound.sh (PULSE_SERVER).

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <thread>
#include <vector>

#include "exec/serial_queue.h"
#include "platform/pulse/pulse_audio.h"
#include "support/tone_player.h"

namespace {

using namespace vantor;
using namespace vantor::platform;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

bool haveSoundServer() { return std::system("pactl list short sinks 2>/dev/null | grep -q micfeed") == 0; }

// CPU time (ns) of this process's threads named `name`, from the scheduler's
// own accounting.
double threadCpuNs(const std::string& name) {
  double total = 0;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    std::ifstream comm(task.path() / "comm");
    std::string n;
    std::getline(comm, n);
    if (n != name) continue;
    std::ifstream stat(task.path() / "schedstat");
    double ns = 0;
    stat >> ns;
    total += ns;
  }
  return total;
}

double percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, size_t(p * double(v.size() - 1) + 0.5))];
}

void drain(exec::Loop& queue) {
  std::promise<void> done;
  queue.post([&] { done.set_value(); });
  done.get_future().wait();
}

// A system-audio chain on `queue` whose block calls `onBlock`; once it is
// gone no block runs.
struct Chain {
  SystemAudioService& service;
  exec::Loop& queue;
  uint32_t tap = 0, device = 0;
  SystemAudioService::IOProcHandle proc = 0;

  Chain(SystemAudioService& s, exec::Loop& q, std::function<void(const AudioBufferView&)> onBlock)
      : service(s), queue(q) {
    if (s.createProcessTap({.uuid = "BENCH"}, tap) != 0 ||
        s.createAggregateDevice({.name = "Vantor benchmark", .tapUIDs = {"BENCH"}}, device) != 0 ||
        s.createIOProc(device, queue, [onBlock](std::span<const AudioBufferView> in) { onBlock(in[0]); }, proc) != 0)
      throw std::runtime_error("cannot create the system-audio chain");
  }
  ~Chain() {
    service.stopDevice(device, proc);
    service.destroyIOProc(device, proc);
    service.destroyAggregateDevice(device);
    service.destroyProcessTap(tap);
    drain(queue);
  }
};

void BM_CaptureCpu_MicAndSystemAudio(benchmark::State& state) {
  if (!haveSoundServer()) return state.SkipWithError("no private sound server (scripts/virtual-sound.sh); skipped");
  std::string why;
  auto mic = test::TonePlayer::start({.sink = "micfeed", .frequency = 440, .amplitude = 0.3}, &why);
  auto speakers = test::TonePlayer::start({.frequency = 1000, .amplitude = 0.3, .channels = 2}, &why);
  if (!mic || !speakers) return state.SkipWithError(why.c_str());

  exec::SerialQueue queue(".helper.systemaudio");
  auto sound = makePulseAudioServices();
  std::atomic<double> sink{0};
  std::atomic<long> micFrames{0}, systemBytes{0};
  AudioFormat format = sound.input->inputFormat();
  sound.input->installTap(4096, format, [&](const PcmBuffer& b) {
    double s = 0;
    for (float x : b.floatData) s += x;
    sink = sink + s;
    micFrames += b.frameLength;
  });
  Chain chain(*sound.systemAudio, queue, [&](const AudioBufferView& v) {
    const auto* f = static_cast<const float*>(v.data);
    double s = 0;
    for (uint32_t i = 0; i < v.byteSize / 4; ++i) s += f[i];
    sink = sink + s;
    systemBytes += v.byteSize;
  });
  sound.input->start();
  if (sound.systemAudio->startDevice(chain.device, chain.proc) != 0) return state.SkipWithError("startDevice failed");
  std::this_thread::sleep_for(1s);  // past the start-up of both streams

  const double seconds = 5;
  double micNs = 0, systemNs = 0, queueNs = 0, wall = 0;
  long frames0 = micFrames, bytes0 = systemBytes;
  for (auto _ : state) {
    double m0 = threadCpuNs("pulse-mic"), s0 = threadCpuNs("pulse-system"), q0 = threadCpuNs("systemaudio");
    auto t0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    wall += std::chrono::duration<double>(Clock::now() - t0).count();
    micNs += threadCpuNs("pulse-mic") - m0;
    systemNs += threadCpuNs("pulse-system") - s0;
    queueNs += threadCpuNs("systemaudio") - q0;
  }
  sound.input->stop();
  sound.systemAudio->stopDevice(chain.device, chain.proc);
  double measured = double(state.iterations()) * seconds;
  state.counters["mic_ms_per_s"] = micNs / 1e6 / wall;
  state.counters["system_ms_per_s"] = systemNs / 1e6 / wall;
  state.counters["queue_ms_per_s"] = queueNs / 1e6 / wall;
  state.counters["total_ms_per_s"] = (micNs + systemNs + queueNs) / 1e6 / wall;
  // What arrived, against real time: 1.0 means nothing was lost.
  state.counters["mic_realtime"] = double(micFrames - frames0) / 48000 / measured;
  state.counters["system_realtime"] = double(systemBytes - bytes0) / (48000 * 8) / measured;
}
BENCHMARK(BM_CaptureCpu_MicAndSystemAudio)->Iterations(3)->Unit(benchmark::kMillisecond);

// startDevice to the first block on the queue, over fresh chains; with the
// speakers idle (the null sink's slow case) or playing a tone.
void BM_SystemAudioFirstBlock(benchmark::State& state) {
  if (!haveSoundServer()) return state.SkipWithError("no private sound server (scripts/virtual-sound.sh); skipped");
  std::unique_ptr<test::TonePlayer> tone;
  std::string why;
  if (state.range(0)) {
    tone = test::TonePlayer::start({.frequency = 1000, .amplitude = 0.3, .channels = 2}, &why);
    if (!tone) return state.SkipWithError(why.c_str());
    std::this_thread::sleep_for(500ms);
  }
  exec::SerialQueue queue(".helper.systemaudio");
  auto sound = makePulseAudioServices();
  std::vector<double> startMs, firstMs;
  for (auto _ : state) {
    std::promise<Clock::time_point> first;
    std::atomic<bool> seen{false};
    Chain chain(*sound.systemAudio, queue, [&](const AudioBufferView&) {
      if (!seen.exchange(true)) first.set_value(Clock::now());
    });
    auto t0 = Clock::now();
    if (sound.systemAudio->startDevice(chain.device, chain.proc) != 0) return state.SkipWithError("startDevice failed");
    startMs.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    auto f = first.get_future();
    if (f.wait_for(5s) != std::future_status::ready) return state.SkipWithError("no first block in 5 s");
    firstMs.push_back(std::chrono::duration<double, std::milli>(f.get() - t0).count());
    sound.systemAudio->stopDevice(chain.device, chain.proc);
    std::this_thread::sleep_for(300ms);  // let the sink go idle again
  }
  state.counters["startDevice_ms_median"] = percentile(startMs, 0.5);
  state.counters["first_block_ms_median"] = percentile(firstMs, 0.5);
  state.counters["first_block_ms_p90"] = percentile(firstMs, 0.9);
  state.counters["first_block_ms_max"] = percentile(firstMs, 1.0);
  state.SetLabel(state.range(0) ? "speakers playing" : "speakers idle");
}
BENCHMARK(BM_SystemAudioFirstBlock)->ArgName("playing")->Arg(0)->Arg(1)->Iterations(20)->Unit(benchmark::kMillisecond);

// The microphone's start() to its first tap block.
void BM_MicFirstBlock(benchmark::State& state) {
  if (!haveSoundServer()) return state.SkipWithError("no private sound server (scripts/virtual-sound.sh); skipped");
  auto sound = makePulseAudioServices();
  AudioFormat format = sound.input->inputFormat();
  std::vector<double> startMs, firstMs;
  for (auto _ : state) {
    std::promise<Clock::time_point> first;
    std::atomic<bool> seen{false};
    sound.input->installTap(4096, format, [&](const PcmBuffer&) {
      if (!seen.exchange(true)) first.set_value(Clock::now());
    });
    auto t0 = Clock::now();
    sound.input->start();
    startMs.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    auto f = first.get_future();
    if (f.wait_for(5s) != std::future_status::ready) return state.SkipWithError("no first block in 5 s");
    firstMs.push_back(std::chrono::duration<double, std::milli>(f.get() - t0).count());
    sound.input->stop();
  }
  state.counters["start_ms_median"] = percentile(startMs, 0.5);
  state.counters["first_block_ms_median"] = percentile(firstMs, 0.5);
  state.counters["first_block_ms_max"] = percentile(firstMs, 1.0);
}
BENCHMARK(BM_MicFirstBlock)->Iterations(20)->Unit(benchmark::kMillisecond);

}  // namespace
