#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tindral::ctl {

/// Text as a JSON string (RFC 8259), in ASCII only, so that no console code page or pipe can
/// change it on the way: quotation mark, reverse solidus and the control characters escaped
/// (\b \f \n \r \t, the others as \u00XX), every character outside ASCII as \uXXXX (a surrogate
/// pair above U+FFFF). Bytes that are not UTF-8, which a POSIX file name may hold, and a
/// Windows name's unpaired surrogates become U+FFFD, as in every message: the result is always
/// valid JSON, and such a name is recognisable, not exact.
std::string json_string(std::string_view bytes);

/// One JSON object, its members in the order they are added; values are given as JSON already
/// (json_string, JsonArray::text, JsonObject::text) or through the typed adders.
class JsonObject {
 public:
  JsonObject& add_json(std::string_view key, std::string_view json);
  JsonObject& add(std::string_view key, std::string_view text);
  JsonObject& add(std::string_view key, const char* text) {
    return add(key, std::string_view(text));
  }
  JsonObject& add(std::string_view key, bool value);
  JsonObject& add(std::string_view key, std::uint64_t value);
  JsonObject& add_null(std::string_view key);
  /// The text, or null when there is none.
  JsonObject& add_or_null(std::string_view key, const std::optional<std::string>& text);
  std::string text() const { return text_ + "}"; }

 private:
  std::string text_ = "{";
};

/// One JSON array, its elements in the order they are added.
class JsonArray {
 public:
  JsonArray& add_json(std::string_view json);
  JsonArray& add(std::string_view text) { return add_json(json_string(text)); }
  std::string text() const { return text_ + "]"; }

 private:
  std::string text_ = "[";
};

}  // namespace tindral::ctl
