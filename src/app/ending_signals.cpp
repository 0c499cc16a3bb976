#include "app/ending_signals.h"

#include <pthread.h>
#include <signal.h>

#include <cerrno>
#include <cstdlib>
#include <fmt/format.h>
#include <thread>

#include "app/log.h"

namespace vantor::app {
namespace {

sigset_t endingSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGHUP);
  return set;
}

const char* nameOf(int signal) {
  switch (signal) {
    case SIGTERM: return "SIGTERM";
    case SIGINT: return "SIGINT";
    case SIGHUP: return "SIGHUP";
  }
  return "signal";
}

}  // namespace

void blockEndingSignals() {
  sigset_t set = endingSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void startSignalWatcher(exec::Loop& loop, std::function<void()> onFirst) {
  std::thread([&loop, onFirst = std::move(onFirst)] {
    pthread_setname_np(pthread_self(), "signals");
    const sigset_t set = endingSignals();
    for (bool first = true;; first = false) {
      int signal;
      while ((signal = sigwaitinfo(&set, nullptr)) < 0 && errno == EINTR) {
      }
      if (signal < 0) return;
      if (first) {
        logInfo(fmt::format("vantor: {} received, finishing the take", nameOf(signal)));
        loop.post(onFirst);
      } else {
        logInfo(fmt::format("vantor: {} received again, exiting without finishing the take", nameOf(signal)));
        std::_Exit(128 + signal);
      }
    }
  }).detach();
}

}  // namespace vantor::app
