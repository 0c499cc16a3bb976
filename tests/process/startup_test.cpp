// What the agent does before the first command and how its arguments
// affect the mode it runs in.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/agent_process.h"

namespace vantor::testing {
namespace {

TEST(Startup, AnnouncesCommandModeBeforeAnyInput) {
  AgentProcess agent;
  // Hosts wait for this line before sending, so it must come unprompted.
  std::optional<std::string> first = agent.readStderrLine();
  ASSERT_TRUE(first.has_value()) << "no log line before any input";
  EXPECT_EQ(*first, kStartedLine);

  ProcessResult r = agent.finish();
  EXPECT_TRUE(r.exited && r.exitCode == 0) << r.describeEnd();
  EXPECT_EQ(r.err, std::string(kExitingLine) + "\n");
  EXPECT_EQ(r.out, "");
}

TEST(Startup, ArgumentsStillRunCommandMode) {
  const std::vector<std::vector<std::string>> argvs = {
      {"--help"}, {"-h"}, {"--version"}, {""}, {"--help", "extra", "args"},
  };
  for (const std::vector<std::string>& args : argvs) {
    SCOPED_TRACE(args.front());
    ProcessResult r = runAgent("{\"type\":\"stop\"}\n", args);
    EXPECT_TRUE(exitedCleanly(r));
    EXPECT_TRUE(eventsAre(r.out, {kNotRecording}));
    EXPECT_TRUE(commandLogLines(r).empty()) << r.err;
  }
}

}  // namespace
}  // namespace vantor::testing
