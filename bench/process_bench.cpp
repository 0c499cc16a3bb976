// Benchmarks through the real agent binary and its pipes: what a host sees,
// including the kernel's pipe hand-overs and the agent's own threads.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "command_mix.h"
#include "support/child_process.h"

namespace vantor::bench {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using test::ChildProcess;
using test::ProcessResult;

// The agent writes one log line when it starts and one when input ends.
constexpr size_t kAgentOwnLogLines = 2;

size_t lines(const std::string& text) { return size_t(std::count(text.begin(), text.end(), '\n')); }

// --- Throughput ------------------------------------------------------------

constexpr size_t kProcessLines = 200'000;

// One run: spawn the agent, write the whole stream while reading stdout and
// stderr, and stop the clock when the agent has exited. The time includes
// starting the process, which is small next to the stream.
void BM_CommandLoop_WholeProcess(benchmark::State& state) {
  const MixStream mix = buildMixStream(kProcessLines);

  for (auto _ : state) {
    const Clock::time_point begin = Clock::now();
    std::optional<ChildProcess> agent;
    try {
      agent.emplace(std::vector<std::string>{VANTOR_BINARY});
    } catch (const std::exception& e) {
      state.SkipWithError(e.what());
      break;
    }
    const bool written = agent->write(mix.bytes, 30s);
    const ProcessResult ended = agent->finish(30s);
    const Clock::time_point end = Clock::now();
    state.SetIterationTime(std::chrono::duration<double>(end - begin).count());

    if (!written || !ended.exitedWith(0)) {
      state.SkipWithError("agent did not read all input and exit 0");
      break;
    }
    if (lines(ended.out) != mix.events || lines(ended.err) != mix.logs + kAgentOwnLogLines) {
      state.SkipWithError("answers missing or extra: the agent did not handle every line");
      break;
    }
  }

  const auto runs = static_cast<int64_t>(state.iterations());
  state.SetItemsProcessed(static_cast<int64_t>(mix.lines) * runs);
  state.SetBytesProcessed(static_cast<int64_t>(mix.bytes.size()) * runs);
  state.counters["lines_per_run"] = static_cast<double>(mix.lines);
}

BENCHMARK(BM_CommandLoop_WholeProcess)
    ->Iterations(5)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// --- Latency ---------------------------------------------------------------

constexpr std::string_view kStopLine = "{\"type\":\"stop\"}\n";
constexpr int kWarmUpSamples = 1'000;
constexpr int kSamples = 20'000;
constexpr int kReplyTimeoutMs = 5'000;

// Sends one line and waits for one whole event line in reply.
class RoundTripper {
 public:
  explicit RoundTripper(ChildProcess& agent) : agent_(agent) {}

  // Time from just before the line (newline included) is written until the
  // reply line was read; nullopt on timeout, end of output or a failed write.
  std::optional<Clock::duration> roundTrip(std::string_view line) {
    const Clock::time_point sent = Clock::now();
    if (!agent_.write(line)) return std::nullopt;
    std::optional<std::string> reply = agent_.readStdoutLine(std::chrono::milliseconds(kReplyTimeoutMs));
    if (!reply) return std::nullopt;
    reply_ = std::move(*reply);
    return Clock::now() - sent;
  }

  const std::string& lastReply() const { return reply_; }

 private:
  ChildProcess& agent_;
  std::string reply_;
};

bool isNotRecordingError(const std::string& line) {
  nlohmann::json event = nlohmann::json::parse(line, nullptr, /*allow_exceptions=*/false);
  return event.is_object() && event.value("type", "") == "error" &&
         event.value("message", "") == "not recording";
}

// Nearest-rank percentile of sorted samples.
double percentile(const std::vector<double>& sorted, double p) {
  size_t rank = static_cast<size_t>(std::ceil(p * static_cast<double>(sorted.size())));
  return sorted[std::clamp<size_t>(rank, 1, sorted.size()) - 1];
}

double median(const std::vector<double>& sorted) {
  size_t n = sorted.size();
  return n % 2 ? sorted[n / 2] : (sorted[n / 2 - 1] + sorted[n / 2]) / 2;
}

// Each iteration is one stop command and its "not recording" error event,
// on one long-lived agent, one command in flight at a time.
void BM_StopLatency_WholeProcess(benchmark::State& state) {
  std::optional<ChildProcess> agent;
  try {
    agent.emplace(std::vector<std::string>{VANTOR_BINARY});
  } catch (const std::exception& e) {
    state.SkipWithError(e.what());
    return;
  }
  RoundTripper client(*agent);

  bool ok = true;
  std::string expectedReply;
  for (int i = 0; i < kWarmUpSamples && ok; ++i) {
    ok = client.roundTrip(kStopLine).has_value();
    if (ok && i == 0) {
      expectedReply = client.lastReply();
      ok = isNotRecordingError(expectedReply);
    }
  }
  if (!ok) state.SkipWithError("warm-up: no well-formed \"not recording\" reply to stop");

  std::vector<double> micros;
  micros.reserve(static_cast<size_t>(state.max_iterations));
  for (auto _ : state) {
    if (!ok) break;
    std::optional<Clock::duration> took = client.roundTrip(kStopLine);
    if (!took) {
      state.SkipWithError("no reply to stop in time");
      ok = false;
      break;
    }
    const double seconds = std::chrono::duration<double>(*took).count();
    state.SetIterationTime(seconds);
    micros.push_back(seconds * 1e6);
    if (client.lastReply() != expectedReply) {
      state.SkipWithError("unexpected reply to stop");
      ok = false;
      break;
    }
  }

  if (ok && !agent->finish(5s).exitedWith(0)) state.SkipWithError("agent did not exit 0 at end of input");

  if (!micros.empty()) {
    std::sort(micros.begin(), micros.end());
    state.counters["median_us"] = median(micros);
    state.counters["p99_us"] = percentile(micros, 0.99);
    state.counters["p999_us"] = percentile(micros, 0.999);
    state.counters["max_us"] = micros.back();
    state.counters["samples"] = static_cast<double>(micros.size());
  }
}

BENCHMARK(BM_StopLatency_WholeProcess)
    ->Iterations(kSamples)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace vantor::bench
