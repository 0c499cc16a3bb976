// Takes with sound, whole: the agent records a private 1920x1080 Xvfb while a
// private PulseAudio daemon plays into the microphone and the speakers. Both
// servers are started here through scripts/virtual-display.sh and
// scripts/virtual-sound.sh, as scripts/test.sh starts them, and go with this
// process; the user's screen and sound are never touched.
//
//   vantor_sound_take_bench [--rounds10 3] [--rounds60 2] [--sync 2] [--sync-seconds 60] [--click-queues 20,200]
//                           [--only cost|sync|sync-moving] [--keep DIR]
//
// The figures come with the machine's load average: two cores shared with
// other work make CPU differences of a percent or so noisy.
//
// 1. Stop latency ("stop" written to "finished" read) of 10 s and 60 s takes
//    with sound (includeMic, a 440 Hz tone into micfeed, the microphone, and
//    1000 Hz into sysout, the speakers) and without, beside the time ffmpeg
//    takes to re-encode those movies' video (what a muxer that re-exported
//    the picture would pay).
// 2. CPU per second of take that the sound adds: the agent's CPU from
//    "recording" to "stop" (/proc/<pid>/stat), a take with sound less the
//    take without it in the same round, a small window repainted 30 times a
//    second on screen in both. The per-thread figures of the sound's own
//    threads are printed beside, and for each take with sound the length of
//    its sound file against the time recorded and how much of its sound
//    lacks one of the two tones.
// 3. Sound against picture in 60 s takes (--sync-seconds: longer ones, with
//    the memory at minute 1 and at the end, and any sound the mixer had to
//    drop): about 3 s after "recording" and 3 s before the stop the screen (black below a band) turns white and, at the same
//    moment, a 10 ms 2 kHz click goes into sysout; a second later a 5 kHz
//    click goes into micfeed. Each click is written into a playback stream
//    that plays silence from before the take, so it is heard at its write time
//    plus that stream's latency then; the flash is on screen once the X server
//    answered a round trip after it. In the movie: the first picture that is
//    bright, and each click's onset in the decoded AAC track.
//    offset = (sound's movie time - picture's) - (heard - flashed): positive
//    when the movie's sound comes later than its picture. Each take is run
//    with nothing else moving and with the repainted window above the band,
//    and with click streams that keep 20 ms queued (the sinks then run at
//    that latency) and 200 ms (the sinks run at the latency the agent's own
//    streams ask for, as with an ordinary player).
//
// Not a Google Benchmark binary: one take lasts up to a minute and the
// figures are per take.

#include <pulse/pulseaudio.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <numbers>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/movie_probe.h"
#include "support/tone_player.h"
#include "support/x11_test_windows.h"
#include "x11_painter.h"
#include "take_support.h"

namespace {

using namespace std::chrono_literals;
using namespace vantor::bench;
using nlohmann::json;

// ---- The click: silence played without a break, a tone burst on demand

constexpr uint32_t kClickRate = 48000;
constexpr double kClickSeconds = 0.010, kClickAmplitude = 0.5;
// Each sink's clicks at a pitch of their own, so the mix tells them apart.
constexpr double kSpeakerClickHz = 2000, kMicClickHz = 5000;

struct Click {
  Clock::time_point written;
  double latency = NAN;  // seconds from `written` until the click is played
  Clock::time_point heard() const {
    return written + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(latency));
  }
};

class ClickPlayer {
 public:
  // `queued`: how much the stream keeps queued; topped up in quarters of it.
  ClickPlayer(const char* sink, double hz, std::chrono::milliseconds queued) : hz_(hz) {
    loop_ = pa_threaded_mainloop_new();
    pa_threaded_mainloop_start(loop_);
    Lock lock(loop_);
    context_ = pa_context_new(pa_threaded_mainloop_get_api(loop_), "vantor sound bench");
    pa_context_set_state_callback(context_, &signalLoop, loop_);
    if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) die("cannot reach the sound server");
    waitUntil([&] { return !PA_CONTEXT_IS_GOOD(pa_context_get_state(context_)) || ready(context_); });
    if (!ready(context_)) die("cannot reach the sound server");

