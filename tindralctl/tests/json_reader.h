#pragma once

// A strict reader of JSON (RFC 8259) for the tests, written apart from tindralctl's writer, so
// that what tindralctl prints is checked by a reader that shares none of its code: anything a
// script's JSON parser would refuse (a raw control character, a bad escape, an unpaired
// surrogate, bytes that are not UTF-8, a repeated key, text after the value) is refused here.

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "text.h"

namespace tindral::test_support {

struct JsonValue {
  enum class Type { Null, Bool, Number, String, Array, Object };
  Type type = Type::Null;
  bool boolean = false;
  std::string text;  ///< a string's UTF-8, or a number as written
  std::vector<JsonValue> items;
  std::vector<std::pair<std::string, JsonValue>> members;

  bool is_null() const { return type == Type::Null; }
  /// The member `key`; a test failure and a null when there is none.
  const JsonValue& operator[](std::string_view key) const {
    for (const auto& [name, value] : members) {
      if (name == key) return value;
    }
    ADD_FAILURE() << "no member " << key;
    static const JsonValue kNull;
    return kNull;
  }
  const JsonValue& operator[](std::size_t index) const {
    static const JsonValue kNull;
    if (index < items.size()) return items[index];
    ADD_FAILURE() << "no element " << index;
    return kNull;
  }
  std::vector<std::string> keys() const {
    std::vector<std::string> names;
    for (const auto& member : members) names.push_back(member.first);
    return names;
  }
  std::vector<std::string> strings() const {
    std::vector<std::string> values;
    for (const JsonValue& item : items) values.push_back(item.text);
    return values;
  }
};

class JsonReader {
 public:
  /// The one value that is all of `json`, or nothing when `json` is not JSON.
  static std::optional<JsonValue> read(std::string_view json) {
    JsonReader reader(json);
    std::optional<JsonValue> value = reader.value();
    reader.skip_white_space();
    if (!value || reader.position_ != json.size()) return std::nullopt;
    return value;
  }

 private:
  explicit JsonReader(std::string_view json) : json_(json) {}

  bool at_end() const { return position_ >= json_.size(); }
  char peek() const { return at_end() ? '\0' : json_[position_]; }
  bool take(char c) {
    if (peek() != c || at_end()) return false;
    ++position_;
    return true;
  }
  bool take_word(std::string_view word) {
    if (json_.substr(position_, word.size()) != word) return false;
    position_ += word.size();
    return true;
  }
  void skip_white_space() {
    while (!at_end() && std::string_view(" \t\n\r").find(peek()) != std::string_view::npos) {
      ++position_;
    }
  }

  std::optional<JsonValue> value() {
    skip_white_space();
    JsonValue value;
    if (take_word("null")) return value;
    value.type = JsonValue::Type::Bool;
    value.boolean = take_word("true");
    if (value.boolean || take_word("false")) return value;
    if (peek() == '"') return string_value();
    if (peek() == '[') return array();
    if (peek() == '{') return object();
    return number();
  }

  std::optional<JsonValue> number() {
    const std::size_t start = position_;
    take('-');
    if (!take('0') && !digits()) return std::nullopt;
    if (take('.') && !digits()) return std::nullopt;
    if (take('e') || take('E')) {
      if (!take('+')) take('-');
      if (!digits()) return std::nullopt;
    }
    JsonValue value;
    value.type = JsonValue::Type::Number;
    value.text = std::string(json_.substr(start, position_ - start));
    return value;
  }

  bool digits() {
    const std::size_t start = position_;
    while (peek() >= '0' && peek() <= '9' && !at_end()) ++position_;
    return position_ > start;
  }

  std::optional<std::uint32_t> hex_unit() {
    if (json_.size() - position_ < 4) return std::nullopt;
    std::uint32_t unit = 0;
    for (int i = 0; i < 4; ++i) {
      const char c = json_[position_++];
      const std::string_view hex = "0123456789abcdef0123456789ABCDEF";
      const std::size_t digit = hex.find(c);
      if (digit == std::string_view::npos) return std::nullopt;
      unit = unit * 16 + static_cast<std::uint32_t>(digit % 16);
    }
    return unit;
  }

  std::optional<JsonValue> string_value() {
    JsonValue value;
    value.type = JsonValue::Type::String;
    if (!take('"')) return std::nullopt;
    while (!take('"')) {
      if (at_end() || static_cast<unsigned char>(peek()) < 0x20) return std::nullopt;
      if (!take('\\')) {
        value.text += json_[position_++];
        continue;
      }
      const char escape = at_end() ? '\0' : json_[position_++];
      const std::string_view simple = "\"\\/bfnrt";
      const std::string_view meaning = "\"\\/\b\f\n\r\t";
      if (const std::size_t at = simple.find(escape); at != std::string_view::npos) {
        value.text += meaning[at];
        continue;
      }
      if (escape != 'u') return std::nullopt;
      std::optional<std::uint32_t> unit = hex_unit();
      if (!unit || (*unit >= 0xDC00 && *unit < 0xE000)) return std::nullopt;
      char32_t code_point = *unit;
      if (*unit >= 0xD800 && *unit < 0xDC00) {
        if (!take_word("\\u")) return std::nullopt;
        std::optional<std::uint32_t> low = hex_unit();
        if (!low || *low < 0xDC00 || *low >= 0xE000) return std::nullopt;
        code_point = 0x10000 + ((*unit - 0xD800) << 10) + (*low - 0xDC00);
      }
      text::append_utf8(value.text, code_point);
    }
    if (!text::is_valid_utf8(value.text)) return std::nullopt;
    return value;
  }

  std::optional<JsonValue> array() {
    JsonValue value;
    value.type = JsonValue::Type::Array;
    take('[');
    skip_white_space();
    if (take(']')) return value;
    do {
      std::optional<JsonValue> item = this->value();
      if (!item) return std::nullopt;
      value.items.push_back(std::move(*item));
      skip_white_space();
    } while (take(','));
    if (!take(']')) return std::nullopt;
    return value;
  }

  std::optional<JsonValue> object() {
    JsonValue value;
    value.type = JsonValue::Type::Object;
    take('{');
    skip_white_space();
    if (take('}')) return value;
    do {
      skip_white_space();
      std::optional<JsonValue> key = string_value();
      skip_white_space();
      if (!key || !take(':')) return std::nullopt;
      for (const auto& member : value.members) {
        if (member.first == key->text) return std::nullopt;
      }
      std::optional<JsonValue> member = this->value();
      if (!member) return std::nullopt;
      value.members.emplace_back(std::move(key->text), std::move(*member));
      skip_white_space();
    } while (take(','));
    if (!take('}')) return std::nullopt;
    return value;
  }

  std::string_view json_;
  std::size_t position_ = 0;
};

/// tindralctl's JSON output: one value on one line, ended by a line feed; a test failure and a
/// null when it is anything else.
inline JsonValue read_json_line(const std::string& output) {
  EXPECT_TRUE(output.ends_with("\n") && output.find('\n') == output.size() - 1) << output;
  std::optional<JsonValue> value =
      JsonReader::read(std::string_view(output).substr(0, output.find('\n')));
  EXPECT_TRUE(value.has_value()) << "not JSON: " << output;
  return value.value_or(JsonValue{});
}

}  // namespace tindral::test_support
