#include "support/agent_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace vantor::testing {
namespace {

void closeFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

void setNonBlocking(int fd) {
  int flags = ::fcntl(fd, F_GETFL);
  ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

[[noreturn]] void fail(const char* what, int error) {
  throw std::runtime_error(std::string(what) + ": " + std::strerror(error));
}

// The test process writes to pipes whose reader may be gone; that must show
// up as EPIPE, not end the test run. The child gets the default disposition
// back (see the spawn attributes) so the agent's own handling is what's tested.
void ignoreSigpipeHere() {
  static const bool done = [] {
    std::signal(SIGPIPE, SIG_IGN);
    return true;
  }();
  (void)done;
}

}  // namespace

std::string ProcessResult::describeEnd() const {
  if (timedOut) return "timed out and was killed";
  if (exited) return "exited with status " + std::to_string(exitCode);
  return "killed by signal " + std::to_string(signal) + " (" + strsignal(signal) + ")";
}

AgentProcess::AgentProcess(std::vector<std::string> args, std::string binary) {
  ignoreSigpipeHere();

  int in[2], out[2], err[2];
  if (::pipe2(in, O_CLOEXEC) != 0) fail("pipe", errno);
  if (::pipe2(out, O_CLOEXEC) != 0) fail("pipe", errno);
  if (::pipe2(err, O_CLOEXEC) != 0) fail("pipe", errno);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  // dup2 clears close-on-exec on the target, so only 0, 1 and 2 survive exec.
  posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);

  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t defaults, empty;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  sigemptyset(&empty);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setsigmask(&attr, &empty);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

  std::vector<char*> argv;
  argv.push_back(binary.data());
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  int rc = ::posix_spawn(&pid_, binary.c_str(), &actions, &attr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);

  ::close(in[0]);
  ::close(out[1]);
  ::close(err[1]);
  stdinFd_ = in[1];
  stdoutFd_ = out[0];
  stderrFd_ = err[0];
  if (rc != 0) {
    closeFd(stdinFd_);
    closeFd(stdoutFd_);
    closeFd(stderrFd_);
    pid_ = -1;
    fail(("posix_spawn " + binary).c_str(), rc);
  }
  setNonBlocking(stdinFd_);
  setNonBlocking(stdoutFd_);
  setNonBlocking(stderrFd_);
}

AgentProcess::~AgentProcess() {
  closeFd(stdinFd_);
  closeFd(stdoutFd_);
  closeFd(stderrFd_);
  if (pid_ > 0 && !reaped_) killAndReap();
}

void AgentProcess::killAndReap() {
  ::kill(pid_, SIGKILL);
  int status;
  while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  reaped_ = true;
}

bool AgentProcess::pump(Clock::time_point until, std::string_view* pending) {
  pollfd fds[3];
  int n = 0;
  int outIndex = -1, errIndex = -1, inIndex = -1;
  if (stdoutFd_ >= 0) {
    outIndex = n;
    fds[n++] = {stdoutFd_, POLLIN, 0};
  }
  if (stderrFd_ >= 0 && !stderrHeld_) {
    errIndex = n;
    fds[n++] = {stderrFd_, POLLIN, 0};
  }
  if (pending && !pending->empty() && stdinFd_ >= 0) {
    inIndex = n;
    fds[n++] = {stdinFd_, POLLOUT, 0};
  }
  if (n == 0) return false;

  auto left = std::chrono::duration_cast<Millis>(until - Clock::now());
  if (left.count() <= 0) return false;
  int ready = ::poll(fds, n, static_cast<int>(std::min<long long>(left.count(), 1000)));
  if (ready < 0 && errno != EINTR) return false;
  if (ready <= 0) return Clock::now() < until;

  auto drain = [](pollfd& p, int& fd, std::string& into) {
    if (!(p.revents & (POLLIN | POLLHUP | POLLERR))) return;
    char chunk[256 * 1024];
    ssize_t got = ::read(fd, chunk, sizeof chunk);
    if (got > 0) {
      into.append(chunk, static_cast<size_t>(got));
    } else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
      closeFd(fd);
    }
  };
  if (outIndex >= 0) drain(fds[outIndex], stdoutFd_, out_);
  if (errIndex >= 0) drain(fds[errIndex], stderrFd_, err_);
  if (inIndex >= 0 && (fds[inIndex].revents & (POLLOUT | POLLERR | POLLHUP))) {
    ssize_t put = ::write(stdinFd_, pending->data(), pending->size());
    if (put > 0) {
      pending->remove_prefix(static_cast<size_t>(put));
    } else if (put < 0 && errno != EAGAIN && errno != EINTR) {
      return false;  // the agent no longer reads its stdin
    }
  }
  return true;
}