    const pa_sample_spec spec{PA_SAMPLE_S16LE, kClickRate, 1};
    stream_ = pa_stream_new(context_, "clicks", &spec, nullptr);
    pa_stream_set_state_callback(stream_, &signalLoop, loop_);
    pa_stream_set_write_callback(
        stream_, [](pa_stream*, size_t bytes, void* self) { static_cast<ClickPlayer*>(self)->write(bytes); }, this);
    pa_stream_set_underflow_callback(
        stream_, [](pa_stream*, void* self) { ++static_cast<ClickPlayer*>(self)->underruns_; }, this);
    const pa_usec_t usec = pa_usec_t(std::chrono::microseconds(queued).count());
    pa_buffer_attr attr{uint32_t(-1), uint32_t(pa_usec_to_bytes(usec, &spec)), uint32_t(-1),
                        uint32_t(pa_usec_to_bytes(usec / 4, &spec)), uint32_t(-1)};
    auto flags = pa_stream_flags_t(PA_STREAM_ADJUST_LATENCY | PA_STREAM_INTERPOLATE_TIMING | PA_STREAM_AUTO_TIMING_UPDATE);
    if (pa_stream_connect_playback(stream_, sink, &attr, flags, nullptr, nullptr) < 0) die("cannot play into " + std::string(sink));
    waitUntil([&] { return pa_stream_get_state(stream_) != PA_STREAM_CREATING; });
    if (pa_stream_get_state(stream_) != PA_STREAM_READY) die("cannot play into " + std::string(sink));
  }
  ~ClickPlayer() {
    {
      Lock lock(loop_);
      pa_stream_disconnect(stream_);
      pa_stream_unref(stream_);
      pa_context_disconnect(context_);
      pa_context_unref(context_);
    }
    pa_threaded_mainloop_stop(loop_);
    pa_threaded_mainloop_free(loop_);
  }

  // Starts a click at the stream's next write, a few milliseconds on, and
  // returns once it is written.
  Click click() {
    Lock lock(loop_);
    asked_ = true;
    waitUntil([&] { return !asked_; });
    return last_;
  }

  long underruns() const { return underruns_; }

 private:
  struct Lock {
    explicit Lock(pa_threaded_mainloop* l) : loop(l) { pa_threaded_mainloop_lock(loop); }
    ~Lock() { pa_threaded_mainloop_unlock(loop); }
    pa_threaded_mainloop* loop;
  };
  static void signalLoop(pa_context*, void* loop) { pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(loop), 0); }
  static void signalLoop(pa_stream*, void* loop) { pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(loop), 0); }
  static bool ready(pa_context* c) { return pa_context_get_state(c) == PA_CONTEXT_READY; }
  template <typename F>
  void waitUntil(F done) {
    while (!done()) pa_threaded_mainloop_wait(loop_);
  }

  // On libpulse's thread, the lock held.
  void write(size_t bytes) {
    std::vector<int16_t> samples(bytes / sizeof(int16_t), 0);
    if (asked_) {
      // The latency of what is queued already: the click plays right after it.
      pa_usec_t latency = 0;
      int negative = 0;
      bool known = pa_stream_get_latency(stream_, &latency, &negative) == 0;
      last_ = {Clock::now(), known ? (negative ? -1.0 : 1.0) * double(latency) / 1e6 : NAN};
      clickAt_ = 0;
      asked_ = false;
      pa_threaded_mainloop_signal(loop_, 0);
    }
    const size_t length = size_t(kClickSeconds * kClickRate);
    for (size_t i = 0; i < samples.size() && clickAt_ < length; ++i, ++clickAt_)
      samples[i] = int16_t(32767 * kClickAmplitude * std::sin(2 * std::numbers::pi * hz_ * double(clickAt_) / kClickRate));
    pa_stream_write(stream_, samples.data(), samples.size() * sizeof(int16_t), nullptr, 0, PA_SEEK_RELATIVE);
  }

  const double hz_;
  pa_threaded_mainloop* loop_ = nullptr;
  pa_context* context_ = nullptr;
  pa_stream* stream_ = nullptr;
  bool asked_ = false;
  size_t clickAt_ = SIZE_MAX;
  Click last_;
  std::atomic<long> underruns_{0};
};

// ---- Something moving on screen, the same in every take that wants it

// The moving window stays above this row; the flashes stay below it.
constexpr int kBand = 280;

// A 200x200 window above the band, repainted 30 times a second in turn
// through six colours.
class MovingWindow {
 public:
  MovingWindow(vantor::test::TestWindows& x, const std::string& display)
      : x_(x), window_(x.create({.x = 40, .y = 40, .width = 200, .height = 200, .color = 0, .overrideRedirect = true})),
        painter_(std::make_unique<vantor::bench::Painter>(
            display, window_, std::vector<uint32_t>{0xff0000, 0x00ff00, 0x0000ff, 0xffff00, 0x00ffff, 0xff00ff},
            std::chrono::milliseconds(1000 / 30))) {}
  ~MovingWindow() {
    painter_.reset();  // before the window it paints goes
    x_.destroy(window_);
  }

 private:
  vantor::test::TestWindows& x_;
  uint32_t window_;
  std::unique_ptr<vantor::bench::Painter> painter_;
};

// ---- One take of the agent

