#include "targets/listing.h"

#include <unistd.h>

#include <fmt/format.h>

#include <nlohmann/json.hpp>

#include "util/line_sink.h"
#include "targets/capture_catalog.h"
#include "util/json_text.h"

namespace vantor {

std::string listingDocument(const platform::ShareableContent& content) {
  // nlohmann::json keeps object members sorted by key, as the document's form requires.
  nlohmann::json displays = nlohmann::json::array();
  int n = 0;
  for (const platform::Display& d : content.displays) {
    displays.push_back({{"id", fmt::format("display-{}", d.displayID)},
                        {"label", fmt::format("Display {} ({}\u00d7{})", ++n, d.width, d.height)}});
  }
  nlohmann::json windows = nlohmann::json::array();
  for (const platform::Window& w : content.windows) {
    if (!w.title || w.title->empty() || !w.owningApplication || w.windowLayer != 0) continue;
    windows.push_back({{"id", fmt::format("window-{}", w.windowID)},
                       {"label", fmt::format("{} \u2014 {}", w.owningApplication->applicationName, *w.title)}});
  }
  return toCompactJson({{"displays", std::move(displays)}, {"windows", std::move(windows)}});
}

asio::awaitable<int> runListTargets(platform::ScreenCaptureService& service) {
  FdSink out(STDOUT_FILENO);
  FdSink err(STDERR_FILENO);
  platform::ShareableContent content;
  try {
    content = co_await CaptureCatalog::shareable(service);
  } catch (const std::exception& e) {
    err.writeLine(fmt::format("list-targets: {} failed: {}\n", service.name(), e.what()));
    co_return 1;
  }
  std::string document = listingDocument(content);
  if (document.empty()) {
    err.writeLine("list-targets: JSON serialisation failed\n");
    co_return 1;
  }
  out.writeLine(document + "\n");
  co_return 0;
}

}  // namespace vantor
