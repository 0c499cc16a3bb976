// What only a Wayland session shows of the real agent, on a private headless
// sway: the listing of its outputs and windows, and a window take that
// follows the window as it moves, with a screenshot that matches what the
// compositor shows (grim's still of the same place).

#include <fstream>

#include "system/system_take.h"

namespace vantor::test {
namespace {

class WaylandTake : public SystemTake {
 protected:
  void SetUp() override { startScreen("wayland", "--outputs 2"); }
  WaylandTestWindows& windows() { return static_cast<WaylandScreen&>(*screen_).windows; }
};

// The mean colour of a grim still of the layout's rectangle.
std::optional<uint32_t> grimColour(const std::filesystem::path& file, int x, int y, int w, int h) {
  std::string geometry = std::to_string(x) + "," + std::to_string(y) + " " + std::to_string(w) + "x" + std::to_string(h);
  if (!ChildProcess({"grim", "-t", "ppm", "-g", geometry, file.string()}).finish().exitedWith(0)) return std::nullopt;
  std::ifstream in(file, std::ios::binary);
  std::string magic;
  int width = 0, height = 0, max = 0;
  in >> magic >> width >> height >> max;
  in.get();
  std::vector<unsigned char> rgb(size_t(width) * height * 3);
  in.read(reinterpret_cast<char*>(rgb.data()), std::streamsize(rgb.size()));
  double sum[3] = {};
  for (size_t i = 0; i < rgb.size(); ++i) sum[i % 3] += rgb[i];
  auto channel = [&](int c) { return uint32_t(std::lround(sum[c] / (double(width) * height))); };
  return channel(0) << 16 | channel(1) << 8 | channel(2);
}

TEST_F(WaylandTake, ListsOutputsAndWindowsThenRecordsAWindowThatMovesAndStillsWhatTheCompositorShows) {
  const int ww = 480, wh = 320, left = (kWidth - ww) / 2, top = (kHeight - wh) / 2;
  uint32_t back = windows().create(600, 500, 200, 100, 0x603050, "notes/today.txt");
  uint32_t w = windows().create(100, 120, ww, wh, kPalette[0], "moving");
  ProcessResult listed = ChildProcess({VANTOR_BINARY, "list-targets"}).finish();
  ASSERT_TRUE(listed.exitedWith(0)) << listed.describeEnd() << listed.err;
  json listing = json::parse(listed.out, nullptr, false);
  ASSERT_TRUE(listing.is_object()) << listed.out;
  ASSERT_EQ(listing["displays"].size(), 2u) << listed.out;
  EXPECT_EQ(listing["displays"][0]["label"], "Display 1 (1920×1080)");
  EXPECT_EQ(listing["displays"][1]["label"], "Display 2 (1280×720)");
  EXPECT_EQ(listing["windows"], (json{{{"id", "window-" + std::to_string(w)}, {"label", "vantor-test-2 — moving"}},
                                      {{"id", "window-" + std::to_string(back)},
                                       {"label", "vantor-test-1 — notes/today.txt"}}}));

  auto painter = paint(w);
  auto agent = this->agent();
  auto path = dir_ / "window.mp4";
  auto recording = agent->start("window-" + std::to_string(w), path, false);
  ASSERT_TRUE(recording);
  agent->watch(700ms);
  windows().moveResize(w, 900, 400, ww, wh);
  auto moved = Clock::now();
  agent->watch(800ms);
  painter->stop();
  windows().fill(w, kPalette[3]);
  agent->watch(300ms);
  auto still = screenshot(*agent);
  ASSERT_TRUE(still);
  EXPECT_EQ(std::pair(still->width, still->height), std::pair(ww, wh));
  auto onScreen = grimColour(dir_ / "grim.ppm", 900, 400, ww, wh);
  ASSERT_TRUE(onScreen) << "grim could not take a still";
  EXPECT_LE(distance(*onScreen, kPalette[3]), 2);
  EXPECT_LE(distance(rgbOf(still->mean(0, 0, ww, wh)), *onScreen), kColourTolerance);
  std::filesystem::remove(dir_ / "grim.ppm");
  ASSERT_TRUE(agent->stop());
  EXPECT_TRUE(agent->finish().exitedWith(0));

  // At its size, centred, black around, wherever it was on screen.
  const std::vector<std::pair<int, int>> probes = {{left + ww / 2, top + wh / 2}, {left + 6, top + 6},
      {left + ww - 7, top + wh - 7}, {left - 8, top + wh / 2}, {left + ww + 8, top + 8}, {8, 8}};
  Movie movie = readMovie(path, probes);
  ASSERT_FALSE(movie.pictures.empty());
  for (const Picture& p : movie.pictures) {
    EXPECT_TRUE(isPaletteColour(p.probes[0])) << "picture at " << p.pts;
    for (size_t k = 1; k < 3; ++k) EXPECT_LE(distance(p.probes[k], p.probes[0]), kColourTolerance) << p.pts << " " << k;
    for (size_t k = 3; k < probes.size(); ++k) EXPECT_LE(distance(p.probes[k], kBlack), kColourTolerance) << p.pts << " " << k;
  }
  double at = secondsBetween(recording->at, moved);
  EXPECT_GE(movie.changesBetween(0, at), 20);
  EXPECT_GE(movie.changesBetween(at + 0.1, at + 0.8), 20) << "the take lost the window when it moved";
}

}  // namespace
}  // namespace vantor::test