struct Take {
  bool sound = false;
  double seconds = 0;
  int round = 0;
  fs::path movie, log;
  Clock::time_point recordingAt;
  double startLatency = NAN, stopLatency = NAN;
  double recorded = 0;      // "recording" read to "stop" written
  double cpuInTake = 0;     // over `recorded`
  double cpuStopping = 0;   // "stop" written to "finished" read
  std::map<std::string, double> threads;  // CPU per thread name over `recorded`
  int micLevels = 0;
  ProcessResult ended;
  std::string muxLine;  // the agent's account of the two durations it combined
  std::string dropLine;  // the agent's, when the mixer dropped sound
  std::string memoryAtEnd;  // /proc status figures before the stop
  double soundFileSeconds = NAN;  // the CAF's, from that line
  double micMissing = 0, micMissingAtStart = 0, speakersMissing = 0;  // seconds of the movie's sound
};

// While a take runs: the time "recording" was read, and a wait until a given
// time that keeps reading the agent's events, so it never waits on a full pipe.
using During = std::function<void(Clock::time_point recording, pid_t agent,
                                  const std::function<void(Clock::time_point)>& waitUntil)>;

// Runs a take of `seconds`; `during` runs once "recording" was read, before
// the stop is due.
Take runTake(const std::string& binary, const fs::path& dir, const std::string& label, bool sound, double seconds,
             int round, const During& during = {}) {
  Take t{sound, seconds, round};
  std::string name = label + (sound ? "-sound-" : "-video-") + std::to_string(int(seconds)) + "s-" + std::to_string(round);
  t.movie = dir / (name + ".mp4");
  t.log = dir / (name + ".log");
  auto agent = startAgent(binary, t.log);
  std::this_thread::sleep_for(300ms);  // ready for commands: a host starts the agent once, not per take
  auto counting = [&t](const char* type, const char* phase) {
    return [&t, type, phase](const json& e) {
      if (e.value("type", "") == "micLevel") ++t.micLevels;
      return e.value("type", "") == type && (!phase || e.value("phase", "") == phase);
    };
  };
  auto startSent = agent->send(vantor::test::startCommand("", t.movie, sound));
  auto recording = agent->waitFor(counting("status", "recording"), 10s);
  if (!recording) die("no \"recording\" from the agent; see " + t.log.string());
  t.recordingAt = recording->at;
  t.startLatency = secondsBetween(startSent, t.recordingAt);
  double cpu0 = processCpu(agent->pid());
  auto threads0 = threadCpu(agent->pid());
  auto waitUntil = [&](Clock::time_point when) {
    agent->waitFor(counting("none", nullptr), std::max(when - Clock::now(), Clock::duration::zero()));
  };
  if (during) during(t.recordingAt, agent->pid(), waitUntil);
  waitUntil(t.recordingAt + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds)));
  for (auto& [thread, cpu] : threadCpu(agent->pid())) t.threads[thread] = cpu - threads0[thread];
  t.memoryAtEnd = memoryOf(agent->pid());
  double cpu1 = processCpu(agent->pid());
  auto stopSent = agent->send(json{{"type", "stop"}});
  auto finished = agent->waitFor(counting("finished", nullptr), 60s);
  if (!finished) die("no \"finished\" from the agent; see " + t.log.string());
  t.stopLatency = secondsBetween(stopSent, finished->at);
  t.cpuStopping = processCpu(agent->pid()) - cpu1;
  t.cpuInTake = cpu1 - cpu0;
  t.recorded = secondsBetween(t.recordingAt, stopSent);
  t.ended = agent->finish();
  std::istringstream lines(readAll(t.log));
  for (std::string line; std::getline(lines, line);)
    if (line.find("mux: audioTrack") != std::string::npos) t.muxLine = line.substr(line.find("mux: "));
    else if (line.find("were dropped") != std::string::npos) t.dropLine = line;
  if (size_t at = t.muxLine.find("aDur="); at != std::string::npos) t.soundFileSeconds = std::atof(t.muxLine.c_str() + at + 5);
  std::fprintf(stderr, "sound_take_bench: %s done\n", name.c_str());
  return t;
}

// ---- Sound against picture

struct Mark {
  double flashed = 0;  // seconds after "recording": the X server had painted the white screen
  double flashSpan = 0;  // the fill's request and round trip
  double heard = 0;    // seconds after "recording": the speakers' click is played
  double latency = 0;  // the click stream's, when the click was written
  double micHeard = 0, micLatency = 0;  // the microphone's click, a second later
};

struct SyncTake {
  bool moving = false;  // the repainted window above the flashes
  int clickQueue = 0;   // ms queued in the click streams
  Take take;
  std::vector<Mark> marks;
  long underruns = 0;
  std::string memoryAtMinute;  // /proc status figures 60 s after "recording", in takes longer than that
  std::vector<double> video, audio, micAudio;  // movie times of the flashes and the two sinks' clicks
  double audioStart = 0, audioSeconds = 0, videoSeconds = 0;
};

// Seconds from "recording" to the first flash, and from the second to the stop.
constexpr double kFlashMargin = 3;

