#pragma once
// What the whole-take benchmarks (take_bench.cpp, sound_take_bench.cpp) share:
// a recorder run as a child process and talked to over pipes, the CPU it
// spends (wait4 at its end, /proc while it runs), and the private servers of
// scripts/virtual-display.sh and scripts/virtual-sound.sh.

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

extern char** environ;

namespace vantor::bench {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

inline double secondsBetween(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

[[noreturn]] inline void die(const std::string& why) {
  std::fprintf(stderr, "%s: %s\n", program_invocation_short_name, why.c_str());
  std::exit(1);
}

inline bool onPath(const std::string& tool) {
  std::string cmd = "command -v " + tool + " >/dev/null 2>&1";
  return std::system(cmd.c_str()) == 0;
}

inline std::string readAll(const fs::path& p) {
  std::ifstream in(p);
  return std::string((std::istreambuf_iterator<char>(in)), {});
}

inline std::string loadAverage() {
  std::ifstream in("/proc/loadavg");
  std::string a, b, c;
  in >> a >> b >> c;
  return a + " " + b + " " + c;
}

// ---- Child processes

struct Ended {
  int status = 0;
  double cpuSeconds = 0;  // user + system, the whole life of the process
  double userSeconds = 0, systemSeconds = 0;
  long maxRssKb = 0;
};

class Child {
 public:
  // Standard input and output on pipes when asked, else /dev/null; standard
  // error into `errPath`.
  Child(const std::vector<std::string>& args, bool pipes, const fs::path& errPath) {
    int in[2] = {-1, -1}, out[2] = {-1, -1};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (pipes) {
      if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) die("pipe failed");
      posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
      posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    } else {
      posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
      posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    }
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<char*> argv;
    std::vector<std::string> copy = args;
    for (auto& a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);
    int rc = posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) die("cannot start " + args[0] + ": " + std::strerror(rc));
    if (pipes) {
      close(in[0]);
      close(out[1]);
      stdin_ = in[1];
      stdout_ = out[0];
    }
  }
  ~Child() {
    closeStdin();
    if (stdout_ >= 0) close(stdout_);
    if (pid_ > 0 && !reaped_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  pid_t pid() const { return pid_; }

  Clock::time_point send(const std::string& line) {
    auto at = Clock::now();
    std::string bytes = line + "\n";
    if (write(stdin_, bytes.data(), bytes.size()) != ssize_t(bytes.size())) die("cannot write to the agent");
    return at;
  }
  void closeStdin() {
    if (stdin_ >= 0) close(stdin_);
    stdin_ = -1;
  }

  // The next stdout line satisfying `wanted`, with the time it was read.
  std::optional<std::pair<nlohmann::json, Clock::time_point>> waitFor(
      const std::function<bool(const nlohmann::json&)>& wanted, Clock::duration timeout) {
    auto until = Clock::now() + timeout;
    for (;;) {
      size_t lf;
      while ((lf = buffer_.find('\n')) != std::string::npos) {
        auto now = Clock::now();
        auto event = nlohmann::json::parse(buffer_.substr(0, lf), nullptr, false);
        buffer_.erase(0, lf + 1);
        if (event.is_object() && event.value("type", "") == "error") die("the agent answered " + event.dump());
        if (wanted(event)) return std::pair{event, now};
      }
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
      if (left <= 0) return std::nullopt;
      pollfd p{stdout_, POLLIN, 0};
      if (poll(&p, 1, int(left)) <= 0) continue;
      char chunk[4096];
      ssize_t n = read(stdout_, chunk, sizeof chunk);
      if (n <= 0) return std::nullopt;
      buffer_.append(chunk, size_t(n));
    }
  }

  Ended wait() {
    Ended e;
    rusage u{};
    while (wait4(pid_, &e.status, 0, &u) < 0 && errno == EINTR) {
    }
    reaped_ = true;
    e.userSeconds = u.ru_utime.tv_sec + u.ru_utime.tv_usec / 1e6;
    e.systemSeconds = u.ru_stime.tv_sec + u.ru_stime.tv_usec / 1e6;
    e.cpuSeconds = e.userSeconds + e.systemSeconds;
    e.maxRssKb = u.ru_maxrss;
    return e;
  }

 private:
  pid_t pid_ = -1;
  bool reaped_ = false;
  int stdin_ = -1, stdout_ = -1;
  std::string buffer_;
};

// ---- /proc

// utime + stime of a process or thread, in seconds, from its stat file.
inline double cpuOf(const fs::path& stat) {
  static const double tick = double(sysconf(_SC_CLK_TCK));
  std::ifstream in(stat);
  std::string text((std::istreambuf_iterator<char>(in)), {});
  size_t paren = text.rfind(')');
  if (paren == std::string::npos) return 0;
  std::istringstream rest(text.substr(paren + 2));
  std::string field;
  double utime = 0, stime = 0;
  for (int i = 3; rest >> field; ++i) {  // field 3 is the state
    if (i == 14) utime = std::stod(field);
    if (i == 15) {
      stime = std::stod(field);
      break;
    }
  }
  return (utime + stime) / tick;
}

inline double processCpu(pid_t pid) { return cpuOf("/proc/" + std::to_string(pid) + "/stat"); }

// CPU seconds per thread name, threads of one name added up.
inline std::map<std::string, double> threadCpu(pid_t pid) {
  std::map<std::string, double> out;
  std::error_code ec;
  for (const auto& t : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
    std::ifstream comm(t.path() / "comm");
    std::string name;
    std::getline(comm, name);
    out[name] += cpuOf(t.path() / "stat");
  }
  return out;
}

// ---- The private servers

// Runs one of the scripts/virtual-*.sh as a program and returns the
// KEY=VALUE words it printed.
inline std::map<std::string, std::string> runServerScript(const std::string& script, const std::string& args) {
  std::string cmd = "bash '" + script + "' " + args + " 2>&1";
  FILE* out = popen(cmd.c_str(), "r");
  if (!out) die("cannot run " + script);
  std::string text;
  char buf[256];
  while (size_t n = std::fread(buf, 1, sizeof buf, out)) text.append(buf, n);
  if (pclose(out) != 0) die(script + " failed: " + text);
  std::map<std::string, std::string> words;
  std::istringstream in(text);
  for (std::string w; in >> w;)
    if (size_t eq = w.find('='); eq != std::string::npos) words[w.substr(0, eq)] = w.substr(eq + 1);
  return words;
}

struct Server {
  std::string display;
  pid_t pid = 0;
};

// A private Xvfb at 1920x1080 that goes when this process does.
inline Server startServer(const std::string& script) {
  auto words = runServerScript(script, "start --size 1920x1080 --parent " + std::to_string(getpid()));
  Server s{words["DISPLAY"], std::atoi(words["XVFB_PID"].c_str())};
  if (s.display.empty() || s.pid <= 0) die("virtual-display.sh did not name its server");
  return s;
}

}  // namespace vantor::bench
