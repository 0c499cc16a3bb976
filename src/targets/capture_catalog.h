#pragma once
// Turns target strings into CaptureTargetMeta and CaptureTargetMeta into
// content filters. Stateless: every call asks the platform afresh; callable
// from any coroutine, concurrently.

#include <asio/awaitable.hpp>
#include <optional>
#include <string_view>

#include "platform/screen_capture.h"
#include "targets/capture_target.h"

namespace vantor {

namespace CaptureCatalog {

// The current displays and windows; the platform's error passes through unchanged.
asio::awaitable<platform::ShareableContent> shareable(platform::ScreenCaptureService& service);

// The first display listed, labelled "Display ({width}×{height})"; nothing
// when no display exists.
asio::awaitable<std::optional<CaptureTargetMeta>> mainDisplay(platform::ScreenCaptureService& service);

// The filter for exactly that display or window; nothing (with an ERROR log
// line saying why) when it is not there or is not a normal window.
asio::awaitable<std::optional<platform::ContentFilter>> filter(platform::ScreenCaptureService& service,
                                                               const CaptureTargetMeta& target);

}  // namespace CaptureCatalog

// The target grammar. Only the main display consults the platform: nothing
// when no display exists, the platform's error when the query fails. Every
// other form resolves without looking, and surfaces as a missing filter later.
asio::awaitable<std::optional<CaptureTargetMeta>> resolveTarget(platform::ScreenCaptureService& service,
                                                                std::string_view target, std::string_view mode);

}  // namespace vantor