SyncTake runSyncTake(const std::string& binary, const fs::path& dir, const std::string& label, double seconds, bool moving, int round,
                     vantor::test::TestWindows& x, const std::string& display, uint32_t screen, ClickPlayer& clicks,
                     ClickPlayer& micClicks) {
  SyncTake s{moving};
  long underruns0 = clicks.underruns() + micClicks.underruns();
  std::optional<MovingWindow> movingWindow;
  if (moving) movingWindow.emplace(x, display);
  s.take = runTake(binary, dir, label + (moving ? "-moving" : "-still"), true, seconds, round, [&](Clock::time_point recording, pid_t pid, const auto& waitUntil) {
    for (double at : {kFlashMargin, seconds - kFlashMargin}) {
      if (at > 60 && s.memoryAtMinute.empty()) {
        waitUntil(recording + 60s);
        s.memoryAtMinute = memoryOf(pid);
      }
      waitUntil(recording + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(at)));
      Click click = clicks.click();
      auto before = Clock::now();
      x.fill(screen, 0xffffff);  // flushed and answered a round trip: painted
      auto after = Clock::now();
      Mark mark{secondsBetween(recording, before + (after - before) / 2), secondsBetween(before, after),
                secondsBetween(recording, click.heard()), click.latency};
      waitUntil(after + 300ms);
      x.fill(screen, 0x000000);
      // The microphone's path against the same picture: the take has one video zero.
      waitUntil(after + 1s);
      Click micClick = micClicks.click();
      mark.micHeard = secondsBetween(recording, micClick.heard());
      mark.micLatency = micClick.latency;
      s.marks.push_back(mark);
    }
  });
  s.underruns = clicks.underruns() + micClicks.underruns() - underruns0;
  return s;
}

// Movie times where the picture turns bright (mean level over a grid of pixels).
std::vector<double> flashTimes(const fs::path& movie) {
  std::vector<double> out;
  bool bright = false;
  vantor::test::forEachVideoFrame(movie, [&](const vantor::test::DecodedFrame& f) {
    double sum = 0;
    int n = 0;
    for (int y = kBand + 8; y < f.height; y += 16)
      for (int x = 4; x < f.width; x += 16, ++n) sum += f.pixel(x, y)[1];
    bool now = sum / n > 128;
    if (now && !bright) out.push_back(f.pts);
    bright = now;
    return true;
  });
  return out;
}

// Onsets (seconds from the first sample) of the clicks at `hz`: where that
// band's envelope first reaches half the click's peak. A click is a burst
// above kPresent after at least 0.5 s without one.
std::vector<double> clickOnsets(const std::vector<float>& x, int rate, double hz) {
  constexpr double kQ = 8, kPresent = 0.15;
  double w = 2 * std::numbers::pi * hz / rate, alpha = std::sin(w) / (2 * kQ), a0 = 1 + alpha;
  double b0 = alpha / a0, b2 = -alpha / a0, a1 = -2 * std::cos(w) / a0, a2 = (1 - alpha) / a0;
  std::vector<double> envelope(x.size());
  const size_t window = size_t(rate / 1000);  // 1 ms
  double x1 = 0, x2 = 0, y1 = 0, y2 = 0, power = 0;
  std::vector<double> squares(x.size());
  for (size_t i = 0; i < x.size(); ++i) {
    double y = b0 * x[i] + b2 * x2 - a1 * y1 - a2 * y2;
    x2 = x1, x1 = x[i], y2 = y1, y1 = y;
    squares[i] = y * y;
    power += squares[i] - (i >= window ? squares[i - window] : 0);
    envelope[i] = std::sqrt(2 * std::max(power, 0.0) / double(window));  // a sine's peak
  }
  std::vector<double> onsets;
  size_t quietSince = 0;
  for (size_t i = 0; i < x.size(); ++i) {
    if (envelope[i] < kPresent) continue;
    bool fresh = onsets.empty() || i - quietSince > size_t(rate / 2);
    quietSince = i;
    if (!fresh) continue;
    size_t end = std::min(x.size(), i + size_t(rate * 0.03));
    double peak = *std::max_element(envelope.begin() + std::ptrdiff_t(i), envelope.begin() + std::ptrdiff_t(end));
    size_t onset = i;
    while (onset < end && envelope[onset] < peak / 2) ++onset;
    onsets.push_back(double(onset) / rate);
  }
  return onsets;
}

// The detector's own lag: a click written at a known sample of a 16 kHz
// stream under the microphone's tone, as the agent writes them, before AAC.
double detectorLag(double hz) {
  const int rate = 16000;
  std::vector<float> x(rate * 2);
  for (size_t i = 0; i < x.size(); ++i) x[i] = float(0.1 * std::sin(2 * std::numbers::pi * 440 * double(i) / rate));
  const size_t at = rate;
  for (size_t i = 0; i < size_t(kClickSeconds * rate); ++i)
    x[at + i] += float(kClickAmplitude * std::sin(2 * std::numbers::pi * hz * double(i) / rate));
  auto found = clickOnsets(x, rate, hz);
  return found.size() == 1 ? found[0] - double(at) / rate : NAN;
}

