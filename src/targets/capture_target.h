#pragma once
// What a take records: one display or one window, named by kind and the
// decimal text of its id, with a label for people.

#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>
#include <string_view>

namespace vantor {

enum class CaptureKind { display, window };

std::string_view rawValue(CaptureKind kind);
// Nothing for any text other than "display" and "window".
std::optional<CaptureKind> captureKindFromRaw(std::string_view raw);

struct CaptureTargetMeta {
  CaptureKind kind = CaptureKind::display;
  // Decimal id as the content filter compares it; for a parsed target string,
  // whatever followed the prefix, verbatim and unvalidated.
  std::string identifier;
  std::string label;

  bool operator==(const CaptureTargetMeta&) const = default;
};

// The keyed form {"kind":…,"identifier":…,"label":…}, keys in that order.
nlohmann::ordered_json toKeyedForm(const CaptureTargetMeta& meta);
// Requires all three keys as strings and a known kind; nothing otherwise.
std::optional<CaptureTargetMeta> fromKeyedForm(const nlohmann::json& form);

}  // namespace vantor
