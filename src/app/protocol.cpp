#include "app/protocol.h"

#include "control/start_command.h"
#include "util/log.h"

namespace vantor::app {
namespace {

using Kind = CommandFields::Member::Kind;

// The member's value as an id: strings and numbers only.
std::optional<nlohmann::json> idOf(const CommandFields::Member& id) {
  if (id.kind == Kind::string) return nlohmann::json(id.text);
  if (id.kind == Kind::number) return id.number;
  return std::nullopt;
}

}  // namespace

bool Protocol::admit(const AnyCommand& command, const CommandFields& fields) {
  if (command.type == "hello") {
    hello(fields);
    return false;
  }
  commandSeen_ = true;
  if (version_ < 2) return true;
  if (fields.id.kind != Kind::absent && !idOf(fields.id)) {
    // Answered without an id: the host cannot match it, but it learns why its command never ran.
    events_.error("invalid \"id\": must be a string or a number");
    return false;
  }
  events_.setAnswering(idOf(fields.id));
  return true;
}

void Protocol::notACommand(const CommandFields& read, std::string_view message) {
  if (version_ < 2) return;
  events_.setAnswering(idOf(read.id));
  events_.error(message);
  events_.setAnswering(std::nullopt);
}

// A hello is answered in either protocol (a host that sends one reads
// answers to it), with its id only once protocol 2 is in force: protocol 1
// has no ids. Only the first command may open protocol 2, so the events a
// host has read never change their form under it; a refused hello changes
// nothing, so a host may ask again for another.
void Protocol::hello(const CommandFields& fields) {
  const bool asksForOffered = fields.protocol.kind == Kind::number && fields.protocol.number == kOffered;
  if (version_ >= 2 || (asksForOffered && !commandSeen_)) events_.setAnswering(idOf(fields.id));
  if (commandSeen_) {
    events_.error("hello: must be the first command");
  } else if (!asksForOffered) {
    events_.error("hello: unsupported protocol (this agent offers protocol 2)");
  } else {
    version_ = kOffered;
    commandSeen_ = true;
    logInfo("vantor: the host speaks protocol 2");
    events_.answer(helloAnswer());
  }
  events_.setAnswering(std::nullopt);
}

nlohmann::json Protocol::helloAnswer() const {
  using nlohmann::json;
  const json includeMic = {{"default", "includeMic"}};
  return {
      {"type", "hello"},
      {"protocol", kOffered},
      {"version", facts_.version},
      {"platform", facts_.platform},
      {"capabilities",
       {{"systemAudio", facts_.systemAudio}, {"windowCapture", facts_.windowCapture},
        {"screenshots", facts_.screenshots}}},
      {"startOptions",
       {{"frameRate",
         {{"minimum", StartCommand::kMinFrameRate},
          {"maximum", StartCommand::kMaxFrameRate},
          {"default", StartCommand::kDefaultFrameRate}}},
        {"size", {{"values", {"standard", "native"}}, {"default", "standard"}}},
        {"showCursor", {{"default", true}}},
        {"microphone", includeMic},
        {"systemAudio", includeMic},
        {"quality", {{"values", {"low", "standard", "high"}}, {"default", "standard"}}}}},
  };
}

}  // namespace vantor::app
