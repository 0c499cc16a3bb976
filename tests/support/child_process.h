#pragma once
// Child processes for tests and benchmarks (the agent, tone players, ffmpeg,
// ffplay), scratch folders, and the scripts that start private servers.
// Header-only, so that any test or benchmark program can use it as it is.
//
// Every wait is bounded: a wedged child fails the caller (and is killed)
// instead of hanging the run. While writing to the child's stdin the helper
// keeps draining its stdout and stderr, so a chatty child never deadlocks
// against a caller that is still sending.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace vantor::test {

using Millis = std::chrono::milliseconds;
// Generous for a loaded machine; only reached when something hangs.
inline constexpr Millis kProcessTimeout{10'000};

[[noreturn]] inline void failWith(const std::string& what, int error) {
  throw std::runtime_error(what + ": " + std::strerror(error));
}

struct ProcessResult {
  std::string out, err;   // what was still unread on stdout and stderr
  bool timedOut = false;  // it had to be killed
  int status = 0;         // as waitpid(2) tells it
  double userSeconds = 0, systemSeconds = 0;
  long maxRssKb = 0;

  bool exitedWith(int code) const { return !timedOut && WIFEXITED(status) && WEXITSTATUS(status) == code; }
  int signal() const { return !timedOut && WIFSIGNALED(status) ? WTERMSIG(status) : 0; }
  double cpuSeconds() const { return userSeconds + systemSeconds; }
  std::string describeEnd() const {
    if (timedOut) return "timed out and was killed";
    if (WIFEXITED(status)) return "exited with status " + std::to_string(WEXITSTATUS(status));
    return "killed by signal " + std::to_string(signal()) + " (" + strsignal(signal()) + ")";
  }
};

struct ChildOptions {
  bool pipes = true;            // stdin and stdout on pipes, else /dev/null
  std::string stderrFile = "";  // stderr into this file; else a pipe (with pipes) or ours
};

class ChildProcess {
 public:
  // Starts argv (argv[0] found on PATH) with SIGPIPE at its default and no
  // signal blocked. It gets SIGKILL when the thread that started it ends, so
  // a crashed test leaves nothing running. Throws std::runtime_error.
  explicit ChildProcess(std::vector<std::string> argv, ChildOptions options = {}) {
    ::signal(SIGPIPE, SIG_IGN);  // writes to a child that is gone fail with EPIPE instead
    // Made before fork: the child of a threaded process may only make async-signal-safe calls.
    std::string program = findProgram(argv.at(0));
    std::vector<char*> args;
    for (std::string& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    int in[2] = {-1, -1}, out[2] = {-1, -1}, err[2] = {-1, -1};
    if (options.pipes && (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0)) failWith("pipe", errno);
    if (!options.pipes) in[0] = ::open("/dev/null", O_RDONLY | O_CLOEXEC), out[1] = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (!options.stderrFile.empty()) {
      err[1] = ::open(options.stderrFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
      if (err[1] < 0) failWith(options.stderrFile, errno);
    } else if (options.pipes && ::pipe2(err, O_CLOEXEC) != 0) {
      failWith("pipe", errno);
    }
    pid_t parent = ::getpid();
    if ((pid_ = ::fork()) < 0) failWith("fork", errno);
    if (pid_ == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (::getppid() != parent) ::_exit(127);
      // dup2 clears close-on-exec on the copy: only 0, 1 and 2 pass the exec.
      ::dup2(in[0], STDIN_FILENO);
      ::dup2(out[1], STDOUT_FILENO);
      if (err[1] >= 0) ::dup2(err[1], STDERR_FILENO);
      ::signal(SIGPIPE, SIG_DFL);
      sigset_t none;
      sigemptyset(&none);
      ::sigprocmask(SIG_SETMASK, &none, nullptr);
      ::execve(program.c_str(), args.data(), environ);
      ::_exit(127);
    }
    for (int fd : {in[0], out[1], err[1]}) ::close(fd);
    in_ = in[1], out_ = out[0], err_ = err[0];
    for (int fd : {in_, out_, err_})
      if (fd >= 0) ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
  }
  ~ChildProcess() {
    for (int* fd : {&in_, &out_, &err_}) closeFd(*fd);
    if (!reaped_) killAndReap();
  }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // All of `bytes` to its stdin; false when stdin is closed, the child
  // stopped reading, or the deadline passed.
  bool write(std::string_view bytes, Millis timeout = kProcessTimeout) {
    for (auto until = Clock::now() + timeout; !bytes.empty();)
      if (in_ < 0 || !pump(until, &bytes)) return false;
    return true;
  }
  void closeStdin() { closeFd(in_); }
  // As a host that stops listening: the child's writes then fail with EPIPE.
  void closeStdout() { closeFd(out_); }
  // As a host that stops reading stderr: once the pipe is full, writes wait.
  void holdStderr() { stderrHeld_ = true; }
  size_t stderrUnread() const {  // bytes waiting in the stderr pipe
    int unread = 0;
    return err_ >= 0 && ::ioctl(err_, FIONREAD, &unread) == 0 ? size_t(unread) : 0;
  }

  // The next whole line without its LF; nullopt on timeout or end of output.
  std::optional<std::string> readStdoutLine(Millis timeout = kProcessTimeout) { return takeLine(outText_, out_, timeout); }
  std::optional<std::string> readStderrLine(Millis timeout = kProcessTimeout) { return takeLine(errText_, err_, timeout); }

  // Closes stdin, then waitForExit.
  ProcessResult finish(Millis timeout = kProcessTimeout) {
    closeStdin();
    return waitForExit(timeout);
  }
  // Reads both outputs to their end and reaps the child; SIGKILL at the deadline.
  ProcessResult waitForExit(Millis timeout = kProcessTimeout) {
    ProcessResult r;
    auto until = Clock::now() + timeout;
    while ((out_ >= 0 || err_ >= 0) && pump(until, nullptr)) {
    }
    rusage usage{};
    while (!reaped_) {
      pid_t got = ::wait4(pid_, &r.status, WNOHANG, &usage);
      if (got == pid_ || (got < 0 && errno != EINTR)) reaped_ = true;
      else if (Clock::now() >= until) r.timedOut = true, killAndReap();
      else std::this_thread::sleep_for(Millis(2));
    }
    r.userSeconds = double(usage.ru_utime.tv_sec) + double(usage.ru_utime.tv_usec) / 1e6;
    r.systemSeconds = double(usage.ru_stime.tv_sec) + double(usage.ru_stime.tv_usec) / 1e6;
    r.maxRssKb = usage.ru_maxrss;
    // What a killed child left in the pipes still helps explain the failure.
    for (auto grace = Clock::now() + Millis(200); (out_ >= 0 || err_ >= 0) && pump(grace, nullptr);) {
    }
    closeFd(out_);
    closeFd(err_);
    r.out = std::exchange(outText_, {});
    r.err = std::exchange(errText_, {});
    return r;
  }

  pid_t pid() const { return pid_; }

 private:
  using Clock = std::chrono::steady_clock;

  static void closeFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
  static std::string findProgram(const std::string& name) {
    std::istringstream dirs(name.find('/') == std::string::npos && std::getenv("PATH") ? std::getenv("PATH") : "");
    for (std::string dir; std::getline(dirs, dir, ':');)
      if (::access((dir + "/" + name).c_str(), X_OK) == 0) return dir + "/" + name;
    if (name.find('/') == std::string::npos || ::access(name.c_str(), X_OK) != 0) failWith("cannot run " + name, ENOENT);
    return name;
  }
  void killAndReap() {
    ::kill(pid_, SIGKILL);
    while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
    }
    reaped_ = true;
  }
  // Waits up to `until` for a stream to be ready and serves it: reads what
  // stdout and stderr have, writes what stdin takes of `pending`. False when
  // nothing is left to wait on, the deadline passed, or stdin was refused.
  bool pump(Clock::time_point until, std::string_view* pending) {
    pollfd fds[3];
    int n = 0, outAt = -1, errAt = -1, inAt = -1;
    if (out_ >= 0) outAt = n, fds[n++] = {out_, POLLIN, 0};
    if (err_ >= 0 && !stderrHeld_) errAt = n, fds[n++] = {err_, POLLIN, 0};
    if (pending && !pending->empty() && in_ >= 0) inAt = n, fds[n++] = {in_, POLLOUT, 0};
    auto left = std::chrono::duration_cast<Millis>(until - Clock::now()).count();
    if (n == 0 || left <= 0) return false;
    int ready = ::poll(fds, nfds_t(n), int(std::min<long long>(left, 1000)));
    if (ready <= 0) return ready == 0 || errno == EINTR;
    auto drain = [](const pollfd& p, int& fd, std::string& into) {
      if (!(p.revents & (POLLIN | POLLHUP | POLLERR))) return;
      char chunk[256 * 1024];
      ssize_t got = ::read(fd, chunk, sizeof chunk);
      if (got > 0) into.append(chunk, size_t(got));
      else if (got == 0 || (errno != EAGAIN && errno != EINTR)) closeFd(fd);
    };
    if (outAt >= 0) drain(fds[outAt], out_, outText_);
    if (errAt >= 0) drain(fds[errAt], err_, errText_);
    if (inAt >= 0 && (fds[inAt].revents & (POLLOUT | POLLERR | POLLHUP))) {
      ssize_t put = ::write(in_, pending->data(), pending->size());
      if (put > 0) pending->remove_prefix(size_t(put));
      else if (put < 0 && errno != EAGAIN && errno != EINTR) return false;
    }
    return true;
  }
  std::optional<std::string> takeLine(std::string& buffer, const int& fd, Millis timeout) {
    for (auto until = Clock::now() + timeout;;) {
      if (size_t lf = buffer.find('\n'); lf != std::string::npos) {
        std::string line = buffer.substr(0, lf);
        buffer.erase(0, lf + 1);
        return line;
      }
      if (fd < 0 || !pump(until, nullptr)) return std::nullopt;
    }
  }

  pid_t pid_ = -1;
  int in_ = -1, out_ = -1, err_ = -1;
  std::string outText_, errText_;
  bool reaped_ = false, stderrHeld_ = false;
};

// Splits at LF; a tail without LF is kept as a last line so a torn write shows.
inline std::vector<std::string> splitLines(std::string_view text) {
  std::vector<std::string> lines;
  for (size_t lf; !text.empty(); text.remove_prefix(lf == text.npos ? text.size() : lf + 1))
    lines.emplace_back(text.substr(0, lf = text.find('\n')));
  return lines;
}

// A fresh folder under the temporary directory, removed with all it holds
// when the object goes unless kept (say, to look at a failed take).
class ScratchDir {
 public:
  explicit ScratchDir(const std::string& prefix = "vantor-test") {
    std::string pattern = (std::filesystem::temp_directory_path() / (prefix + ".XXXXXX")).string();
    if (!::mkdtemp(pattern.data())) failWith("mkdtemp", errno);
    path_ = pattern;
  }
  ~ScratchDir() {
    std::error_code ignored;
    if (keep_) std::printf("files kept in %s\n", path_.c_str());
    else std::filesystem::remove_all(path_, ignored);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }
  void keep() { keep_ = true; }

 private:
  std::filesystem::path path_;
  bool keep_ = false;
};

// Runs scripts/virtual-display.sh or virtual-sound.sh as a program and
// returns the KEY=VALUE words it printed; empty, with `why` set, when it failed.
inline std::map<std::string, std::string> runServerScript(const std::string& script, const std::string& args,
                                                          std::string* why) {
  std::map<std::string, std::string> words;
  std::string text;
  if (FILE* out = ::popen(("bash '" + script + "' " + args + " 2>&1").c_str(), "r")) {
    char buf[256];
    while (size_t n = std::fread(buf, 1, sizeof buf, out)) text.append(buf, n);
    if (::pclose(out) == 0) {
      std::istringstream in(text);
      for (std::string w; in >> w;)
        if (size_t eq = w.find('='); eq != std::string::npos) words[w.substr(0, eq)] = w.substr(eq + 1);
    }
  }
  if (words.empty()) *why = script + " " + args + " failed: " + text;
  return words;
}

}  // namespace vantor::test
