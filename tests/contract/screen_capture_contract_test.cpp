// What every screen-capture backend owes its callers, written once against
// ScreenCaptureService and Stream: run on the simulated backend always and
// on X11 when a private Xvfb starts. A new backend is one more INSTANTIATE.

#include "contract/capture_backend.h"
#include "support/capture_sinks.h"

#include <mutex>
#include <set>

namespace vantor::capturetest {
namespace {

constexpr uint32_t kRed = 0xff0000, kGreen = 0x00ff00, kBlue = 0x0000ff, kYellow = 0xffff00, kWhite = 0xffffff,
                   kBlack = 0x000000;

#define VANTOR_REQUIRE(ability) \
  if (auto why = b->cannot(Ability::ability); !why.empty()) GTEST_SKIP() << "SKIPPED: " << why

struct Maker {
  const char* name;
  std::unique_ptr<Backend> (*make)(std::string* why);  // null, and why, when it cannot
  friend void PrintTo(const Maker& m, std::ostream* out) { *out << m.name; }
};

class CaptureContract : public ::testing::TestWithParam<Maker> {
 protected:
  void SetUp() override {
    std::string why;
    if (!(b = GetParam().make(&why))) GTEST_SKIP() << "SKIPPED: " << why;
    main = content(*b).displays.at(0);
  }
  std::unique_ptr<Stream> stream(const ContentFilter& f, int width, int height, std::chrono::milliseconds interval = 10ms,
                                 int depth = 4) {
    auto s = b->service().createStream(f, {width, height, interval, depth});
    frames.attach(*s, b->main);
    return s;
  }
  // Starts `s`, waits for its first frame, runs `then` and stops `s`.
  void firstFrame(Stream& s, std::function<asio::awaitable<void>()> then = nullptr) {
    run(b->main, [&]() -> asio::awaitable<void> {
      co_await start(s);
      b->pump();
      EXPECT_TRUE(co_await waitUntil([&] { return frames.handled >= 1; }));
      if (then) co_await then();
      co_await stop(s);
    });
  }
  asio::awaitable<void> repaint(uint32_t w, int times, std::chrono::milliseconds apart) {
    for (int i = 0; i < times; ++i, co_await sleepFor(apart)) b->fill(w, i % 2 ? kRed : kGreen);
  }

