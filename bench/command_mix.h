#pragma once
// The repeating mix of input lines the throughput benchmarks feed the command
// loop: malformed lines and commands that are answered without a take, since
// nothing here can start one. Each entry says where its answer goes, so a
// run can check it saw every answer and was not measuring a short cut.

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

namespace vantor::bench {

enum class Answer {
  event,    // one event line on stdout
  log,      // one log line on stderr
  dropped,  // never reaches the decoder (blank, white space, bad UTF-8)
};

struct MixLine {
  std::string_view bytes;  // with its line terminator
  Answer answer;
};

inline constexpr std::array kCommandMix{
    MixLine{"{\"type\":\"stop\"}\n", Answer::event},
    MixLine{"{\"type\":\"pause\"}\n", Answer::event},
    MixLine{"{\"type\":\"screenshot\"}\n", Answer::event},
    MixLine{"{\"type\":\"Stop\"}\n", Answer::log},
    MixLine{"this is not json at all\n", Answer::log},
    MixLine{"[1]\n", Answer::log},
    MixLine{"{\"type\":\"start\"}\n", Answer::event},
    MixLine{"\n", Answer::dropped},
    MixLine{"{\"type\":\"resume\"}\r\n", Answer::event},
    MixLine{"  \t \r\n", Answer::dropped},
    MixLine{"{\"type\":42}\n", Answer::log},
    MixLine{"{\"type\":\"discard\",\"target\":{\"nested\":[1,2,{\"x\":null}]}}\r\n", Answer::event},
    MixLine{"{\"type\":\"restart\"\n", Answer::log},
    MixLine{"\xff\xfe{\"type\":\"stop\"}\n", Answer::dropped},
};

struct MixStream {
  std::string bytes;
  size_t lines = 0;
  size_t events = 0;  // event lines the agent should write for `bytes`
  size_t logs = 0;    // log lines, not counting the agent's own start/exit lines
};

// The first `lines` lines of the endlessly repeated mix.
inline MixStream buildMixStream(size_t lines) {
  MixStream out;
  out.bytes.reserve(lines * 24);
  for (size_t i = 0; i < lines; ++i) {
    const MixLine& line = kCommandMix[i % kCommandMix.size()];
    out.bytes += line.bytes;
    if (line.answer == Answer::event) ++out.events;
    if (line.answer == Answer::log) ++out.logs;
  }
  out.lines = lines;
  return out;
}

}  // namespace vantor::bench