void analyse(SyncTake& s) {
  try {
    auto facts = vantor::test::probeMovie(s.take.movie);
    s.videoSeconds = facts.video().duration;
    s.audioStart = facts.audio().startTime;
    s.video = flashTimes(s.take.movie);
    auto sound = vantor::test::decodeAudio(s.take.movie);
    s.audioSeconds = sound.seconds();
    s.audio = clickOnsets(sound.samples, sound.sampleRate, kSpeakerClickHz);
    s.micAudio = clickOnsets(sound.samples, sound.sampleRate, kMicClickHz);
    for (double& a : s.audio) a += s.audioStart;
    for (double& a : s.micAudio) a += s.audioStart;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "sound_take_bench: %s\n", e.what());
  }
}

// Root-mean-square level of `hz` in samples [from, to), as a sine's peak (Goertzel).
double toneLevel(const std::vector<float>& x, int rate, double hz, size_t from, size_t to) {
  double w = 2 * std::numbers::pi * hz / rate, c = 2 * std::cos(w), s1 = 0, s2 = 0;
  for (size_t i = from; i < to; ++i) {
    double s0 = x[i] + c * s1 - s2;
    s2 = s1;
    s1 = s0;
  }
  return 2 * std::sqrt(std::max(s1 * s1 + s2 * s2 - c * s1 * s2, 0.0)) / double(to - from);
}

// How much of a cost take's sound lacks the microphone's tone or the
// speakers' (10 ms pieces at under a third of the tone's level): one source
// written while the other had nothing pending.
void findToneGaps(Take& t) {
  if (!t.sound) return;
  try {
    auto sound = vantor::test::decodeAudio(t.movie);
    const size_t piece = size_t(sound.sampleRate / 100);
    bool started = false;
    for (size_t i = 0; i + piece <= sound.samples.size(); i += piece) {
      bool mic = toneLevel(sound.samples, sound.sampleRate, 440, i, i + piece) > 0.1;
      bool speakers = toneLevel(sound.samples, sound.sampleRate, 1000, i, i + piece) > 0.1;
      started = started || mic;
      if (!mic) (started ? t.micMissing : t.micMissingAtStart) += 0.01;
      if (!speakers) t.speakersMissing += 0.01;
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "sound_take_bench: %s\n", e.what());
  }
}

// ---- ffmpeg re-encoding the video, for reference

struct Reencode {
  double wall = NAN;
  ProcessResult ended;
};

Reencode reencode(const fs::path& movie, const fs::path& dir) {
  fs::path out = dir / ("reencoded-" + movie.filename().string());
  auto began = Clock::now();
  ChildProcess ffmpeg({"ffmpeg", "-hide_banner", "-nostdin", "-loglevel", "error", "-y", "-i", movie.string(), "-c:v",
                       "libx264", "-preset", "ultrafast", "-c:a", "copy", out.string()},
                      {.pipes = false, .stderrFile = dir / ("reencoded-" + movie.stem().string() + ".log")});
  Reencode r;
  r.ended = ffmpeg.waitForExit(300s);
  r.wall = secondsBetween(began, Clock::now());
  if (!r.ended.exitedWith(0)) r.wall = NAN;
  fs::remove(out);
  return r;
}

// ---- Printing

const char* kSoundThreads[] = {"pulse-mic", "pulse-system", "process-tap", "mixer", "audiowriter", "miclevel", "cafwriter"};

double soundThreadsCpu(const Take& t) {
  double sum = 0;
  for (const char* name : kSoundThreads)
    if (auto it = t.threads.find(name); it != t.threads.end()) sum += it->second;
  return sum;
}

std::string threadList(const Take& t) {
  std::string out;
  char item[64];
  for (const char* name : kSoundThreads) {
    auto it = t.threads.find(name);
    if (it == t.threads.end()) continue;
    std::snprintf(item, sizeof item, "%s%s %.2f", out.empty() ? "" : ", ", name, it->second);
    out += item;
  }
  return out;
}

double mean(const std::vector<double>& v) {
  double sum = 0;
  for (double x : v) sum += x;
  return v.empty() ? NAN : sum / double(v.size());
}

double largest(const std::vector<double>& v) { return v.empty() ? NAN : *std::max_element(v.begin(), v.end()); }

