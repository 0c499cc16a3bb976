#pragma once
// Runs the real agent binary as a child process with its three standard
// streams on pipes, so tests can talk to it exactly as a host does.
//
// Every operation is bounded by a deadline: a wedged agent makes the test
// fail (and gets killed) instead of hanging the run. While writing stdin the
// helper keeps draining stdout and stderr, so a chatty agent can never
// deadlock against a test that is still sending.

#include <sys/types.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstddef>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vantor::testing {

using namespace std::chrono_literals;
using Millis = std::chrono::milliseconds;

// Generous enough for a loaded CI machine; only hit when something hangs.
inline constexpr Millis kDefaultTimeout = 10s;

struct ProcessResult {
  std::string out;  // everything read from stdout (empty if it was closed early)
  std::string err;  // everything read from stderr
  bool timedOut = false;  // the agent had to be killed
  bool exited = false;    // ended through exit(), not a signal
  int exitCode = -1;
  int signal = 0;  // the terminating signal when !exited

  // Readable summary for assertion messages.
  std::string describeEnd() const;
};

class AgentProcess {
 public:
  // Starts `binary` (the agent by default) with `args` after argv[0].
  explicit AgentProcess(std::vector<std::string> args = {}, std::string binary = VANTOR_BINARY);
  ~AgentProcess();  // kills and reaps the child if it is still running
  AgentProcess(const AgentProcess&) = delete;
  AgentProcess& operator=(const AgentProcess&) = delete;

  // Writes all of `bytes` to the agent's stdin in one go (as few write calls
  // as the pipe allows). False when stdin is closed, the agent stopped
  // reading, or the deadline passed.
  bool write(std::string_view bytes, Millis timeout = kDefaultTimeout);
  // Writes each chunk separately, pausing between them so the agent sees
  // them in separate reads.
  bool writeChunks(const std::vector<std::string>& chunks, Millis pause = 50ms,
                   Millis timeout = kDefaultTimeout);
  void closeStdin();
  // Closes our read end of the agent's stdout, as a host that stops
  // listening would; later writes by the agent fail with EPIPE.
  void closeStdout();
  // Stops reading the agent's stderr, as a host that no longer does: once
  // the pipe is full the agent's log writes wait.
  void holdStderr() { stderrHeld_ = true; }
  // Bytes the agent wrote to its stderr that are still in the pipe.
  size_t stderrUnread() const;

  // The next complete stdout line without its LF, or nullopt on timeout or
  // end of output.
  std::optional<std::string> readStdoutLine(Millis timeout = kDefaultTimeout);
  // Same for stderr.
  std::optional<std::string> readStderrLine(Millis timeout = kDefaultTimeout);

  // Closes stdin, reads both outputs to their end and reaps the agent. On
  // timeout the agent is killed with SIGKILL and `timedOut` is set. Output
  // already consumed by readStdoutLine/readStderrLine is not repeated.
  ProcessResult finish(Millis timeout = kDefaultTimeout);
  // The same with stdin left open: for an agent that ends by itself (a signal).
  ProcessResult waitForExit(Millis timeout = kDefaultTimeout);

  pid_t pid() const { return pid_; }

 private:
  using Clock = std::chrono::steady_clock;
  // Waits up to `until` for any stream to become ready and handles it: reads
  // what is available into the buffers, writes what `pending` allows. Returns
  // false when there is nothing left to wait on or the deadline passed.
  bool pump(Clock::time_point until, std::string_view* pending);
  std::optional<std::string> takeLine(std::string& buffer, int& fd, Millis timeout);
  void killAndReap();

  pid_t pid_ = -1;
  int stdinFd_ = -1;
  int stdoutFd_ = -1;
  int stderrFd_ = -1;
  std::string out_;
  std::string err_;
  bool reaped_ = false;
  bool stderrHeld_ = false;
};

// Splits output into lines at LF. A trailing fragment without LF is kept as
// a last line so tests notice a torn write.
std::vector<std::string> splitLines(std::string_view text);

// True when `line` has no white space outside JSON strings, i.e. it was
// written compact.
bool isCompactJson(std::string_view line);

// Parses one event line; a discarded value when it is not JSON.
nlohmann::json parseEvent(std::string_view line);
// Parses every line of `text` as an event.
std::vector<nlohmann::json> parseEvents(std::string_view text);

// The log lines the agent always writes when it starts and when stdin ends.
inline constexpr std::string_view kStartedLine = "[INFO] vantor: started, waiting for commands on stdin";
inline constexpr std::string_view kExitingLine = "[INFO] vantor: stdin closed, exiting";

inline nlohmann::json errorEvent(std::string_view message) {
  return {{"type", "error"}, {"message", message}};
}
inline const nlohmann::json kNotRecording = errorEvent("not recording");
inline const nlohmann::json kNoScreenshotTarget = errorEvent("screenshot: no active capture target");
inline const nlohmann::json kMalformedStart = errorEvent("malformed start command");

inline std::string malformedJsonLog(std::string_view trimmedLine) {
  return "[ERROR] vantor: malformed JSON: " + std::string(trimmedLine);
}

// Starts the agent, sends `input` in one write, closes stdin and collects
// everything it wrote until it exits.
ProcessResult runAgent(std::string_view input, std::vector<std::string> args = {});

// Exit status 0, the start line first on stderr and the exit line last.
::testing::AssertionResult exitedCleanly(const ProcessResult& result);

// The stderr lines between the start and exit lines: what commands logged.
std::vector<std::string> commandLogLines(const ProcessResult& result);

// Every stdout line is compact JSON equal (as an object, member order aside)
// to the expected event at its position, with no line missing or extra.
::testing::AssertionResult eventsAre(std::string_view out,
                                     const std::vector<nlohmann::json>& expected);

}  // namespace vantor::testing
