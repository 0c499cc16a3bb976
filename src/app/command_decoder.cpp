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
  bool number_integer(json::number_integer_t n) { return number(json(n)); }
  bool number_unsigned(json::number_unsigned_t n) { return number(json(n)); }
  bool number_float(json::number_float_t n, const json::string_t&) { return number(json(n)); }
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
    if (k == "id") return &out_.id;
    if (k == "protocol") return &out_.protocol;
    if (k == "frameRate") return &out_.frameRate;
    if (k == "size") return &out_.size;
    if (k == "showCursor") return &out_.showCursor;
    if (k == "microphone") return &out_.microphone;
    if (k == "systemAudio") return &out_.systemAudio;
    if (k == "quality") return &out_.quality;
    return nullptr;
  }
  // The member that the value being read belongs to, if it is one we keep.
  Member* current() const { return depth_ == 1 ? key_ : nullptr; }
  bool number(json n) {
    if (Member* m = current()) {
      m->kind = Kind::number;
      m->number = std::move(n);
      m->text.clear();
    }
    return true;
  }
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

bool parseCommandFields(std::string_view line, CommandFields& out) {
  // A raw NUL is never valid JSON text, but the parser would take it for the
  // end of input and ignore whatever follows.
  if (line.find('\0') != std::string_view::npos) return false;
  TopLevelReader reader(out);
  bool ok = json::sax_parse(line.begin(), line.end(), &reader, json::input_format_t::json,
                            /*strict=*/true, /*ignore_comments=*/false);
  return ok && reader.topIsObject();
}

std::optional<CommandFields> parseCommandFields(std::string_view line) {
  CommandFields fields;
  if (!parseCommandFields(line, fields)) return std::nullopt;
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

std::optional<std::string> decodeStartOptions(const CommandFields& f, StartCommand& command) {
  auto bad = [](const char* member, const char* allowed) {
    return std::string("invalid start option: \"") + member + "\" must be " + allowed;
  };
  if (f.frameRate.kind != Kind::absent) {
    double rate = f.frameRate.kind == Kind::number ? f.frameRate.number.get<double>() : 0;
    if (!(rate >= StartCommand::kMinFrameRate && rate <= StartCommand::kMaxFrameRate))
      return bad("frameRate", "a number from 1 to 120");
    command.frameRate = rate;
  }
  if (f.size.kind != Kind::absent) {
    if (f.size.kind != Kind::string || (f.size.text != "standard" && f.size.text != "native"))
      return bad("size", "\"standard\" or \"native\"");
    command.nativeSize = f.size.text == "native";
  }
  struct Flag {
    const Member& member;
    const char* name;
    std::optional<bool>& into;
  };
  std::optional<bool> cursor;
  for (Flag flag : {Flag{f.showCursor, "showCursor", cursor}, Flag{f.microphone, "microphone", command.microphone},
                    Flag{f.systemAudio, "systemAudio", command.systemAudio}}) {
    if (flag.member.kind == Kind::absent) continue;
    if (flag.member.kind != Kind::boolean) return bad(flag.name, "true or false");
    flag.into = flag.member.flag;
  }
  command.showsCursor = cursor.value_or(true);
  if (f.quality.kind != Kind::absent) {
    std::optional<platform::VideoQuality> quality =
        f.quality.kind == Kind::string ? platform::videoQualityFromName(f.quality.text) : std::nullopt;
    if (!quality) return bad("quality", "\"low\", \"standard\" or \"high\"");
    command.quality = *quality;
  }
  return std::nullopt;
}

}  // namespace vantor::app
