#include "json.h"

#include "text.h"

namespace tindral::ctl {
namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

void append_unit(std::string& out, std::uint32_t unit) {
  out += "\\u";
  for (int shift = 12; shift >= 0; shift -= 4) out += kHexDigits[(unit >> shift) & 0xF];
}

void append_escaped(std::string& out, char32_t code_point) {
  switch (code_point) {
    case U'"':
      out += "\\\"";
      return;
    case U'\\':
      out += "\\\\";
      return;
    case U'\b':
      out += "\\b";
      return;
    case U'\f':
      out += "\\f";
      return;
    case U'\n':
      out += "\\n";
      return;
    case U'\r':
      out += "\\r";
      return;
    case U'\t':
      out += "\\t";
      return;
    default:
      break;
  }
  if (code_point >= 0x20 && code_point < 0x80) {
    out += static_cast<char>(code_point);
  } else if (code_point < 0x10000) {
    append_unit(out, code_point);
  } else {
    const std::uint32_t offset = code_point - 0x10000;
    append_unit(out, 0xD800 + (offset >> 10));
    append_unit(out, 0xDC00 + (offset & 0x3FF));
  }
}

}  // namespace

// As messages show a name (Path::display), so that both say the same for the same bytes.
std::string json_string(std::string_view bytes) {
  const std::string text = text::to_lossy_utf8(bytes);
  std::string out = "\"";
  for (std::string_view rest = text; !rest.empty();) {
    const text::Sequence sequence = text::decode_sequence(rest, false);
    append_escaped(out, sequence.code_point);
    rest.remove_prefix(sequence.length);
  }
  return out + "\"";
}

JsonObject& JsonObject::add_json(std::string_view key, std::string_view json) {
  if (text_.size() > 1) text_ += ",";
  text_.append(json_string(key)).append(":").append(json);
  return *this;
}

JsonObject& JsonObject::add(std::string_view key, std::string_view text) {
  return add_json(key, json_string(text));
}

JsonObject& JsonObject::add(std::string_view key, bool value) {
  return add_json(key, value ? "true" : "false");
}

JsonObject& JsonObject::add(std::string_view key, std::uint64_t value) {
  return add_json(key, std::to_string(value));
}

JsonObject& JsonObject::add_null(std::string_view key) { return add_json(key, "null"); }

JsonObject& JsonObject::add_or_null(std::string_view key, const std::optional<std::string>& text) {
  return text ? add(key, std::string_view(*text)) : add_null(key);
}

JsonArray& JsonArray::add_json(std::string_view json) {
  if (text_.size() > 1) text_ += ",";
  text_.append(json);
  return *this;
}

}  // namespace tindral::ctl