bool AgentProcess::write(std::string_view bytes, Millis timeout) {
  if (stdinFd_ < 0) return false;
  auto until = Clock::now() + timeout;
  while (!bytes.empty()) {
    if (!pump(until, &bytes)) return false;
  }
  return true;
}

bool AgentProcess::writeChunks(const std::vector<std::string>& chunks, Millis pause,
                               Millis timeout) {
  for (size_t i = 0; i < chunks.size(); ++i) {
    if (i > 0) std::this_thread::sleep_for(pause);
    if (!write(chunks[i], timeout)) return false;
  }
  return true;
}

void AgentProcess::closeStdin() { closeFd(stdinFd_); }

void AgentProcess::closeStdout() { closeFd(stdoutFd_); }

size_t AgentProcess::stderrUnread() const {
  int unread = 0;
  if (stderrFd_ < 0 || ::ioctl(stderrFd_, FIONREAD, &unread) != 0) return 0;
  return size_t(unread);
}

std::optional<std::string> AgentProcess::takeLine(std::string& buffer, int& fd, Millis timeout) {
  auto until = Clock::now() + timeout;
  for (;;) {
    size_t lf = buffer.find('\n');
    if (lf != std::string::npos) {
      std::string line = buffer.substr(0, lf);
      buffer.erase(0, lf + 1);
      return line;
    }
    if (fd < 0) return std::nullopt;
    if (!pump(until, nullptr)) return std::nullopt;
  }
}

std::optional<std::string> AgentProcess::readStdoutLine(Millis timeout) {
  return takeLine(out_, stdoutFd_, timeout);
}

std::optional<std::string> AgentProcess::readStderrLine(Millis timeout) {
  return takeLine(err_, stderrFd_, timeout);
}

ProcessResult AgentProcess::finish(Millis timeout) {
  closeStdin();
  return waitForExit(timeout);
}

ProcessResult AgentProcess::waitForExit(Millis timeout) {
  ProcessResult result;
  auto until = Clock::now() + timeout;
  while (stdoutFd_ >= 0 || stderrFd_ >= 0) {
    if (!pump(until, nullptr)) break;
  }

  int status = 0;
  for (;;) {
    pid_t got = ::waitpid(pid_, &status, WNOHANG);
    if (got == pid_) {
      reaped_ = true;
      break;
    }
    if (got < 0 && errno != EINTR) break;
    if (Clock::now() >= until) {
      result.timedOut = true;
      killAndReap();
      break;
    }
    std::this_thread::sleep_for(5ms);
  }
  if (reaped_ && !result.timedOut) {
    if (WIFEXITED(status)) {
      result.exited = true;
      result.exitCode = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
      result.signal = WTERMSIG(status);
    }
  }
  // Whatever a killed agent left in the pipes still helps explain the failure.
  auto grace = Clock::now() + 200ms;
  while ((stdoutFd_ >= 0 || stderrFd_ >= 0) && pump(grace, nullptr)) {
  }
  closeFd(stdoutFd_);
  closeFd(stderrFd_);
  result.out = std::move(out_);
  result.err = std::move(err_);
  out_.clear();
  err_.clear();
  return result;
}

std::vector<std::string> splitLines(std::string_view text) {
  std::vector<std::string> lines;
  while (!text.empty()) {
    size_t lf = text.find('\n');
    if (lf == std::string_view::npos) {
      lines.emplace_back(text);
      break;
    }
    lines.emplace_back(text.substr(0, lf));
    text.remove_prefix(lf + 1);
  }
  return lines;
}

