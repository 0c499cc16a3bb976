#include "targets/capture_catalog.h"

#include <fmt/format.h>

#include "util/log.h"
#include "exec/completion.h"

namespace vantor {
namespace {

// ["1", "3"]: each id double-quoted, comma and blank between, in platform order.
std::string quotedIdList(const std::vector<platform::Display>& displays) {
  std::string out = "[";
  for (size_t i = 0; i < displays.size(); ++i) {
    if (i) out += ", ";
    out += fmt::format("\"{}\"", displays[i].displayID);
  }
  return out + "]";
}

CaptureTargetMeta parsedTarget(CaptureKind kind, std::string identifier) {
  std::string label = (kind == CaptureKind::display ? "Display " : "Window ") + identifier;
  return {kind, std::move(identifier), std::move(label)};
}

}  // namespace

namespace CaptureCatalog {

asio::awaitable<platform::ShareableContent> shareable(platform::ScreenCaptureService& service) {
  co_return co_await exec::awaitCompletion<platform::ShareableContent>(
      [&](exec::Resolver<platform::ShareableContent> done) { service.getShareableContent(std::move(done)); });
}

asio::awaitable<std::optional<CaptureTargetMeta>> mainDisplay(platform::ScreenCaptureService& service) {
  platform::ShareableContent content = co_await shareable(service);
  if (content.displays.empty()) co_return std::nullopt;
  const platform::Display& d = content.displays.front();
  co_return CaptureTargetMeta{CaptureKind::display, std::to_string(d.displayID),
                              fmt::format("Display ({}\u00d7{})", d.width, d.height)};
}

asio::awaitable<std::optional<platform::ContentFilter>> filter(platform::ScreenCaptureService& service,
                                                               const CaptureTargetMeta& target) {
  platform::ShareableContent content = co_await shareable(service);
  std::string ids = quotedIdList(content.displays);
  logInfo(fmt::format("filter: requested kind={} id={}; available displays={} windows={}", rawValue(target.kind),
                      target.identifier, ids, content.windows.size()));

  if (target.kind == CaptureKind::display) {
    for (const platform::Display& d : content.displays)
      if (std::to_string(d.displayID) == target.identifier) co_return platform::ContentFilter::forDisplay(d);
    logError(fmt::format("filter: no display matches id={}. Available display IDs: {}.", target.identifier, ids));
    co_return std::nullopt;
  }

  for (const platform::Window& w : content.windows) {
    if (std::to_string(w.windowID) != target.identifier) continue;
    if (w.windowLayer == 0) co_return platform::ContentFilter::forWindow(w);
    logError(fmt::format("filter: window id={} is not a normal window (layer={}); refusing to capture",
                         target.identifier, w.windowLayer));
    co_return std::nullopt;
  }
  logError(fmt::format("filter: no window matches id={}", target.identifier));
  co_return std::nullopt;
}

}  // namespace CaptureCatalog

asio::awaitable<std::optional<CaptureTargetMeta>> resolveTarget(platform::ScreenCaptureService& service,
                                                                std::string_view target, std::string_view mode) {
  if (target.empty() || target == "main" || mode == "display" || mode == "screen")
    co_return co_await CaptureCatalog::mainDisplay(service);
  if (target.starts_with("display-")) co_return parsedTarget(CaptureKind::display, std::string(target.substr(8)));
  if (target.starts_with("window-")) co_return parsedTarget(CaptureKind::window, std::string(target.substr(7)));
  co_return parsedTarget(CaptureKind::display, std::string(target));
}

}  // namespace vantor
