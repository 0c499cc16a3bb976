#pragma once
// What a take is started from: the four members of a "start" command.

#include <string>

namespace vantor {

struct StartCommand {
  std::string target;
  bool includeMic = false;
  std::string outputPath;
  std::string mode;

  bool operator==(const StartCommand&) const = default;
};

}  // namespace vantor
