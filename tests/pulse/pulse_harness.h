#pragma once
// Shared pieces of the PulseAudio tests: skipping without the private sound
// server of scripts/virtual-sound.sh, and waiting.

#include <gtest/gtest.h>
#include <pthread.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>
#include <span>
#include <string>
#include <thread>

namespace vantor::pulsetest {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Why the tests cannot run here, or empty when the private server (with its
// sinks micfeed and sysout) answers.
inline std::string missingServer() {
  FILE* out = popen("pactl list short sinks 2>&1", "r");
  if (!out) return "cannot run pactl";
  std::string text;
  char buf[256];
  while (size_t n = std::fread(buf, 1, sizeof buf, out)) text.append(buf, n);
  if (pclose(out) != 0) return "no sound server answers (" + text + ")";
  if (text.find("micfeed") == std::string::npos || text.find("sysout") == std::string::npos)
    return "the sound server is not the private one (no sinks micfeed and sysout)";
  return {};
}

#define VANTOR_REQUIRE_SOUND_SERVER()                                                                  \
  do {                                                                                                 \
    if (std::string why = ::vantor::pulsetest::missingServer(); !why.empty())                          \
      GTEST_SKIP() << "SKIPPED: " << why << "; run under scripts/virtual-sound.sh (source it and call " \
                   << "vantor_sound_start), as scripts/test.sh does";                                  \
  } while (0)

// Polls `done` until it answers true or `timeout` passes.
inline bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  auto end = Clock::now() + timeout;
  while (!done()) {
    if (Clock::now() > end) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

}  // namespace vantor::pulsetest
