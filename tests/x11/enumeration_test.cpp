// Listing displays and windows, with and without a window manager, and
// failing clearly when there is no X server.

#include <unistd.h>

#include <fstream>

#include "platform/x11/content_query.h"
#include "x11_harness.h"

namespace vantor::x11test {
namespace {

using platform::x11::kLayerNormal;
using platform::x11::kLayerOverrideRedirect;
using platform::x11::kLayerTooltip;
using test::TestWindows;
using test::VirtualDisplay;

std::string ownProcessName() {
  std::ifstream in("/proc/self/comm");
  std::string name;
  std::getline(in, name);
  return name;
}

std::unique_ptr<VirtualDisplay> privateDisplay(const std::string& options, std::string* why) {
  return VirtualDisplay::start(VANTOR_VIRTUAL_DISPLAY_SCRIPT, options, why);
}

#define VANTOR_PRIVATE_DISPLAY(var, options)                                             \
  std::string why_##var;                                                                 \
  auto var = privateDisplay(options, &why_##var);                                        \
  if (!var) GTEST_SKIP() << "SKIPPED: no private X server (" << why_##var << ")";

// Window properties as every client sets them, read on a plain server.
class Enumeration : public ::testing::Test {
 protected:
  void SetUp() override {
    VANTOR_REQUIRE_DISPLAY();
    x = std::make_unique<TestWindows>();
    service = platform::makeX11ScreenCapture(main);
  }
  exec::MainLoop main;
  std::unique_ptr<TestWindows> x;
  std::unique_ptr<ScreenCaptureService> service;
};

TEST_F(Enumeration, TakesTitlesFromNetWmNameThenLatin1WmNameAndKeepsThemExact) {
  auto utf8 = x->create({.netWmName = "R\xC3\xA9sum\xC3\xA9 \xE2\x9C\x93", .wmName = "ignored"});
  auto latin1 = x->create({.wmName = "caf\xE9"});  // Latin-1 é
  auto none = x->create({});
  auto slash = x->create({.netWmName = "docs/notes.txt"});
  auto blank = x->create({.netWmName = " "});
  auto empty = x->create({.netWmName = ""});
  auto invalid = x->create({.netWmName = "a\xFF" "b"});

  auto c = queryContent(main, *service);
  for (auto id : {utf8, latin1, none, slash, blank, empty, invalid}) ASSERT_TRUE(findWindow(c, id)) << id;
  EXPECT_EQ(findWindow(c, utf8)->title, "R\xC3\xA9sum\xC3\xA9 \xE2\x9C\x93");
  EXPECT_EQ(findWindow(c, latin1)->title, "caf\xC3\xA9");
  EXPECT_EQ(findWindow(c, none)->title, std::nullopt);
  EXPECT_EQ(findWindow(c, slash)->title, "docs/notes.txt");
  EXPECT_EQ(findWindow(c, blank)->title, " ");
  EXPECT_EQ(findWindow(c, empty)->title, "");
  EXPECT_EQ(findWindow(c, invalid)->title, "a\xEF\xBF\xBD" "b");  // never invalid UTF-8 downstream
}

TEST_F(Enumeration, NamesTheApplicationFromWmClassElseFromTheProcess) {
  auto byClass = x->create({.wmClass = "Gedit", .pid = static_cast<uint32_t>(getpid())});
  auto byPid = x->create({.pid = static_cast<uint32_t>(getpid())});
  // Without either, the X server itself knows which local process owns the window.
  auto byClient = x->create({});

  auto c = queryContent(main, *service);
  ASSERT_TRUE(findWindow(c, byClass) && findWindow(c, byPid) && findWindow(c, byClient));
  ASSERT_TRUE(findWindow(c, byClass)->owningApplication);
  EXPECT_EQ(findWindow(c, byClass)->owningApplication->applicationName, "Gedit");
  ASSERT_TRUE(findWindow(c, byPid)->owningApplication);
  EXPECT_EQ(findWindow(c, byPid)->owningApplication->applicationName, ownProcessName());
  ASSERT_TRUE(findWindow(c, byClient)->owningApplication);
  EXPECT_EQ(findWindow(c, byClient)->owningApplication->applicationName, ownProcessName());
}

TEST_F(Enumeration, ListsOnlyViewableWindowsWithLayersByKind) {
  auto normal = x->create({});
  auto dialog = x->create({.windowType = "_NET_WM_WINDOW_TYPE_DIALOG"});
  auto popup = x->create({.overrideRedirect = true});
  auto tooltip = x->create({.windowType = "_NET_WM_WINDOW_TYPE_TOOLTIP", .overrideRedirect = true});
  auto dock = x->create({.windowType = "_NET_WM_WINDOW_TYPE_DOCK"});
  auto neverMapped = x->create({.mapped = false});
  auto unmapped = x->create({});
  x->unmap(unmapped);
  auto hidden = x->create({});
  uint32_t hiddenState = x->atom("_NET_WM_STATE_HIDDEN");
  xcb_change_property(x->connection(), XCB_PROP_MODE_REPLACE, hidden, x->atom("_NET_WM_STATE"), XCB_ATOM_ATOM, 32, 1,
                      &hiddenState);
  x->sync();

  auto c = queryContent(main, *service);
  ASSERT_TRUE(findWindow(c, normal) && findWindow(c, dialog) && findWindow(c, popup) && findWindow(c, tooltip) &&
              findWindow(c, dock));
  EXPECT_EQ(findWindow(c, normal)->windowLayer, kLayerNormal);
  EXPECT_EQ(findWindow(c, dialog)->windowLayer, kLayerNormal);
  EXPECT_EQ(findWindow(c, popup)->windowLayer, kLayerOverrideRedirect);
  EXPECT_EQ(findWindow(c, tooltip)->windowLayer, kLayerTooltip);
  EXPECT_GT(findWindow(c, dock)->windowLayer, 0);
  EXPECT_FALSE(findWindow(c, neverMapped));
  EXPECT_FALSE(findWindow(c, unmapped));
  EXPECT_FALSE(findWindow(c, hidden));
}

TEST_F(Enumeration, ListsWindowsFrontMostFirstAndFollowsRestacking) {
  auto a = x->create({.x = 10, .y = 10});
  auto b = x->create({.x = 20, .y = 20});
  auto c = x->create({.x = 30, .y = 30, .overrideRedirect = true});
  EXPECT_EQ(orderOf(queryContent(main, *service), {a, b, c}), (std::vector<uint32_t>{c, b, a}));
  x->raise(a);
  EXPECT_EQ(orderOf(queryContent(main, *service), {a, b, c}), (std::vector<uint32_t>{a, c, b}));
}

TEST_F(Enumeration, ListsTheScreenAsOneDisplayNamedByItsMonitorAtom) {
  auto first = queryContent(main, *service);
  auto second = queryContent(main, *service);
  ASSERT_EQ(first.displays.size(), 1u);
  EXPECT_EQ(first.displays[0].displayID, x->atom("screen"));  // Xvfb's one output
  EXPECT_EQ(first.displays[0].width, x->screenWidth());
  EXPECT_EQ(first.displays[0].height, x->screenHeight());
  ASSERT_EQ(second.displays.size(), 1u);
  EXPECT_EQ(second.displays[0].displayID, first.displays[0].displayID);
}

TEST(EnumerationWithWindowManager, ListsClientWindowsNotFramesWithOverrideRedirectOnesInStackingOrder) {
  VANTOR_PRIVATE_DISPLAY(display, "--wm");
  TestWindows x(display->name().c_str());
  exec::MainLoop main;
  auto service = platform::makeX11ScreenCapture(main, display->name());

  auto named = x.create({.x = 50, .y = 50, .netWmName = "Net name", .wmName = "Old name", .wmClass = "Editor"});
  auto oldStyle = x.create({.x = 80, .y = 80, .wmName = "only WM_NAME", .pid = static_cast<uint32_t>(getpid())});
  auto untitled = x.create({.x = 110, .y = 110});
  auto menu = x.create({.x = 140, .y = 140, .windowType = "_NET_WM_WINDOW_TYPE_POPUP_MENU", .overrideRedirect = true});
  auto unmapped = x.create({.x = 170, .y = 170, .mapped = false});
  x.raise(oldStyle);

  auto c = queryContent(main, *service);
  // Every listed window is one we made: frames and the manager's own windows stay out.
  std::vector<uint32_t> ours{named, oldStyle, untitled, menu, unmapped};
  for (const auto& w : c.windows)
    EXPECT_NE(std::find(ours.begin(), ours.end(), w.windowID), ours.end())
        << "unexpected window " << w.windowID << " " << w.title.value_or("(untitled)") << " layer " << w.windowLayer;
  // The manager raises frames among its own; the unmanaged menu stays above them.
  EXPECT_EQ(orderOf(c, ours), (std::vector<uint32_t>{menu, oldStyle, untitled, named}));

  ASSERT_TRUE(findWindow(c, named) && findWindow(c, oldStyle) && findWindow(c, untitled) && findWindow(c, menu));
  EXPECT_EQ(findWindow(c, named)->title, "Net name");
  EXPECT_EQ(findWindow(c, oldStyle)->title, "only WM_NAME");
  EXPECT_EQ(findWindow(c, untitled)->title, std::nullopt);
  EXPECT_EQ(findWindow(c, named)->owningApplication->applicationName, "Editor");
  EXPECT_EQ(findWindow(c, oldStyle)->owningApplication->applicationName, ownProcessName());
  EXPECT_EQ(findWindow(c, named)->windowLayer, 0);
  EXPECT_GT(findWindow(c, menu)->windowLayer, 0);
}

TEST(EnumerationWithWindowManager, LeavesOutMinimisedWindows) {
  VANTOR_PRIVATE_DISPLAY(display, "--wm");
  TestWindows x(display->name().c_str());
  exec::MainLoop main;
  auto service = platform::makeX11ScreenCapture(main, display->name());
  auto kept = x.create({});
  auto minimised = x.create({});

  // ICCCM: ask the manager to iconify through a WM_CHANGE_STATE client message.
  xcb_client_message_event_t msg{};
  msg.response_type = XCB_CLIENT_MESSAGE;
  msg.format = 32;
  msg.window = minimised;
  msg.type = x.atom("WM_CHANGE_STATE");
  msg.data.data32[0] = 3;  // IconicState
  xcb_send_event(x.connection(), 0, x.root(),
                 XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                 reinterpret_cast<const char*>(&msg));
  x.sync();
  bool gone = false;
  for (int i = 0; i < 200 && !gone; ++i) {
    gone = !findWindow(queryContent(main, *service), minimised);
    if (!gone) usleep(10000);
  }
  EXPECT_TRUE(gone);
  EXPECT_TRUE(findWindow(queryContent(main, *service), kept));
}

TEST(EnumerationOfMonitors, ListsThePrimaryMonitorFirstWithIdsThatStay) {
  VANTOR_PRIVATE_DISPLAY(display, "--size 3840x1080 --monitors 2");
  TestWindows x(display->name().c_str());
  exec::MainLoop main;
  auto service = platform::makeX11ScreenCapture(main, display->name());

  auto first = queryContent(main, *service);
  ASSERT_EQ(first.displays.size(), 2u);
  EXPECT_EQ(first.displays[0].displayID, x.atom("RIGHT"));
  EXPECT_EQ(first.displays[1].displayID, x.atom("LEFT"));
  for (const auto& d : first.displays) {
    EXPECT_EQ(d.width, 1920);
    EXPECT_EQ(d.height, 1080);
  }
  x.create({});  // changes on screen change nothing about the ids
  auto second = queryContent(main, *service);
  ASSERT_EQ(second.displays.size(), 2u);
  EXPECT_EQ(second.displays[0].displayID, first.displays[0].displayID);
  EXPECT_EQ(second.displays[1].displayID, first.displays[1].displayID);
}

// Restores an environment variable when the test ends.
class EnvVar {
 public:
  explicit EnvVar(const char* name) : name_(name) {
    if (const char* v = std::getenv(name)) old_ = v;
  }
  ~EnvVar() {
    if (old_) setenv(name_, old_->c_str(), 1);
    else unsetenv(name_);
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

TEST(EnumerationErrors, WithoutDisplayEveryOperationFailsWithTheSameClearError) {
  EnvVar keep("DISPLAY");
  unsetenv("DISPLAY");
  exec::MainLoop main;
  auto service = platform::makeX11ScreenCapture(main);

  Error listing = errorFrom([&] { queryContent(main, *service); });
  EXPECT_EQ(listing.domain(), "Vantor.X11");
  EXPECT_EQ(listing.description(), "DISPLAY is not set; no X server to capture");

  Error stillError = errorFrom([&] { captureStill(main, *service, ContentFilter::forDisplay({1, 10, 10})); });
  EXPECT_EQ(stillError.description(), "DISPLAY is not set; no X server to capture");

  auto stream = service->createStream(ContentFilter::forDisplay({1, 10, 10}), {});
  stream->addStreamOutput([](FrameRef) {}, main);
  Error startError = errorFrom([&] { runOnMain(main, [&]() -> asio::awaitable<void> { co_await start(*stream); }); });
  EXPECT_EQ(startError.description(), "DISPLAY is not set; no X server to capture");
}

TEST(EnumerationErrors, AnUnreachableServerIsNamedInTheError) {
  EnvVar keep("DISPLAY");
  setenv("DISPLAY", ":999", 1);
  exec::MainLoop main;
  auto fromEnv = platform::makeX11ScreenCapture(main);
  Error e = errorFrom([&] { queryContent(main, *fromEnv); });
  EXPECT_EQ(e.domain(), "Vantor.X11");
  EXPECT_EQ(e.description(), "cannot connect to X server :999");

  auto named = platform::makeX11ScreenCapture(main, std::string(":998"));
  EXPECT_EQ(errorFrom([&] { queryContent(main, *named); }).description(), "cannot connect to X server :998");
}

TEST(TextConversion, TurnsLatin1AndBrokenUtf8IntoValidUtf8) {
  using platform::x11::latin1ToUtf8;
  using platform::x11::toValidUtf8;
  EXPECT_EQ(latin1ToUtf8("A\xE9\xFF"), "A\xC3\xA9\xC3\xBF");
  EXPECT_EQ(toValidUtf8("ok \xE2\x9C\x93"), "ok \xE2\x9C\x93");
  EXPECT_EQ(toValidUtf8("\xC0\xAF"), "\xEF\xBF\xBD\xEF\xBF\xBD");                 // overlong
  EXPECT_EQ(toValidUtf8("\xED\xA0\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");  // surrogate
  EXPECT_EQ(toValidUtf8("\xE2\x9C"), "\xEF\xBF\xBD\xEF\xBF\xBD");                  // cut short
}

}  // namespace
}  // namespace vantor::x11test