void printCost(const std::vector<Take>& takes, const std::map<int, Reencode>& reencoded) {
  std::printf("\n1. takes (a 200x200 window repainted 30/s; tones 440 Hz into micfeed, 1000 Hz into sysout)\n");
  std::printf("%-6s %4s %2s | %7s %7s | %9s %8s %8s | %9s %7s | %s\n", "sound", "take", "#", "start s", "stop s",
              "recorded", "cpu s", "cpu/s", "stopping", "levels", "sound threads' cpu s / agent's mux line");
  for (const auto& t : takes) {
    std::printf("%-6s %3.0fs %2d | %7.3f %7.3f | %8.2fs %8.2f %8.4f | %8.2fs %7d | %s\n", t.sound ? "yes" : "no",
                t.seconds, t.round, t.startLatency, t.stopLatency, t.recorded, t.cpuInTake, t.cpuInTake / t.recorded,
                t.cpuStopping, t.micLevels, t.sound ? threadList(t).c_str() : "");
    if (!t.sound) continue;
    std::printf("%51s%s\n", "", t.muxLine.c_str());
    std::printf("%51ssound file %+.0f ms against the time recorded; the microphone's tone missing for %.0f ms at the "
                "start and %.0f ms later, the speakers' for %.0f ms\n",
                "", (t.soundFileSeconds - t.recorded) * 1000, t.micMissingAtStart * 1000, t.micMissing * 1000,
                t.speakersMissing * 1000);
  }

  std::printf("\nstop latency, \"stop\" written to \"finished\" read (mean, largest)\n");
  for (double seconds : {10.0, 60.0}) {
    std::vector<double> with, without;
    for (const auto& t : takes)
      if (t.seconds == seconds) (t.sound ? with : without).push_back(t.stopLatency);
    if (with.empty() && without.empty()) continue;
    std::printf("  %2.0f s take: with sound %.3f s (%.3f), without %.3f s (%.3f)", seconds, mean(with), largest(with),
                mean(without), largest(without));
    if (auto r = reencoded.find(int(seconds)); r != reencoded.end())
      std::printf(" | ffmpeg re-encoding that movie's video (libx264 ultrafast, sound copied): %.2f s wall, %.2f s cpu",
                  r->second.wall, r->second.ended.cpuSeconds());
    std::printf("\n");
  }

  std::printf("\nCPU the sound adds, per second of take (with sound less without, same round and length)\n");
  std::vector<double> all;
  for (const auto& s : takes) {
    if (!s.sound) continue;
    for (const auto& v : takes) {
      if (v.sound || v.seconds != s.seconds || v.round != s.round) continue;
      double added = s.cpuInTake / s.recorded - v.cpuInTake / v.recorded;
      all.push_back(added);
      std::printf("  %2.0f s #%d: %.4f - %.4f = %+.4f cpu s/s (%+.1f%% of a core); the sound's threads %.4f cpu s/s; "
                  "threads that differ by 0.003 or more:",
                  s.seconds, s.round, s.cpuInTake / s.recorded, v.cpuInTake / v.recorded, added, added * 100,
                  soundThreadsCpu(s) / s.recorded);
      std::map<std::string, double> byThread;
      for (const auto& [name, cpu] : s.threads) byThread[name] += cpu / s.recorded;
      for (const auto& [name, cpu] : v.threads) byThread[name] -= cpu / v.recorded;
      for (const auto& [name, diff] : byThread)
        if (std::abs(diff) >= 0.003) std::printf(" %s %+.4f", name.c_str(), diff);
      std::printf("\n");
    }
  }
  std::printf("  mean %+.4f cpu s/s (%+.1f%% of a core)\n", mean(all), mean(all) * 100);
}

