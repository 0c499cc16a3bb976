#include "targets/capture_target.h"

#include <nlohmann/json.hpp>

namespace vantor {

std::string_view rawValue(CaptureKind kind) { return kind == CaptureKind::display ? "display" : "window"; }

std::optional<CaptureKind> captureKindFromRaw(std::string_view raw) {
  if (raw == "display") return CaptureKind::display;
  if (raw == "window") return CaptureKind::window;
  return std::nullopt;
}

nlohmann::ordered_json toKeyedForm(const CaptureTargetMeta& meta) {
  nlohmann::ordered_json form;
  form["kind"] = rawValue(meta.kind);
  form["identifier"] = meta.identifier;
  form["label"] = meta.label;
  return form;
}

std::optional<CaptureTargetMeta> fromKeyedForm(const nlohmann::json& form) {
  if (!form.is_object()) return std::nullopt;
  auto text = [&](const char* key) -> const std::string* {
    auto it = form.find(key);
    return it != form.end() && it->is_string() ? it->get_ptr<const std::string*>() : nullptr;
  };
  const std::string* kind = text("kind");
  const std::string* identifier = text("identifier");
  const std::string* label = text("label");
  if (!kind || !identifier || !label) return std::nullopt;
  std::optional<CaptureKind> k = captureKindFromRaw(*kind);
  if (!k) return std::nullopt;
  return CaptureTargetMeta{*k, *identifier, *label};
}

}  // namespace vantor
