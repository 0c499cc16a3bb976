#pragma once
// SIGTERM, SIGINT and SIGHUP in command mode: the first one finishes the take
// and ends the agent, a second one ends it at once.
//
// The signals are blocked in every thread and taken by one thread of its own
// with sigwaitinfo(2), so no code runs in a signal handler and no thread
// (libpulse's, FFmpeg's, the X streams') is ever interrupted or killed by
// them.

#include <functional>

namespace vantor::app {

// Blocks the three signals in the calling thread. Call it first in main,
// before any thread starts: threads inherit the mask, and one thread that
// left them unblocked would be killed by them, taking the process along.
void blockEndingSignals();

// Starts the "signals" thread. The first signal is logged and `onFirst` runs
// there (it must not wait); any later one is logged and ends the process at
// once with status 128 + its number, whatever the main loop is doing. The
// thread never waits on standard error: a log line that does not fit into it
// at once is dropped. Signals that came before this call are taken then.
void startSignalWatcher(std::function<void()> onFirst);

}  // namespace vantor::app
