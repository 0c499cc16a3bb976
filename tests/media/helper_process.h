#pragma once
// Running a helper program that reports progress a line at a time on its
// standard output, and SIGKILLing it mid-way: the kill tests' other half.

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

extern char** environ;

namespace vantor::mediatest {

// Runs `args` (the program first), reads its lines until `enough` says so
// (or its output ends), SIGKILLs it and returns every line it wrote, those
// after the kill included. Lines come without their newline.
inline std::vector<std::string> runAndKill(std::vector<std::string> args,
                                           const std::function<bool(const std::string& line)>& enough) {
  int out[2];
  if (pipe(out) != 0) throw std::runtime_error("pipe failed");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_addclose(&actions, out[0]);
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t child = -1;
  int spawned = posix_spawn(&child, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  if (spawned != 0) {
    close(out[0]);
    throw std::runtime_error("cannot run " + args[0]);
  }

  FILE* progress = fdopen(out[0], "r");
  std::vector<std::string> lines;
  char line[256];
  auto readLine = [&] {
    if (!std::fgets(line, sizeof line, progress)) return false;
    std::string text(line);
    if (!text.empty() && text.back() == '\n') text.pop_back();
    lines.push_back(text);
    return true;
  };
  while (readLine() && !enough(lines.back())) {
  }
  kill(child, SIGKILL);
  int status = 0;
  waitpid(child, &status, 0);
  while (readLine()) {
  }
  std::fclose(progress);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "the helper ended on its own: " << status;
  return lines;
}

}  // namespace vantor::mediatest
