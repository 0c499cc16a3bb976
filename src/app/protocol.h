#pragma once
// Which protocol the host speaks: the one place that decides it. Every host
// gets protocol 1 and stays there unless its first command is
// {"type":"hello","protocol":2}. From then on (docs/protocol.md):
// - a command may carry an "id" (string or number) that every event
//   answering it repeats;
// - a line that is not a command is answered with an error, not only logged;
// - "start" takes options, and "finished" tells the movie's duration and
//   whether it has sound (the command loop asks version() for both).
// Protocol 1's bytes are never touched: nothing here writes an event for a
// host that did not say hello. Main loop only.

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

#include "app/commands.h"
#include "app/event_writer.h"

namespace vantor::app {

// What the hello answer tells of this agent and its machine.
struct AgentFacts {
  std::string version;
  std::string platform;  // "x11" or "wayland"
  bool systemAudio = true;
  bool windowCapture = true;
  bool screenshots = true;
};

class Protocol {
 public:
  static constexpr int kOffered = 2;

  Protocol(EventLines& events, AgentFacts facts) : events_(events), facts_(std::move(facts)) {}

  int version() const { return version_; }
  EventLines& events() { return events_; }

  // Before a line that decodes as a command is handled. Answers a "hello",
  // or a command whose "id" is neither a string nor a number, itself and
  // returns false; otherwise the command's answers carry its id from now on
  // and true says: handle it.
  bool admit(const AnyCommand& command, const CommandFields& fields);
  // After its handler: what follows answers no command.
  void handled() { events_.setAnswering(std::nullopt); }
  // A line that is not a command (`read`: what was read of it before it
  // went wrong), or a command of a type nobody knows: answered in protocol 2
  // only, with its id when one could be read.
  void notACommand(const CommandFields& read, std::string_view message);

  // The answer to a hello that opens protocol 2.
  nlohmann::json helloAnswer() const;

 private:
  void hello(const CommandFields& fields);

  EventLines& events_;
  AgentFacts facts_;
  int version_ = 1;
  bool commandSeen_ = false;  // a command other than a refused hello was handled
};

}  // namespace vantor::app
