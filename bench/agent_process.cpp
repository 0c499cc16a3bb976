#include "agent_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>

extern char** environ;

namespace vantor::bench {
namespace {

void closeFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

struct Pipe {
  int read = -1;
  int write = -1;
};

Pipe makePipe() {
  int fds[2];
  // Close-on-exec on both ends: the child gets its copies through dup2, which
  // clears the flag, and no other end leaks into it (or into a later child).
  if (::pipe2(fds, O_CLOEXEC) != 0)
    throw std::runtime_error(std::string("pipe2: ") + std::strerror(errno));
  return {fds[0], fds[1]};
}

}  // namespace

AgentProcess::AgentProcess() {
  // A child that dies mid-run must show up as a failed write, not kill the benchmark.
  ::signal(SIGPIPE, SIG_IGN);

  Pipe in = makePipe(), out = makePipe(), err = makePipe();
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in.read, STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, out.write, STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err.write, STDERR_FILENO);

  char arg0[] = VANTOR_BINARY;
  char* argv[] = {arg0, nullptr};
  int rc = ::posix_spawn(&pid_, VANTOR_BINARY, &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);

  ::close(in.read);
  ::close(out.write);
  ::close(err.write);
  stdin_ = in.write;
  stdout_ = out.read;
  stderr_ = err.read;
  if (rc != 0) {
    pid_ = -1;
    closeFd(stdin_);
    closeFd(stdout_);
    closeFd(stderr_);
    throw std::runtime_error(std::string("cannot spawn " VANTOR_BINARY ": ") + std::strerror(rc));
  }
}

AgentProcess::~AgentProcess() {
  closeFd(stdin_);
  if (pid_ > 0 && !reaped_) {
    ::kill(pid_, SIGKILL);
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
  }
  closeFd(stdout_);
  closeFd(stderr_);
}

bool AgentProcess::writeAll(std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::write(stdin_, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

void AgentProcess::closeStdin() { closeFd(stdin_); }

std::optional<int> AgentProcess::waitExit(std::chrono::milliseconds limit) {
  if (pid_ <= 0 || reaped_) return std::nullopt;
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    int status = 0;
    pid_t r = ::waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
      reaped_ = true;
      return status;
    }
    if (r < 0 && errno != EINTR) return std::nullopt;
    if (std::chrono::steady_clock::now() >= deadline) {
      ::kill(pid_, SIGKILL);
      while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
      }
      reaped_ = true;
      return std::nullopt;
    }
    // Polling keeps a hung child from hanging the benchmark; the step is
    // small next to the runs it ends.
    std::this_thread::sleep_for(std::chrono::microseconds(50));
  }
}

DrainCount drainUntilEof(int fd) {
  DrainCount count;
  char chunk[64 * 1024];
  for (;;) {
    ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    count.bytes += static_cast<size_t>(n);
    count.lines += static_cast<size_t>(std::count(chunk, chunk + n, '\n'));
  }
  return count;
}

}  // namespace vantor::bench
