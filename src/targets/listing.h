#pragma once
// The listing mode: the displays and windows a host can offer as targets,
// printed as one JSON document.

#include <asio/awaitable.hpp>
#include <string>

#include "platform/screen_capture.h"

namespace vantor {

// {"displays":[{"id":"display-{id}","label":"Display {n} ({w}×{h})"}…],
//  "windows":[{"id":"window-{id}","label":"{app} — {title}"}…]}, compact, keys
// sorted, slashes escaped. Windows without a non-empty title, without an
// owning application or not on layer 0 are left out. Empty when the text
// cannot be serialised.
std::string listingDocument(const platform::ShareableContent& content);

// Queries the platform, prints the document and a newline on standard output
// and returns the exit status (0), or prints a plain message on standard
// error and returns 1.
asio::awaitable<int> runListTargets(platform::ScreenCaptureService& service);

}  // namespace vantor
