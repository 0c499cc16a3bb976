#include "app/ending_signals.h"

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fmt/format.h>
#include <string>
#include <thread>

#include "util/log.h"

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

// A host that stopped reading our standard error leaves the main loop stuck
// in a log write, which is when a second signal is needed: this thread must
// not get stuck beside it.
void logIfItFits(const std::string& message) {
  pollfd p{STDERR_FILENO, POLLOUT, 0};
  if (::poll(&p, 1, 0) == 1 && (p.revents & POLLOUT)) logInfo(message);
}

}  // namespace

void blockEndingSignals() {
  sigset_t set = endingSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void startSignalWatcher(std::function<void()> onFirst) {
  std::thread([onFirst = std::move(onFirst)] {
    pthread_setname_np(pthread_self(), "signals");
    const sigset_t set = endingSignals();
    for (bool first = true;; first = false) {
      int signal;
      while ((signal = sigwaitinfo(&set, nullptr)) < 0 && errno == EINTR) {
      }
      if (signal < 0) return;
      if (first) {
        // Logged first: the agent may be gone soon after onFirst.
        logIfItFits(fmt::format("vantor: {} received, finishing the take", nameOf(signal)));
        onFirst();
      } else {
        logIfItFits(fmt::format("vantor: {} received again, exiting without finishing the take", nameOf(signal)));
        std::_Exit(128 + signal);
      }
    }
  }).detach();
}

}  // namespace vantor::app