void printSync(const std::vector<SyncTake>& takes, double lag, double micLag) {
  const double seconds = takes.empty() ? 60 : takes[0].take.seconds;
  std::printf("\n3. sound against picture in %.0f s takes: at %.0f s and %.0f s the screen below row %d flashes white as a "
              "%.0f Hz click goes into sysout; 1 s later a %.0f Hz click goes into micfeed (the microphone, which also "
              "hears a 440 Hz tone)\n",
              seconds, kFlashMargin, seconds - kFlashMargin, kBand, kSpeakerClickHz, kMicClickHz);
  std::printf("   times in s after \"recording\" was read; the detector's lag on uncoded clicks, taken off: %.2f ms "
              "(speakers), %.2f ms (microphone)\n   still: nothing else moves; moving: the 200x200 window repainted "
              "30/s above the flashes. Click queue: what the click streams keep queued (sets the sinks' latency)\n",
              lag * 1000, micLag * 1000);
  struct Sums {
    std::vector<double> start, end, micStart, micEnd;
  };
  std::map<std::pair<int, bool>, Sums> sums;
  for (const auto& s : takes) {
    std::printf("  queue %d ms, %s #%d: movie video %.3f s, audio %.3f s (first sample at %.3f s); %zu flashes, %zu + %zu "
                "clicks found; %ld underruns of the click streams; %d micLevel events; stop %.3f s\n    %s\n",
                s.clickQueue, s.moving ? "moving" : "still", s.take.round, s.videoSeconds, s.audioSeconds, s.audioStart,
                s.video.size(), s.audio.size(), s.micAudio.size(), s.underruns, s.take.micLevels, s.take.stopLatency,
                s.take.muxLine.c_str());
    if (!s.memoryAtMinute.empty())
      std::printf("    memory at minute 1: %s\n    memory at the end:  %s\n", s.memoryAtMinute.c_str(),
                  s.take.memoryAtEnd.c_str());
    std::printf("    %s\n", s.take.dropLine.empty() ? "the mixer dropped no sound" : s.take.dropLine.c_str());
    if (s.video.size() != 2 || s.audio.size() != 2 || s.micAudio.size() != 2 || s.marks.size() != 2) {
      std::printf("    flashes at");
      for (double v : s.video) std::printf(" %.3f", v);
      std::printf(" s, speakers' clicks at");
      for (double a : s.audio) std::printf(" %.3f", a - lag);
      std::printf(" s, microphone's at");
      for (double a : s.micAudio) std::printf(" %.3f", a - micLag);
      std::printf(" s: cannot pair them with the marks\n");
      continue;
    }
    double offset[2], micOffset[2], videoZero[2], audioZero[2];
    for (size_t i = 0; i < 2; ++i) {
      const Mark& m = s.marks[i];
      double audio = s.audio[i] - lag, mic = s.micAudio[i] - micLag;
      videoZero[i] = m.flashed - s.video[i];
      audioZero[i] = m.heard - audio;
      offset[i] = videoZero[i] - audioZero[i];
      micOffset[i] = videoZero[i] - (m.micHeard - mic);
      std::printf("    %-5s flashed %7.3f (fill + round trip %.1f ms), movie %7.3f: video's zero %+6.1f ms | speakers: "
                  "heard %7.3f (latency %5.1f ms), movie %7.3f: zero %+6.1f ms, offset %+6.1f ms %s | microphone: heard "
                  "%7.3f (latency %5.1f ms), movie %7.3f, offset %+6.1f ms %s\n",
                  i == 0 ? "start" : "end", m.flashed, m.flashSpan * 1000, s.video[i], videoZero[i] * 1000, m.heard,
                  m.latency * 1000, audio, audioZero[i] * 1000, offset[i] * 1000,
                  std::abs(offset[i]) <= 0.05 ? "(ok)" : "(BEYOND 50 ms)", m.micHeard, m.micLatency * 1000, mic,
                  micOffset[i] * 1000, std::abs(micOffset[i]) <= 0.05 ? "(ok)" : "(BEYOND 50 ms)");
    }
    Sums& sum = sums[{s.clickQueue, s.moving}];
    sum.start.push_back(offset[0]);
    sum.end.push_back(offset[1]);
    sum.micStart.push_back(micOffset[0]);
    sum.micEnd.push_back(micOffset[1]);
    std::printf("    end - start: speakers' offset %+.1f ms, microphone's %+.1f ms | speakers' clicks %.3f s apart in the "
                "movie, %.3f s when played (%+.1f ms) | flashes %.3f s apart in the movie, %.3f s on screen (%+.1f ms)\n",
                (offset[1] - offset[0]) * 1000, (micOffset[1] - micOffset[0]) * 1000, s.audio[1] - s.audio[0],
                s.marks[1].heard - s.marks[0].heard, (audioZero[0] - audioZero[1]) * 1000, s.video[1] - s.video[0],
                s.marks[1].flashed - s.marks[0].flashed, (videoZero[0] - videoZero[1]) * 1000);
  }
  std::printf("  means (offset = sound's time - picture's, for one instant; positive: the sound comes late)\n");
  for (const auto& [key, sum] : sums)
    std::printf("    queue %3d ms, %-6s: speakers start %+6.1f end %+6.1f (end - start %+6.1f) | microphone start %+6.1f "
                "end %+6.1f (end - start %+6.1f) ms\n",
                key.first, key.second ? "moving" : "still", mean(sum.start) * 1000, mean(sum.end) * 1000,
                (mean(sum.end) - mean(sum.start)) * 1000, mean(sum.micStart) * 1000, mean(sum.micEnd) * 1000,
                (mean(sum.micEnd) - mean(sum.micStart)) * 1000);
}

}  // namespace

