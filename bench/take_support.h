#pragma once
// What the whole-take benchmarks share beside the test support they use (the
// agent session, child processes, private servers, scratch folders): the CPU
// a process spends (/proc while it runs), the machine's load, and giving up.

#include <errno.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <sstream>
#include <string>

#include "support/agent_session.h"
#include "support/child_process.h"

namespace vantor::bench {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;
using test::Agent;
using test::ChildProcess;
using test::Event;
using test::ProcessResult;

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

// The agent with its log in `log` (a flood's log would not fit in memory);
// any error answer or failure to write ends the benchmark.
inline std::unique_ptr<Agent> startAgent(const std::string& binary, const fs::path& log) {
  return std::make_unique<Agent>([](const std::string& why) { die(why); }, test::ChildOptions{.stderrFile = log},
                                 binary);
}

// A private server from scripts/virtual-*.sh that goes with this process; its KEY=VALUE words.
inline std::map<std::string, std::string> startServer(const std::string& script, const std::string& args = "") {
  std::string why;
  auto words = test::runServerScript(script, "start " + args + " --parent " + std::to_string(getpid()), &why);
  if (words.empty()) die(why);
  return words;
}

// utime + stime of a process or thread, in seconds, from its stat file.
inline double cpuOf(const fs::path& stat) {
  static const double tick = double(sysconf(_SC_CLK_TCK));
  std::string text = readAll(stat);
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

// Resident memory by kind, from /proc/<pid>/status: anonymous, file-backed and
// shared (the MIT-SHM segments frames are grabbed into count as shared).
inline std::string memoryOf(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string out;
  for (std::string line; std::getline(in, line);) {
    for (const char* key : {"VmHWM:", "RssAnon:", "RssFile:", "RssShmem:"}) {
      if (line.rfind(key, 0) != 0) continue;
      std::istringstream fields(line.substr(std::strlen(key)));
      double kb = 0;
      fields >> kb;
      char item[48];
      std::snprintf(item, sizeof item, "%s%s %.1f MB", out.empty() ? "" : ", ", key, kb / 1024);
      out += item;
    }
  }
  return out;
}

}  // namespace vantor::bench
