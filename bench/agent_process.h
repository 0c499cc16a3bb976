#pragma once
// The agent binary run as a child with its three standard streams on pipes,
// for the benchmarks that go through the real process.

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string_view>

namespace vantor::bench {

class AgentProcess {
 public:
  // Spawns VANTOR_BINARY; throws std::runtime_error when it cannot.
  AgentProcess();
  // Kills the child if it is still running, then reaps it.
  ~AgentProcess();
  AgentProcess(const AgentProcess&) = delete;
  AgentProcess& operator=(const AgentProcess&) = delete;

  int stdinFd() const { return stdin_; }
  int stdoutFd() const { return stdout_; }
  int stderrFd() const { return stderr_; }

  // Writes all of `bytes` to the child's stdin; false when the child stopped reading.
  bool writeAll(std::string_view bytes);
  // End of input for the child.
  void closeStdin();

  // Waits for the child to exit and returns its wait status, or nullopt if
  // it outlived `limit` (it is then killed, which also unblocks any thread
  // stuck on its pipes).
  std::optional<int> waitExit(std::chrono::milliseconds limit);

 private:
  pid_t pid_ = -1;
  bool reaped_ = false;
  int stdin_ = -1;
  int stdout_ = -1;
  int stderr_ = -1;
};

// Reads `fd` until end of file, counting bytes and newlines. Meant to run on
// a thread of its own so the child never blocks on a full pipe.
struct DrainCount {
  size_t bytes = 0;
  size_t lines = 0;
};
DrainCount drainUntilEof(int fd);

}  // namespace vantor::bench
