#pragma once
// What a take records: one display or one window.

#include <string>

namespace vantor {

enum class CaptureKind { display, window };

struct CaptureTargetMeta {
  CaptureKind kind = CaptureKind::display;
  std::string identifier;  // decimal id as the content filter compares it
  std::string label;       // for people

  bool operator==(const CaptureTargetMeta&) const = default;
};

}  // namespace vantor
