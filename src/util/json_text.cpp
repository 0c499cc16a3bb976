#include "util/json_text.h"

namespace vantor {

std::string toCompactJson(const nlohmann::json& value) {
  std::string compact;
  try {
    compact = value.dump(-1, ' ', /*ensure_ascii=*/false, nlohmann::json::error_handler_t::strict);
  } catch (const nlohmann::json::exception&) {
    return {};
  }
  // Outside strings compact JSON has no "/", and 0x2F never occurs inside a
  // multi-byte UTF-8 sequence, so escaping every such byte escapes exactly
  // the slashes in strings.
  std::string out;
  out.reserve(compact.size() + 8);
  for (char c : compact) {
    if (c == '/') out += '\\';
    out += c;
  }
  return out;
}

}  // namespace vantor
