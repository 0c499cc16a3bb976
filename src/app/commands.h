#pragma once
// The two command records and their decoding from a command line.
//
// Decoding streams the JSON (no document is built) and keeps only the
// top-level members the protocol reads, so deep nesting or huge ignored
// members cost no more than reading them once.

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

#include "control/start_command.h"

namespace vantor {

// First decoding of every command line: a JSON object with a string "type".
struct AnyCommand {
  std::string type;
};


namespace app {

// The top-level members of a command line that the protocol reads.
struct CommandFields {
  struct Member {
    enum class Kind { absent, string, boolean, number, other } kind = Kind::absent;
    std::string text;
    bool flag = false;
    nlohmann::json number;  // as written: integer, unsigned or double
  };
  Member type, target, includeMic, outputPath, mode;
  // Read by protocol 2 only (app/protocol.h).
  Member id, protocol, frameRate, size, showCursor, microphone, systemAudio, quality;
};

// Parses `line` as one JSON value; empty when it is not valid JSON or not an object.
std::optional<CommandFields> parseCommandFields(std::string_view line);
// The same, keeping in `out` what was read before the text went wrong, so
// that the "id" of a broken line can still be answered.
bool parseCommandFields(std::string_view line, CommandFields& out);

std::optional<AnyCommand> decodeAnyCommand(const CommandFields& fields);
// Second decoding, only for "start": all four members required, no defaults;
// a missing member, a wrong JSON type or null makes it malformed.
std::optional<StartCommand> decodeStartCommand(const CommandFields& fields);
// Protocol 2's optional members of "start", into `command`: nothing, or the
// error message naming the first member whose value is not allowed.
std::optional<std::string> decodeStartOptions(const CommandFields& fields, StartCommand& command);

}  // namespace app
}  // namespace vantor