int main(int argc, char** argv) {
  int rounds10 = 3, rounds60 = 2, syncRounds = 2;
  double syncSeconds = 60;
  std::vector<int> clickQueues = {20, 200};
  std::string only;
  std::optional<fs::path> keep;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) die(a + " needs a value");
      return argv[++i];
    };
    if (a == "--rounds10") rounds10 = std::stoi(value());
    else if (a == "--rounds60") rounds60 = std::stoi(value());
    else if (a == "--sync") syncRounds = std::stoi(value());
    else if (a == "--sync-seconds") syncSeconds = std::stod(value());
    else if (a == "--click-queues") {
      clickQueues.clear();
      std::istringstream list(value());
      for (std::string ms; std::getline(list, ms, ',');) clickQueues.push_back(std::stoi(ms));
    }
    else if (a == "--only") only = value();
    else if (a == "--keep") keep = value();
    else die("usage: vantor_sound_take_bench [--rounds10 N] [--rounds60 N] [--sync N] [--sync-seconds S] [--click-queues MS,MS] [--only cost|sync|sync-moving] [--keep DIR]");
  }
  for (const char* tool : {"ffmpeg", "Xvfb", "pulseaudio", "pactl"})
    if (!onPath(tool)) {
      std::fprintf(stderr, "sound_take_bench: SKIPPED: %s is not installed\n", tool);
      return 77;
    }
  signal(SIGPIPE, SIG_IGN);
  setvbuf(stdout, nullptr, _IOLBF, 0);

  vantor::test::ScratchDir scratch("vantor-sound-take-bench");
  fs::path dir;
  if (keep) {
    dir = *keep;
    fs::create_directories(dir);
  } else {
    dir = scratch.path();
  }

  auto server = startServer(VANTOR_VIRTUAL_DISPLAY_SCRIPT, "--size 1920x1080");
  const std::string display = server["DISPLAY"];
  setenv("DISPLAY", display.c_str(), 1);
  auto sound = startServer(VANTOR_VIRTUAL_SOUND_SCRIPT);
  setenv("PULSE_SERVER", sound["PULSE_SERVER"].c_str(), 1);
  setenv("PULSE_RUNTIME_PATH", sound["PULSE_RUNTIME_PATH"].c_str(), 1);
  const std::string binary = VANTOR_BINARY;
  std::printf("sound_take_bench: %s on %s, sound server %s; %ld CPUs, load %s\n", binary.c_str(),
              display.c_str(), sound["PULSE_SERVER"].c_str(), sysconf(_SC_NPROCESSORS_ONLN),
              loadAverage().c_str());

  std::vector<Take> takes;
  std::vector<SyncTake> syncTakes;
  std::string why;
  vantor::test::TestWindows x;
  if (only.empty() || only == "cost") {
    MovingWindow moving(x, display);
    auto mic = vantor::test::TonePlayer::start({"micfeed", 440, 0.3, 1}, &why);
    auto speakers = vantor::test::TonePlayer::start({"sysout", 1000, 0.3, 2}, &why);
    if (!mic || !speakers) die(why);
    std::this_thread::sleep_for(1s);
    for (int r = 0; r < std::max(rounds10, rounds60); ++r) {
      for (double seconds : {10.0, 60.0}) {
        if (r >= (seconds == 10 ? rounds10 : rounds60)) continue;
        // Which goes first alternates, so neither always meets the machine as the other left it.
        for (bool withSound : {r % 2 == 0, r % 2 != 0}) takes.push_back(runTake(binary, dir, "cost", withSound, seconds, r));
      }
    }
  }
  std::printf("load after the cost takes: %s\n", loadAverage().c_str());
  if (only.empty() || only.starts_with("sync")) {
    uint32_t screen = x.create({.x = 0, .y = kBand, .width = x.screenWidth(), .height = x.screenHeight() - kBand,
                                .color = 0, .overrideRedirect = true});
    auto mic = vantor::test::TonePlayer::start({"micfeed", 440, 0.1, 1}, &why);
    if (!mic) die(why);
    for (int queued : clickQueues) {
      // The sinks run at the smallest latency their streams ask for: the
      // clicks' queue sets how the sound reaches the agent.
      ClickPlayer clicks("sysout", kSpeakerClickHz, std::chrono::milliseconds(queued));
      ClickPlayer micClicks("micfeed", kMicClickHz, std::chrono::milliseconds(queued));
      std::this_thread::sleep_for(1s);
      std::string label = "sync-" + std::to_string(queued) + "ms";
      for (int r = 0; r < syncRounds; ++r)
        for (bool moving : {false, true})
          if (moving || only != "sync-moving") syncTakes.push_back(runSyncTake(binary, dir, label, syncSeconds, moving, r, x, display, screen, clicks, micClicks));
      for (auto& s : syncTakes)
        if (!s.clickQueue) s.clickQueue = queued;
    }
  }
  std::printf("load after the takes: %s\n", loadAverage().c_str());

  std::fprintf(stderr, "sound_take_bench: decoding and re-encoding the movies\n");
  std::map<int, Reencode> reencoded;
  for (const auto& t : takes)
    if (t.sound && t.round == 0) reencoded[int(t.seconds)] = reencode(t.movie, dir);
  for (auto& t : takes) findToneGaps(t);
  for (auto& s : syncTakes) analyse(s);

  if (!takes.empty()) printCost(takes, reencoded);
  if (!syncTakes.empty()) printSync(syncTakes, detectorLag(kSpeakerClickHz), detectorLag(kMicClickHz));

  vantor::test::runServerScript(VANTOR_VIRTUAL_SOUND_SCRIPT, "stop " + sound["PULSE_PID"] + " " + sound["PULSE_DIR"], &why);
  kill(std::atoi(server["XVFB_PID"].c_str()), SIGTERM);
  if (keep) std::printf("movies and logs in %s\n", dir.c_str());
  return 0;
}
