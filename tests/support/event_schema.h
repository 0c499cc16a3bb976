#pragma once
// Every event line a test reads is checked against docs/schema/events.schema.json,
// the schema hosts are given. Debian 12 packages no JSON Schema validator
// for C++, and one of another language would cost a process per line or
// leave a failure unattributed to its test; the schema keeps to a small
// subset (named in its description), checked here in-process. A keyword
// outside it fails loudly instead of passing unchecked.

#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <string>

namespace vantor::test {

class EventSchema {
 public:
  static const EventSchema& get() {
    static const EventSchema schema(VANTOR_EVENT_SCHEMA);
    return schema;
  }
  // Nothing when `event` is a valid event of `protocol` (1 or 2); else why not.
  std::string check(const nlohmann::json& event, int protocol) const {
    return check(event, defs_[protocol == 1 ? "protocol1" : "protocol2"], "the event");
  }

 private:
  using json = nlohmann::json;
  explicit EventSchema(const char* path) : defs_(json::parse(std::ifstream(path))["$defs"]) {}

  std::string check(const json& v, const json& s, const std::string& at) const {
    static const std::set<std::string> known = {"description", "$ref", "oneOf", "allOf", "not", "type", "const", "enum",
                                                "properties", "required", "additionalProperties", "minimum", "maximum",
                                                "items"};
    if (s.is_boolean()) return s ? "" : at + " is not allowed";
    for (auto& [key, _] : s.items())
      if (!known.count(key)) return "the schema uses \"" + key + "\", which the checker does not know";
    std::string why;
    auto failed = [&](std::string reason) { return !(why = std::move(reason)).empty(); };
    if (s.contains("$ref") && failed(check(v, defs_[s["$ref"].get<std::string>().substr(8)], at))) return why;
    if (s.contains("type")) {
      bool any = false;
      for (auto& t : s["type"].is_array() ? s["type"] : json::array({s["type"]}))
        any |= t == "number" ? v.is_number() : v.type_name() == t;
      if (!any) return at + " is not of type " + s["type"].dump();
    }
    if (s.contains("const") && v != s["const"]) return at + " is not " + s["const"].dump();
    if (s.contains("enum") && std::find(s["enum"].begin(), s["enum"].end(), v) == s["enum"].end())
      return at + " is none of " + s["enum"].dump();
    if (v.is_number() && ((s.contains("minimum") && v < s["minimum"]) || (s.contains("maximum") && v > s["maximum"])))
      return at + " is out of range";
    if (v.is_object()) {
      for (auto& name : s.value("required", json::array()))
        if (!v.contains(name)) return at + " lacks " + name.dump();
      for (auto& [name, value] : v.items()) {
        const json& sub = s.contains("properties") && s["properties"].contains(name) ? s["properties"][name]
                          : s.contains("additionalProperties")                     ? s["additionalProperties"]
                                                                                   : json(true);
        if (failed(check(value, sub, at + "/" + name))) return why;
      }
    }
    for (size_t i = 0; v.is_array() && s.contains("items") && i < v.size(); ++i)
      if (failed(check(v[i], s["items"], at + "/" + std::to_string(i)))) return why;
    for (auto& part : s.value("allOf", json::array()))
      if (failed(check(v, part, at))) return why;
    if (s.contains("not") && check(v, s["not"], at).empty()) return at + " is what is not allowed there";
    if (s.contains("oneOf")) {
      int matched = 0;
      for (auto& part : s["oneOf"]) matched += check(v, part, at).empty();
      // An event of a known type that failed: its own definition says why.
      if (matched != 1 && v.is_object() && v.contains("type") && v["type"].is_string() && defs_.contains(v["type"]))
        why = check(v, defs_[v["type"].get<std::string>()], at);
      if (matched != 1) return why.empty() ? at + " matches " + std::to_string(matched) + " of its alternatives" : why;
    }
    return "";
  }

  nlohmann::json defs_;
};

// The event lines of one agent, in order: protocol 1 until a hello answer opened protocol 2.
class EventChecker {
 public:
  // Nothing when the line is a valid event where it stands; else why not.
  std::string check(const nlohmann::json& event) {
    if (event.is_object() && event.contains("type") && event["type"] == "hello") protocol_ = 2;
    std::string why = EventSchema::get().check(event, protocol_);
    return why.empty() ? why : why + " (protocol " + std::to_string(protocol_) + "): " + event.dump().substr(0, 300);
  }

 private:
  int protocol_ = 1;
};

}  // namespace vantor::test
