#include <nlohmann/json.hpp>

#include "app/commands.h"

namespace vantor::app {
namespace {

using json = nlohmann::json;
using Member = CommandFields::Member;
using Kind = Member::Kind;

// SAX handler that validates the whole text but records only scalar members
// directly inside the top-level object. Duplicate members: the last one wins.
class TopLevelReader {
 public:
  explicit TopLevelReader(CommandFields& out) : out_(out) {}

  bool topIsObject() const { return topIsObject_; }

  bool null() { return value(Kind::other); }
  bool boolean(bool b) {
    if (Member* m = current()) {
      m->kind = Kind::boolean;
      m->flag = b;
      m->text.clear();
    }
    return true;
  }
  bool number_integer(json::number_integer_t) { return value(Kind::other); }
  bool number_unsigned(json::number_unsigned_t) { return value(Kind::other); }
  bool number_float(json::number_float_t, const json::string_t&) { return value(Kind::other); }
  bool string(json::string_t& s) {
    if (Member* m = current()) {
      m->kind = Kind::string;
      m->text = std::move(s);
    }
    return true;
  }
  bool binary(json::binary_t&) { return value(Kind::other); }
  bool start_object(std::size_t) {
    if (depth_ == 0) topIsObject_ = true;
    return open();
  }
  bool end_object() { return close(); }
  bool start_array(std::size_t) { return open(); }
  bool end_array() { return close(); }
  bool key(json::string_t& k) {
    if (depth_ == 1) key_ = memberFor(k);
    return true;
  }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) {
    return false;
  }

 private:
  Member* memberFor(const std::string& k) {
    if (k == "type") return &out_.type;
    if (k == "target") return &out_.target;
    if (k == "includeMic") return &out_.includeMic;
    if (k == "outputPath") return &out_.outputPath;
    if (k == "mode") return &out_.mode;
    return nullptr;
  }
  // The member that the value being read belongs to, if it is one we keep.
  Member* current() const { return depth_ == 1 ? key_ : nullptr; }
  bool value(Kind kind) {
    if (Member* m = current()) {
      m->kind = kind;
      m->text.clear();
    }
    return true;
  }
  bool open() {
    if (depth_ == 1 && key_) {
      key_->kind = Kind::other;
      key_->text.clear();
    }
    ++depth_;
    return true;
  }
  bool close() {
    --depth_;
    return true;
  }

  CommandFields& out_;
  Member* key_ = nullptr;
  size_t depth_ = 0;
  bool topIsObject_ = false;
};

}  // namespace

std::optional<CommandFields> parseCommandFields(std::string_view line) {
  // A raw NUL is never valid JSON text, but the parser would take it for the
  // end of input and ignore whatever follows.
  if (line.find('\0') != std::string_view::npos) return std::nullopt;
  CommandFields fields;
  TopLevelReader reader(fields);
  bool ok = json::sax_parse(line.begin(), line.end(), &reader, json::input_format_t::json,
                            /*strict=*/true, /*ignore_comments=*/false);
  if (!ok || !reader.topIsObject()) return std::nullopt;
  return fields;
}

std::optional<AnyCommand> decodeAnyCommand(const CommandFields& f) {
  if (f.type.kind != Kind::string) return std::nullopt;
  return AnyCommand{f.type.text};
}

std::optional<StartCommand> decodeStartCommand(const CommandFields& f) {
  if (f.target.kind != Kind::string || f.includeMic.kind != Kind::boolean ||
      f.outputPath.kind != Kind::string || f.mode.kind != Kind::string)
    return std::nullopt;
  return StartCommand{f.target.text, f.includeMic.flag, f.outputPath.text, f.mode.text};
}

}  // namespace vantor::app