bool isCompactJson(std::string_view line) {
  bool inString = false, escaped = false;
  for (char c : line) {
    if (inString) {
      if (escaped) escaped = false;
      else if (c == '\\') escaped = true;
      else if (c == '"') inString = false;
    } else if (c == '"') {
      inString = true;
    } else if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
      return false;
    }
  }
  return true;
}

nlohmann::json parseEvent(std::string_view line) {
  return nlohmann::json::parse(line, nullptr, /*allow_exceptions=*/false);
}

std::vector<nlohmann::json> parseEvents(std::string_view text) {
  std::vector<nlohmann::json> events;
  for (const std::string& line : splitLines(text)) events.push_back(parseEvent(line));
  return events;
}

}  // namespace vantor::testing

namespace vantor::testing {
namespace {

// Long outputs are cut so a failure message stays readable.
std::string excerpt(std::string_view text) {
  constexpr size_t kMax = 600;
  if (text.size() <= kMax) return std::string(text);
  return std::string(text.substr(0, kMax)) + "... (" + std::to_string(text.size()) + " bytes)";
}

}  // namespace

ProcessResult runAgent(std::string_view input, std::vector<std::string> args) {
  AgentProcess agent(std::move(args));
  bool written = agent.write(input);
  ProcessResult result = agent.finish();
  // A failed write is reported through the outcome: the agent died or hung.
  if (!written && result.exited && result.exitCode == 0 && !result.timedOut)
    ADD_FAILURE() << "stdin was not fully written although the agent exited normally";
  return result;
}

::testing::AssertionResult exitedCleanly(const ProcessResult& result) {
  if (result.timedOut || !result.exited || result.exitCode != 0)
    return ::testing::AssertionFailure()
           << "agent " << result.describeEnd() << "; stderr: " << excerpt(result.err);
  if (!result.err.empty() && result.err.back() != '\n')
    return ::testing::AssertionFailure() << "stderr ends mid-line: " << excerpt(result.err);
  std::vector<std::string> lines = splitLines(result.err);
  if (lines.empty() || lines.front() != kStartedLine)
    return ::testing::AssertionFailure() << "first stderr line is not the start line; stderr: "
                                         << excerpt(result.err);
  if (lines.size() < 2 || lines.back() != kExitingLine)
    return ::testing::AssertionFailure() << "last stderr line is not the exit line; stderr: "
                                         << excerpt(result.err);
  return ::testing::AssertionSuccess();
}

std::vector<std::string> commandLogLines(const ProcessResult& result) {
  std::vector<std::string> lines = splitLines(result.err);
  if (!lines.empty() && lines.back() == kExitingLine) lines.pop_back();
  if (!lines.empty() && lines.front() == kStartedLine) lines.erase(lines.begin());
  return lines;
}

::testing::AssertionResult eventsAre(std::string_view out,
                                     const std::vector<nlohmann::json>& expected) {
  if (!out.empty() && out.back() != '\n')
    return ::testing::AssertionFailure() << "stdout ends mid-line: " << excerpt(out);
  std::vector<std::string> lines = splitLines(out);
  if (lines.size() != expected.size())
    return ::testing::AssertionFailure() << "expected " << expected.size() << " event lines, got "
                                         << lines.size() << ": " << excerpt(out);
  for (size_t i = 0; i < lines.size(); ++i) {
    const std::string& line = lines[i];
    if (!isCompactJson(line))
      return ::testing::AssertionFailure() << "event line " << i << " is not compact: " << line;
    nlohmann::json event = parseEvent(line);
    if (!event.is_object())
      return ::testing::AssertionFailure() << "event line " << i << " is not a JSON object: "
                                           << excerpt(line);
    if (event != expected[i])
      return ::testing::AssertionFailure() << "event line " << i << " is " << line
                                           << ", expected " << expected[i].dump();
  }
  return ::testing::AssertionSuccess();
}

}  // namespace vantor::testing
