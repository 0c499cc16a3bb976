#include "support/tone_player.h"

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <vector>

namespace vantor::test {
namespace {

std::string findProgram(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::istringstream dirs(path ? path : "/usr/bin:/bin");
  for (std::string dir; std::getline(dirs, dir, ':');) {
    std::string candidate = dir + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return {};
}

}  // namespace

std::unique_ptr<TonePlayer> TonePlayer::start(const ToneOptions& o, std::string* why) {
  std::string ffmpeg = findProgram("ffmpeg");
  if (ffmpeg.empty()) {
    *why = "ffmpeg is not installed";
    return nullptr;
  }
  std::ostringstream sine;
  sine << o.amplitude << "*sin(2*PI*" << o.frequency << "*t)";
  std::string expr = sine.str();
  if (o.channels == 2) expr += "|" + sine.str();
  std::string source = "aevalsrc=exprs=" + expr + ":s=" + std::to_string(o.sampleRate) +
                       ":c=" + (o.channels == 2 ? "stereo" : "mono");
  // -re paces the tone in real time, one 1024-sample frame at a time. The
  // server starts playing once 200 ms are buffered, so that a late frame on
  // a busy machine does not leave a gap of silence.
  std::vector<std::string> args = {ffmpeg, "-nostdin", "-hide_banner", "-loglevel", "error", "-re",
                                   "-f", "lavfi", "-i", source, "-f", "pulse", "-buffer_duration", "200",
                                   "-device", o.sink, "vantor test tone"};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  pid_t parent = getpid();
  pid_t pid = fork();
  if (pid < 0) {
    *why = "fork failed";
    return nullptr;
  }
  if (pid == 0) {
    // Only async-signal-safe calls until exec: the parent has threads.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(127);
    execve(argv[0], argv.data(), environ);
    _exit(127);
  }
  return std::unique_ptr<TonePlayer>(new TonePlayer(pid));
}

TonePlayer::~TonePlayer() {
  kill(pid_, SIGKILL);
  int status = 0;
  waitpid(pid_, &status, 0);
}

}  // namespace vantor::test
