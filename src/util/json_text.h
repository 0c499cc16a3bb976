#pragma once
// The one JSON text form this program writes: compact, UTF-8 kept as is, and
// every "/" in a string escaped as "\/" (hosts written against this agent's
// output may rely on that form).

#include <nlohmann/json.hpp>
#include <string>

namespace vantor {

// Empty when the value cannot be serialised (a string that is not UTF-8).
std::string toCompactJson(const nlohmann::json& value);

}  // namespace vantor
