// What only X11 capture has, beyond the contract in tests/contract: names
// read from window properties, a window manager's frames and minimised
// windows, errors without a server.

#include <unistd.h>

#include <fstream>

#include "contract/capture_backend.h"

namespace vantor::capturetest {
namespace {

#define VANTOR_X11(b, options)                \
  std::string why;                            \
  auto b = X11Backend::start(&why, options);  \
  if (!b) GTEST_SKIP() << "SKIPPED: no private X server (" << why << ")"

TEST(X11Capture, TakesTitlesFromNetWmNameThenLatin1WmNameAndApplicationsFromWmClassThenTheProcess) {
  VANTOR_X11(b, "");
  std::string self;
  std::getline(std::ifstream("/proc/self/comm"), self);
  const auto pid = uint32_t(getpid());
  struct Row {
    test::WindowOptions window;
    std::optional<std::string> title, app;
  } rows[] = {
      {{.netWmName = "R\xC3\xA9sum\xC3\xA9 \xE2\x9C\x93", .wmName = "ignored"}, "R\xC3\xA9sum\xC3\xA9 \xE2\x9C\x93", self},
      {{.wmName = "caf\xE9 \xFF"}, "caf\xC3\xA9 \xC3\xBF", self},  // Latin-1
      {{.netWmName = "docs/notes.txt"}, "docs/notes.txt", self},
      {{.netWmName = " "}, " ", self},
      {{.netWmName = ""}, "", self},
      // Never invalid UTF-8 downstream: a stray byte, overlong, a surrogate, cut short.
      {{.netWmName = "a\xFF" "b \xC0\xAF \xED\xA0\x80 \xE2\x9C"},
       "a\xEF\xBF\xBD" "b \xEF\xBF\xBD\xEF\xBF\xBD \xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD \xEF\xBF\xBD\xEF\xBF\xBD", self},
      {{.wmClass = "Gedit", .pid = pid}, std::nullopt, "Gedit"},
      {{.pid = pid}, std::nullopt, self},
      {{}, std::nullopt, self},  // the X server itself knows which local process owns it
  };
  std::vector<uint32_t> ids;
  for (const Row& r : rows) ids.push_back(b->x.create(r.window));
  auto c = content(*b);
  for (size_t i = 0; i < ids.size(); ++i) {
    auto* w = findWindow(c, ids[i]);
    ASSERT_TRUE(w && w->owningApplication) << i;
    EXPECT_EQ(w->title, rows[i].title) << i;
    EXPECT_EQ(w->owningApplication->applicationName, rows[i].app) << i;
  }
  // Renamed after that listing: the next one has the new name.
  xcb_change_property(b->x.connection(), XCB_PROP_MODE_REPLACE, ids[0], b->x.atom("_NET_WM_NAME"),
                      b->x.atom("UTF8_STRING"), 8, 7, "renamed");
  b->x.sync();
  auto later = content(*b);
  auto* renamed = findWindow(later, ids[0]);
  ASSERT_TRUE(renamed);
  EXPECT_EQ(renamed->title, "renamed");
}

TEST(X11Capture, WithAWindowManagerListsClientWindowsNotFramesAndLeavesOutMinimisedOnes) {
  VANTOR_X11(b, "--wm");
  auto& x = b->x;
  auto named = x.create({.x = 50, .y = 50, .netWmName = "Net name", .wmName = "Old name", .wmClass = "Editor"});
  auto oldStyle = x.create({.x = 80, .y = 80, .wmName = "only WM_NAME", .pid = uint32_t(getpid())});
  auto untitled = x.create({.x = 110, .y = 110});
  auto menu = x.create({.x = 140, .y = 140, .windowType = "_NET_WM_WINDOW_TYPE_POPUP_MENU", .overrideRedirect = true});
  auto minimised = x.create({.x = 170, .y = 170});
  // ICCCM: a WM_CHANGE_STATE client message asks the manager to iconify it.
  xcb_client_message_event_t msg{.response_type = XCB_CLIENT_MESSAGE, .format = 32, .window = minimised,
                                 .type = x.atom("WM_CHANGE_STATE")};
  msg.data.data32[0] = 3;  // IconicState
  xcb_send_event(x.connection(), 0, x.root(), XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                 reinterpret_cast<const char*>(&msg));
  x.sync();
  for (int i = 0; i < 200 && findWindow(content(*b), minimised); ++i) usleep(10000);
  x.raise(oldStyle);

  auto c = content(*b);
  // Ours only, without the minimised one: frames and the manager's own windows stay out. The manager
  // raises frames among its own; the unmanaged menu stays above them.
  std::vector<uint32_t> listed;
  for (const auto& w : c.windows) listed.push_back(w.windowID);
  EXPECT_EQ(listed, (std::vector<uint32_t>{menu, oldStyle, untitled, named}));
  ASSERT_TRUE(findWindow(c, named));  // named from the client window, not its frame
  EXPECT_EQ(findWindow(c, named)->title, "Net name");
  EXPECT_EQ(findWindow(c, named)->owningApplication->applicationName, "Editor");
}

// DISPLAY is changed for good: nothing else here reads it, every server is named.
TEST(X11Capture, WithoutAServerEveryOperationFailsNamingWhy) {
  using Row = std::tuple<const char*, std::optional<std::string>, std::string>;  // DISPLAY, the server named, error
  for (auto [environment, display, error] : {Row{nullptr, {}, "DISPLAY is not set; no X server to capture"},
                                             Row{":999", {}, "cannot connect to X server :999"},
                                             Row{nullptr, ":998", "cannot connect to X server :998"}}) {
    environment ? setenv("DISPLAY", environment, 1) : unsetenv("DISPLAY");
    exec::MainLoop main;
    auto service = makeX11ScreenCapture(main, display);
    const auto filter = ContentFilter::forDisplay({1, 10, 10});
    auto stream = service->createStream(filter, {});
    stream->addStreamOutput([](FrameRef) {}, main);
    EXPECT_EQ(failure([&] { await<ShareableContent>(main, [&](auto done) { service->getShareableContent(done); }); }), error);
    EXPECT_EQ(failure([&] { await<ImageRef>(main, [&](auto done) { service->captureImage(filter, done); }); }), error);
    EXPECT_EQ(failure([&] { run(main, [&] { return start(*stream); }); }), error);
  }
}

}  // namespace
}  // namespace vantor::capturetest
