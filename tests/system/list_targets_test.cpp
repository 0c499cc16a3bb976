// `vantor list-targets` without a server to list. With one, the mode is
// tested in take_test.cpp on each screen; which windows are listed, and how,
// in the capture contract and on the document in tests/unit.

#include <gtest/gtest.h>

#include "support/child_process.h"

namespace vantor::test {
namespace {

TEST(ListTargets, WithoutAReachableServerExitsWithStatusOneAndOneLine) {
  struct Row {
    const char *backend, *variable, *value, *says;
  } rows[] = {{"x11", "DISPLAY", ":999", "list-targets: X11 capture failed: "},
              {"x11", "DISPLAY", "", "list-targets: X11 capture failed: "},
              {"wayland", "WAYLAND_DISPLAY", "/nonexistent/wayland-9",
               "list-targets: Wayland capture (wlr-screencopy) failed: cannot connect to the Wayland compositor"}};
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.variable) + "=" + row.value);
    setenv("VANTOR_BACKEND", row.backend, 1);
    setenv(row.variable, row.value, 1);
    ProcessResult r = ChildProcess({VANTOR_BINARY, "list-targets"}).finish();
    EXPECT_TRUE(r.exitedWith(1)) << r.describeEnd();
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(r.err.starts_with(row.says)) << r.err;
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
    unsetenv(row.variable);
  }
}

}  // namespace
}  // namespace vantor::test