  std::unique_ptr<Backend> b;
  Display main;
  Frames frames;
};

// ---- Listing

// Displays in their order, the main one first, with ids that stay while
// windows come; windows on screen only, front-most first, normal ones at
// layer 0, the order following a raise.
TEST_P(CaptureContract, ListsTheDisplaysMainFirstAndOnScreenWindowsOnlyFrontMostFirst) {
  auto facts = [](const std::vector<Display>& displays) {
    std::vector<std::tuple<uint32_t, int, int>> out;
    for (const Display& d : displays) out.emplace_back(d.displayID, d.width, d.height);
    return out;
  };
  EXPECT_EQ(facts(content(*b).displays), facts(b->displays()));
  std::vector<Kind> kinds = {Kind::normal, Kind::neverShown, Kind::dialog, Kind::unmapped, Kind::popup,
                             Kind::hidden, Kind::tooltip,    Kind::dock};
  if (!b->can(Ability::chrome))
    std::erase_if(kinds, [](Kind k) { return k == Kind::popup || k == Kind::tooltip || k == Kind::dock; });
  std::vector<uint32_t> made, shown;  // shown: front-most first
  for (Kind k : kinds) {
    made.push_back(b->window({.x = 10 * int(made.size())}, k));
    if (k < Kind::neverShown) shown.insert(shown.begin(), made.back());
  }
  auto listed = content(*b);
  EXPECT_EQ(facts(listed.displays), facts(b->displays()));
  auto order = [&](const ShareableContent& c) {
    std::vector<uint32_t> ours;
    for (const auto& w : c.windows)
      if (std::find(made.begin(), made.end(), w.windowID) != made.end()) ours.push_back(w.windowID);
    return ours;
  };
  EXPECT_EQ(order(listed), shown);
  for (size_t i = 0; i < made.size(); ++i)
    if (auto* w = findWindow(listed, made[i])) EXPECT_EQ(w->windowLayer == 0, kinds[i] <= Kind::dialog) << i;
  b->raise(made[0]);
  std::rotate(shown.begin(), shown.end() - 1, shown.end());
  EXPECT_EQ(order(content(*b)), shown);
  // Hidden, then closed, after a listing: each next listing has it no more.
  for (bool close : {false, true}) {
    close ? b->close(shown.front()) : b->show(shown.front(), false);
    shown.erase(shown.begin());
    EXPECT_EQ(order(content(*b)), shown) << (close ? "closed" : "hidden");
  }
}

// ---- Streams

// Pacing is counted over the whole span rather than frame by frame: a busy
// machine may hold one frame back, which is no fault; none may come early.
TEST_P(CaptureContract, FramesHaveTheConfiguredSizeComeInOrderNoFasterThanTheIntervalAndNoneAfterStop) {
  auto w = b->window({.color = kRed});
  frames.keepAll = true;
  auto s = stream(ContentFilter::forDisplay(main), 320, 180, 50ms, 64);
  const auto before = std::chrono::steady_clock::now();
  int atStop = -1;
  run(b->main, [&]() -> asio::awaitable<void> {
    co_await start(*s);
    co_await repaint(w, 120, 5ms);  // far more changes than frames allowed
    b->fill(w, kBlue);  // on its way at the stop: not handled once the stop reports
    co_await stop(*s);
    atStop = frames.handled;
    co_await repaint(w, 20, 5ms);
  });
  const size_t n = frames.kept.size();
  ASSERT_GE(n, 4u);
  EXPECT_EQ(frames.handled, atStop);
  EXPECT_EQ(frames.offLoop, 0);
  EXPECT_GE(s->stats().delivered, n);
  for (size_t i = 0; i < n; ++i) {
    const auto& f = *frames.kept[i];
    ASSERT_TRUE(f.image) << i;
    EXPECT_EQ(std::tuple(f.image->width, f.image->height, f.index), std::tuple(320, 180, i));
    EXPECT_GE(f.presentationTime, i ? frames.kept[i - 1]->presentationTime : before) << i;
  }
  EXPECT_LE(frames.kept.back()->presentationTime, std::chrono::steady_clock::now());
  if (b->can(Ability::timing))
    EXPECT_GE(frames.kept.back()->presentationTime - frames.kept.front()->presentationTime, (n - 1) * 45ms) << n;
}

// Fitted in: at its own size when smaller, scaled down with its aspect kept
// when larger, centred, black around; a covered window in its own colours.
TEST_P(CaptureContract, FramesShowTheTargetFittedInCentredNeverScaledUpWithBlackAround) {
  VANTOR_REQUIRE(content);
  using Points = std::vector<std::pair<int, int>>;
  struct Row {
    const char* what;
    Look target;
    bool display, covered;
    int width, height;
    Points in, out;  // out: black, or on a display just not the window's colour
  } rows[] = {
      {"a window on the display, at its place", {.x = 300, .y = 200, .width = 400, .height = 300, .color = kRed},
       true, false, 1920, 1080, {{300, 200}, {699, 499}, {500, 350}}, {{299, 200}, {700, 499}, {500, 500}}},
      {"a smaller window", {.x = 50, .y = 60, .width = 640, .height = 360, .color = kGreen}, false, false, 1920, 1080,
       {{640, 360}, {1279, 719}, {960, 540}, {640, 719}, {1279, 360}},
       {{639, 540}, {1280, 540}, {960, 359}, {960, 720}, {0, 0}, {1919, 1079}}},
      {"a larger window, halved to rows 80-279", {.x = 0, .y = 100, .width = 1280, .height = 400, .color = kBlue},
       false, false, 640, 360, {{0, 80}, {639, 279}, {320, 180}}, {{320, 79}, {320, 280}, {0, 0}}},
      {"a covered window", {.x = 300, .y = 300, .width = 400, .height = 300, .color = kBlue}, false, true, 400, 300,
       {{0, 0}, {399, 299}, {200, 150}, {0, 299}, {399, 0}}, {}},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    if ((r.covered && !b->can(Ability::ownPixels)) || (!r.display && !b->can(Ability::windows))) continue;
    uint32_t w = b->window(r.target);
    if (r.covered) b->window({.x = 250, .y = 250, .width = 500, .height = 400, .color = kYellow});
    frames = {};
    auto s = stream(r.display ? ContentFilter::forDisplay(main) : ContentFilter::forWindow({w}), r.width, r.height);
    firstFrame(*s);
    ASSERT_TRUE(frames.last && frames.last->image);
    ASSERT_EQ(frames.image().width, r.width);
    ASSERT_EQ(frames.image().height, r.height);
    for (auto [x, y] : r.in) EXPECT_EQ(rgbAt(frames.image(), x, y), r.target.color) << x << "," << y;
    for (auto [x, y] : r.out)
      if (r.display) EXPECT_NE(rgbAt(frames.image(), x, y), r.target.color) << x << "," << y;
      else EXPECT_EQ(rgbAt(frames.image(), x, y), kBlack) << x << "," << y;
    b->close(w);
  }
}

// A new size is fitted anew, the old picture's place painted over; a window
// off screen sends nothing and is found again when it comes back.
TEST_P(CaptureContract, WindowStreamFollowsResizesAndTheWindowComingBack) {
  VANTOR_REQUIRE(content);
  VANTOR_REQUIRE(windows);
  auto w = b->window({.width = 640, .height = 360, .color = kGreen});
  auto s = stream(ContentFilter::forWindow({w}), 1920, 1080);
  firstFrame(*s, [&]() -> asio::awaitable<void> {
    EXPECT_EQ(rgbAt(frames.image(), 700, 400), kGreen);
    b->resize(w, 320, 180);
    EXPECT_TRUE(co_await waitUntil([&] { return rgbAt(frames.image(), 700, 400) == kBlack; }));
    for (auto [x, y, colour] : {std::tuple{800, 450, kGreen}, {1119, 629, kGreen}, {799, 450, kBlack}, {1120, 629, kBlack}})
      EXPECT_EQ(rgbAt(frames.image(), x, y), colour) << x << "," << y;  // 320x180 centred: 800-1119, 450-629

    b->show(w, false);
    co_await sleepFor(50ms);
    int hidden = frames.handled;
    b->fill(w, kBlue);  // drawn while off screen: nothing to show
    co_await sleepFor(200ms);
    EXPECT_EQ(frames.handled, hidden);
    b->show(w, true);
    EXPECT_TRUE(co_await waitUntil([&] { return frames.handled > hidden; }));
    EXPECT_EQ(rgbAt(frames.image(), 700, 400), kBlack);  // a buffer reused from before the resize, painted over
    b->fill(w, kRed);
    EXPECT_TRUE(co_await waitUntil([&] { return rgbAt(frames.image(), 960, 540) == kRed; }));
  });
}

// Frames come at once, then only when the target's picture changes; a
// consumer that holds queueDepth frames gets no more until it lets go, and
// the frames it missed are counted as dropped.
TEST_P(CaptureContract, DeliversOnChangesOnlyAndHoldsAtMostQueueDepthFramesInFlight) {
  VANTOR_REQUIRE(timing);
  auto w = b->window({.x = 100, .y = 100, .width = 200, .height = 200, .color = kRed});
  auto s = stream(ContentFilter::forDisplay(main), 640, 360, 2ms, 3);
  auto quiet = [&](int expected) -> asio::awaitable<void> {
    EXPECT_TRUE(co_await waitUntil([&] { return frames.handled >= expected; }));
    co_await sleepFor(300ms);
    EXPECT_EQ(frames.handled, expected);
  };
  run(b->main, [&]() -> asio::awaitable<void> {
    co_await start(*s);
    co_await quiet(1);
    b->fill(w, kGreen);
    b->changeElsewhere();  // off this display: no frame of its own
    co_await quiet(2);
    EXPECT_EQ(rgbAt(frames.image(), 50, 50), kGreen);  // (100, 100)-(300, 300) at a third
    if (b->can(Ability::pointer)) b->movePointer(600, 600);  // the cursor moved: the picture changed
    else b->fill(w, kRed);
    co_await quiet(3);
    auto stats = s->stats();
    EXPECT_EQ(std::tuple(stats.delivered, stats.grabs, stats.dropped), std::tuple(3u, 3u, 0u));
    frames.keepAll = true;  // from now on every frame is held: three more come, then none
    co_await repaint(w, 60, 3ms);
    EXPECT_EQ(frames.handled, 6);
    EXPECT_GT(s->stats().dropped, 0u);
    // Once it lets go, the last change comes, though the screen has been still since.
    co_await sleepFor(200ms);
    frames.kept.clear(), frames.last.reset();
    EXPECT_TRUE(co_await waitUntil([&] { return frames.last && rgbAt(frames.image(), 50, 50) == kRed; }));
    b->fill(w, kBlue);
    EXPECT_TRUE(co_await waitUntil([&] { return frames.last && rgbAt(frames.image(), 50, 50) == kBlue; }));
    co_await stop(*s);
  });
}

// With a recording output, a main loop that lags holds up neither the movie
// nor memory: the output goes on getting every frame while the loop is
// blocked (posting each frame to the loop kept queueDepth capture buffers and
// stopped the grabs), and the loop gets the latest picture when it comes round.
// The frame it has not taken gives its buffer back to the grabs: two capture
// buffers in all, the loop's and the one grabbed into.
TEST_P(CaptureContract, AMainLoopThatLagsGetsTheLatestFrameWhileTheRecordingOutputGetsEveryOne) {
  VANTOR_REQUIRE(timing);
  struct Counting final : RecordingOutput {
    std::atomic<int> frames{0};
    std::mutex mutex;
    std::set<const uint8_t*> buffers;
    void setPaused(bool) override {}
    void streamDidOutputFrame(FrameRef f) override {
      ++frames;
      std::lock_guard lock(mutex);
      buffers.insert(f->image->data);
    }
    void streamDidStop(Clock::time_point) override {}
    void abandon() override {}
  };
  auto output = std::make_shared<Counting>();
  auto w = b->window({.x = 100, .y = 100, .width = 200, .height = 200, .color = kRed});
  auto s = stream(ContentFilter::forDisplay(main), 640, 360, 2ms, 3);
  s->addRecordingOutput(output);
  run(b->main, [&]() -> asio::awaitable<void> {
    co_await start(*s);
    EXPECT_TRUE(co_await waitUntil([&] { return frames.handled >= 1; }));
    int recorded = output->frames;
    for (int i = 0; i < 60; ++i) {  // the loop is blocked all along
      b->fill(w, i % 2 ? kRed : kGreen);
      std::this_thread::sleep_for(10ms);
    }
    b->fill(w, kBlue);
    EXPECT_GE(output->frames - recorded, 3 + 2);
    EXPECT_TRUE(co_await waitUntil([&] { return frames.last && rgbAt(frames.image(), 50, 50) == kBlue; }));
    co_await stop(*s);
  });
  std::lock_guard lock(output->mutex);
  EXPECT_LE(output->buffers.size(), 2u);
}

// A window that goes ends its stream, quietly (a log line at most), and its
// stop still reports; stills and starts of targets that are gone fail
// clearly, and the service carries on.
TEST_P(CaptureContract, TargetsThatGoEndTheirStreamsAndFailStillsAndStarts) {
  test::CapturedOutput out;
  auto gone = b->window({.width = 200, .height = 200, .color = kRed});
  if (b->can(Ability::windows)) {
    auto s = stream(ContentFilter::forWindow({gone}), 200, 200);
    firstFrame(*s, [&]() -> asio::awaitable<void> {
      b->close(gone);
      for (int i = 0; i < 10; ++i, co_await sleepFor(20ms)) b->pump(), b->movePointer(150 + 10 * i, 150);
    });
    EXPECT_EQ(frames.handled, 1);
    EXPECT_LE(out.logLines().size(), 1u) << ::testing::PrintToString(out.logLines());
  } else {
    b->close(gone);
  }

  auto hidden = b->window({}, Kind::neverShown);
  const std::string window = "window " + std::to_string(gone), display = "display 12345";
  EXPECT_EQ(failure([&] { still(*b, ContentFilter::forWindow({gone})); }), window + " is no longer available");
  EXPECT_EQ(failure([&] { still(*b, ContentFilter::forWindow({hidden})); }),
            "window " + std::to_string(hidden) + " is not on screen");
  EXPECT_EQ(failure([&] { still(*b, ContentFilter::forDisplay({12345, 10, 10})); }), display + " is no longer available");
  auto toWindow = stream(ContentFilter::forWindow({gone}), 640, 360);
  auto toDisplay = stream(ContentFilter::forDisplay({12345, 640, 360}), 640, 360);
  EXPECT_EQ(failure([&] { run(b->main, [&]() { return start(*toWindow); }); }), window + " is no longer available");
  EXPECT_EQ(failure([&] { run(b->main, [&]() { return start(*toDisplay); }); }), display + " is no longer available");
  EXPECT_TRUE(still(*b, ContentFilter::forDisplay(main)));
}

// A still is its target alone at its own size: a display's monitor, a
// window's inside without its border, also where another window covers it;
// the cursor drawn in where it is over the target, and only there.
TEST_P(CaptureContract, StillsShowADisplayOrAWindowAloneAtItsOwnSizeWithTheCursor) {
  EXPECT_TRUE(b->service().hasScreenshotService());
  auto red = b->window({.x = 400, .y = 300, .width = 100, .height = 100, .color = kRed});
  auto board = b->window({.x = 200, .y = 200, .width = 64, .height = 48, .color = kWhite, .checker = kBlue, .border = 5});
  b->window({.x = 230, .y = 220, .width = 100, .height = 100, .color = kYellow});
  auto display = still(*b, ContentFilter::forDisplay(main));
  ASSERT_TRUE(display);
  EXPECT_EQ(std::pair(display->width, display->height), std::pair(main.width, main.height));
  EXPECT_GE(display->stride, display->width * 4);
  if (b->can(Ability::content)) {
    EXPECT_EQ(rgbAt(*display, 400, 300), kRed);
    EXPECT_EQ(rgbAt(*display, 499, 399), kRed);
    EXPECT_NE(rgbAt(*display, 500, 399), kRed);
  }
  if (!b->can(Ability::windows)) {  // said so, never a whole display instead
    EXPECT_EQ(failure([&] { still(*b, ContentFilter::forWindow({board})); }),
              "this desktop's screen-sharing portal shares whole displays only, not single windows");
    return;
  }
  auto window = still(*b, ContentFilter::forWindow({board}));
  ASSERT_TRUE(window);
  ASSERT_EQ(std::pair(window->width, window->height), std::pair(64, 48));

  if (!b->can(Ability::content)) return;
  if (b->can(Ability::ownPixels))
    for (int y = 0; y < 48; ++y)
      for (int x = 0; x < 64; ++x) ASSERT_EQ(rgbAt(*window, x, y), (x / 8 + y / 8) % 2 ? kBlue : kWhite) << x << "," << y;
  auto notRed = [](const ImageRef& image, int from, int to) {
    int n = 0;
    for (int y = from; y < to; ++y)
      for (int x = from; x < to; ++x) n += rgbAt(*image, x, y) != kRed;
    return n;
  };
  EXPECT_EQ(notRed(still(*b, ContentFilter::forWindow({red})), 0, 100), 0);
  if (!b->can(Ability::pointer)) return;
  b->movePointer(450, 350);
  auto pointed = still(*b, ContentFilter::forWindow({red}));
  EXPECT_GT(notRed(pointed, 0, 100), 20);  // a cursor image around the hotspot at (50, 50)
  EXPECT_EQ(notRed(pointed, 35, 65), notRed(pointed, 0, 100));
}

// A stream draws the pointer where it is over the target, as stills do,
// unless its configuration hides it.
TEST_P(CaptureContract, StreamsDrawThePointerUnlessTheCursorIsHidden) {
  VANTOR_REQUIRE(content);
  VANTOR_REQUIRE(pointer);
  auto red = b->window({.x = 400, .y = 300, .width = 100, .height = 100, .color = kRed});
  b->movePointer(450, 350);
  for (bool shown : {true, false}) {
    SCOPED_TRACE(shown ? "shown" : "hidden");
    frames = {};
    auto s = b->service().createStream(ContentFilter::forWindow({red}), {100, 100, 10ms, 4, shown});
    frames.attach(*s, b->main);
    firstFrame(*s);
    ASSERT_TRUE(frames.last);
    int notRed = 0;
    for (int y = 0; y < 100; ++y)
      for (int x = 0; x < 100; ++x) notRed += rgbAt(frames.image(), x, y) != kRed;
    if (shown) EXPECT_GT(notRed, 20);
    else EXPECT_EQ(notRed, 0);
  }
}

#ifdef VANTOR_HAVE_WAYLAND
// Without sway's IPC (SWAYSOCK unset for the service), windows come from
// wlr-foreign-toplevel-management: titles and app ids, the activated one
// first, ids kept across queries. (sway minimises nothing and keeps telling
// of a window in its scratchpad.) Nothing tells where they are, so a still or
// stream of one fails instead of showing its whole output.
TEST(WaylandToplevels, ListedWithStableIdsButNeverRecordedAsTheirWholeOutput) {
  std::string why;
  auto b = WaylandBackend::start(&why);
  if (!b) GTEST_SKIP() << "SKIPPED: no headless sway (" << why << ")";
  const std::string sway = std::getenv("SWAYSOCK");
  auto withoutSway = [&](auto f) {  // the service looks per call; the test's windows keep theirs
    unsetenv("SWAYSOCK");
    f();
    setenv("SWAYSOCK", sway.c_str(), 1);
  };
  auto one = b->w.create(100, 100, 200, 200, kRed, "one"), two = b->w.create(400, 100, 200, 200, kGreen, "two");
  withoutSway([&] { content(*b); });  // from here the service sees each activation
  auto three = b->w.create(700, 100, 200, 200, kBlue, "three");
  struct Step {
    std::function<void()> act;
    std::vector<std::string> titles;  // front-most first; "test": the backend's own window on the other output
  } steps[] = {{[&] { b->raise(three), b->raise(two), b->raise(one); }, {"one", "two", "three", "test"}},
               {[&] { b->raise(two); }, {"two", "one", "three", "test"}},
               {[&] { b->close(two); }, {"one", "three", "test"}}};
  std::map<std::string, uint32_t> ids;
  for (auto& step : steps) {
    step.act();
    ShareableContent listed;
    withoutSway([&] { listed = content(*b); });
    std::vector<std::string> titles;
    for (const Window& w : listed.windows) {
      titles.push_back(w.title.value_or(""));
      EXPECT_EQ(w.owningApplication->applicationName.rfind("vantor-test-", 0), 0u) << titles.back();
      EXPECT_EQ(ids.emplace(titles.back(), w.windowID).first->second, w.windowID) << titles.back() << " renumbered";
    }
    EXPECT_EQ(titles, step.titles);
  }
  const std::string no = "window " + std::to_string(ids["one"]) +
                         ": this compositor does not tell where its windows are on screen; record its display instead";
  auto s = b->service().createStream(ContentFilter::forWindow({ids["one"]}), {640, 360, 10ms, 4});
  Frames frames;
  frames.attach(*s, b->main);
  withoutSway([&] {
    EXPECT_EQ(failure([&] { still(*b, ContentFilter::forWindow({ids["one"]})); }), no);
    EXPECT_EQ(failure([&] { run(b->main, [&]() { return start(*s); }); }), no);
  });
}
#endif

std::unique_ptr<Backend> simulated(std::string*) { return std::make_unique<SimBackend>(); }
std::unique_ptr<Backend> x11(std::string* why) {
#ifdef VANTOR_HAVE_X11
  if (auto backend = X11Backend::start(why)) return backend;
  *why = "no private X server (" + *why + ")";
#else
  *why = "built without the X11 backend";
#endif
  return nullptr;
}

std::unique_ptr<Backend> wayland(std::string* why) {
#ifdef VANTOR_HAVE_WAYLAND
  if (auto backend = WaylandBackend::start(why)) return backend;
  *why = "no headless sway (" + *why + ")";
#else
  *why = "built without the Wayland backend";
#endif
  return nullptr;
}

std::unique_ptr<Backend> portal(std::string* why) {
#ifdef VANTOR_HAVE_PORTAL
  if (auto backend = PortalBackend::start(why)) return backend;
  *why = "no ScreenCast portal on a headless sway (" + *why + ")";
#else
  *why = "built without the portal backend";
#endif
  return nullptr;
}

// One line per backend.
INSTANTIATE_TEST_SUITE_P(Sim, CaptureContract, ::testing::Values(Maker{"Sim", &simulated}));
INSTANTIATE_TEST_SUITE_P(X11, CaptureContract, ::testing::Values(Maker{"X11", &x11}));
INSTANTIATE_TEST_SUITE_P(Wayland, CaptureContract, ::testing::Values(Maker{"Wayland", &wayland}));
INSTANTIATE_TEST_SUITE_P(Portal, CaptureContract, ::testing::Values(Maker{"Portal", &portal}));

}  // namespace
}  // namespace vantor::capturetest
