#include "text.h"

#include <algorithm>
#include <charconv>
#include <iterator>
#include <optional>

#include "unicode_case_tables.h"

namespace tindral::text {

namespace {

constexpr char32_t kReplacementCharacter = 0xFFFD;
constexpr char32_t kCapitalSigma = 0x03A3;
constexpr char32_t kFinalSigma = 0x03C2;

bool is_surrogate(char32_t cp) { return cp >= 0xD800 && cp <= 0xDFFF; }
bool is_continuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

/// The valid code point that ends right before byte `end`, with the offset where it starts.
struct Preceding {
  char32_t code_point;
  std::size_t start;
};

std::optional<Preceding> code_point_before(std::string_view text, std::size_t end) {
  std::size_t start = end;
  while (start > 0 && end - start < 4) {
    --start;
    if (is_continuation(static_cast<unsigned char>(text[start]))) continue;
    const Sequence sequence = decode_sequence(text.substr(start, end - start), false);
    if (!sequence.valid || sequence.length != end - start) return std::nullopt;
    return Preceding{sequence.code_point, start};
  }
  return std::nullopt;
}

// The White_Space property; U+FEFF (the byte-order mark) is deliberately not in it.
constexpr char32_t kWhiteSpace[] = {0x09, 0x0A,   0x0B,   0x0C,   0x0D,   0x20,   0x85,
                                    0xA0, 0x1680, 0x2028, 0x2029, 0x202F, 0x205F, 0x3000};

bool is_white_space(char32_t cp) {
  return (cp >= 0x2000 && cp <= 0x200A) ||
         std::find(std::begin(kWhiteSpace), std::end(kWhiteSpace), cp) != std::end(kWhiteSpace);
}

bool in_ranges(std::span<const unicode::CodePointRange> ranges, char32_t cp) {
  auto after =
      std::upper_bound(ranges.begin(), ranges.end(), cp,
                       [](char32_t value, const auto& range) { return value < range.first; });
  return after != ranges.begin() && cp <= std::prev(after)->last;
}

bool is_cased(char32_t cp) { return in_ranges(unicode::kCased, cp); }
bool is_case_ignorable(char32_t cp) { return in_ranges(unicode::kCaseIgnorable, cp); }

/// The direction of a case mapping: its two tables.
struct CaseTables {
  std::span<const unicode::CaseRange> ranges;
  std::span<const unicode::CaseExpansion> expansions;
};

void append_mapped(std::string& out, char32_t cp, const CaseTables& tables) {
  auto expansion = std::lower_bound(
      tables.expansions.begin(), tables.expansions.end(), cp,
      [](const unicode::CaseExpansion& entry, char32_t value) { return entry.from < value; });
  if (expansion != tables.expansions.end() && expansion->from == cp) {
    for (char32_t mapped : expansion->to) {
      if (mapped != 0) append_utf8(out, mapped);
    }
    return;
  }
  auto after = std::upper_bound(
      tables.ranges.begin(), tables.ranges.end(), cp,
      [](char32_t value, const unicode::CaseRange& range) { return value < range.first; });
  if (after != tables.ranges.begin()) {
    const unicode::CaseRange& range = *std::prev(after);
    const char32_t offset = cp - range.first;
    if (offset % range.stride == 0 && offset / range.stride < range.count) {
      append_utf8(out, static_cast<char32_t>(static_cast<std::int32_t>(cp) + range.delta));
      return;
    }
  }
  append_utf8(out, cp);
}

// Final_Sigma: a capital sigma that ends a word (a cased letter before it, none after it, with
// case-ignorable characters such as apostrophes and combining marks skipped on both sides)
// lower-cases to the final form.
bool ends_word(std::string_view text, std::size_t start, std::size_t end) {
  std::optional<Preceding> before = code_point_before(text, start);
  while (before && is_case_ignorable(before->code_point)) {
    before = code_point_before(text, before->start);
  }
  if (!before || !is_cased(before->code_point)) return false;

  std::size_t position = end;
  while (position < text.size()) {
    const Sequence next = decode_sequence(text.substr(position), false);
    if (!next.valid) return true;
    if (!is_case_ignorable(next.code_point)) return !is_cased(next.code_point);
    position += next.length;
  }
  return true;
}

char ascii_lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

template <class MapCodePoint>
std::string map_code_points(std::string_view text, MapCodePoint map) {
  std::string out;
  out.reserve(text.size());
  std::size_t position = 0;
  while (position < text.size()) {
    const Sequence sequence = decode_sequence(text.substr(position), false);
    if (sequence.valid) {
      map(out, sequence.code_point, position, position + sequence.length);
    } else {
      // Not text: the bytes pass through unchanged rather than being lost or replaced.
      out.append(text.substr(position, sequence.length));
    }
    position += sequence.length;
  }
  return out;
}

}  // namespace

bool is_valid_utf8(std::string_view bytes) {
  std::size_t position = 0;
  while (position < bytes.size()) {
    if (static_cast<unsigned char>(bytes[position]) < 0x80) {
      ++position;
      continue;
    }
    const Sequence sequence = decode_sequence(bytes.substr(position), false);
    if (!sequence.valid) return false;
    position += sequence.length;
  }
  return true;
}

Result<std::string> decode_utf8(std::string bytes) {
  if (!is_valid_utf8(bytes)) {
    return Error("stream did not contain valid UTF-8", ErrorKind::InvalidData);
  }
  return bytes;
}

std::string to_lossy_utf8(std::string_view bytes) {
  if (is_valid_utf8(bytes)) return std::string(bytes);
  std::string out;
  out.reserve(bytes.size() + 8);
  std::size_t position = 0;
  while (position < bytes.size()) {
    const Sequence sequence = decode_sequence(bytes.substr(position), true);
    if (sequence.valid && !is_surrogate(sequence.code_point)) {
      out.append(bytes.substr(position, sequence.length));
    } else {
      append_utf8(out, kReplacementCharacter);
    }
    position += sequence.length;
  }
  return out;
}

bool is_ascii(std::string_view text) {
  return std::all_of(text.begin(), text.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

std::optional<std::string> utf16_to_utf8(std::string_view bytes, ByteOrder order) {
  if (bytes.size() % 2 != 0) return std::nullopt;
  const auto unit_at = [&](std::size_t index) {
    const auto first = static_cast<unsigned char>(bytes[2 * index]);
    const auto second = static_cast<unsigned char>(bytes[2 * index + 1]);
    return order == ByteOrder::LittleEndian ? static_cast<char32_t>(first | second << 8)
                                            : static_cast<char32_t>(second | first << 8);
  };
  const std::size_t units = bytes.size() / 2;
  std::string out;
  out.reserve(bytes.size());
  for (std::size_t index = 0; index < units; ++index) {
    const char32_t unit = unit_at(index);
    if (!is_surrogate(unit)) {
      append_utf8(out, unit);
      continue;
    }
    // A high surrogate (D800-DBFF) must be followed by a low one (DC00-DFFF).
    if (unit >= 0xDC00 || index + 1 == units) return std::nullopt;
    const char32_t low = unit_at(++index);
    if (low < 0xDC00 || low > 0xDFFF) return std::nullopt;
    append_utf8(out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
  }
  return out;
}

std::string utf8_to_utf16le(std::string_view text) {
  std::string out;
  out.reserve(text.size() * 2);
  const auto append_unit = [&out](char32_t unit) {
    out += static_cast<char>(unit & 0xFF);
    out += static_cast<char>(unit >> 8);
  };
  std::size_t position = 0;
  while (position < text.size()) {
    const Sequence sequence = decode_sequence(text.substr(position), false);
    const char32_t cp = sequence.valid ? sequence.code_point : kReplacementCharacter;
    if (cp < 0x10000) {
      append_unit(cp);
    } else {
      append_unit(0xD800 + ((cp - 0x10000) >> 10));
      append_unit(0xDC00 + ((cp - 0x10000) & 0x3FF));
    }
    position += sequence.length;
  }
  return out;
}

std::vector<std::string_view> split_lines(std::string_view text) {
  std::vector<std::string_view> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) {
      lines.push_back(text.substr(start));
      break;
    }
    std::string_view line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line);
    start = end + 1;
  }
  return lines;
}

std::string_view trim(std::string_view text) {
  std::size_t start = 0;
  while (start < text.size()) {
    const Sequence sequence = decode_sequence(text.substr(start), false);
    if (!sequence.valid || !is_white_space(sequence.code_point)) break;
    start += sequence.length;
  }
  std::size_t end = text.size();
  while (end > start) {
    const std::optional<Preceding> last = code_point_before(text, end);
    if (!last || !is_white_space(last->code_point)) break;
    end = last->start;
  }
  return text.substr(start, end - start);
}

std::string to_lower(std::string_view text) {
  const CaseTables tables{unicode::kLowerRanges, unicode::kLowerExpansions};
  return map_code_points(text,
                         [&](std::string& out, char32_t cp, std::size_t start, std::size_t end) {
                           if (cp < 0x80) {
                             out += ascii_lower(static_cast<char>(cp));
                           } else if (cp == kCapitalSigma && ends_word(text, start, end)) {
                             append_utf8(out, kFinalSigma);
                           } else {
                             append_mapped(out, cp, tables);
                           }
                         });
}

std::string to_upper(std::string_view text) {
  const CaseTables tables{unicode::kUpperRanges, unicode::kUpperExpansions};
  return map_code_points(text, [&](std::string& out, char32_t cp, std::size_t, std::size_t) {
    if (cp >= 'a' && cp <= 'z') {
      out += static_cast<char>(cp - 'a' + 'A');
    } else if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else {
      append_mapped(out, cp, tables);
    }
  });
}

// Windows compares names by upper-casing each UTF-16 unit through the file system's table of
// one-to-one mappings: code points above U+FFFF (surrogate pairs) and letters whose upper case
// is several letters ("ß") stay as they are.
std::string to_upper_ordinal(std::string_view text) {
  const CaseTables tables{unicode::kUpperRanges, {}};
  return map_code_points(text, [&](std::string& out, char32_t cp, std::size_t, std::size_t) {
    if (cp > 0xFFFF) {
      append_utf8(out, cp);
    } else {
      append_mapped(out, cp, tables);
    }
  });
}

bool ascii_iequals(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                    [](char x, char y) { return ascii_lower(x) == ascii_lower(y); });
}

std::size_t ascii_ifind(std::string_view haystack, std::string_view needle) {
  if (needle.size() > haystack.size()) return std::string_view::npos;
  for (std::size_t i = 0; i + needle.size() <= haystack.size(); ++i) {
    if (ascii_iequals(haystack.substr(i, needle.size()), needle)) return i;
  }
  return std::string_view::npos;
}

std::string format_seconds(std::chrono::nanoseconds elapsed, int decimals) {
  const auto whole = std::chrono::duration_cast<std::chrono::seconds>(elapsed);
  const auto fraction = elapsed - whole;
  const double seconds =
      static_cast<double>(whole.count()) + static_cast<double>(fraction.count()) / 1e9;
  // to_chars rounds correctly and ignores the locale, unlike printf.
  std::string out(32 + static_cast<std::size_t>(std::max(decimals, 0)), '\0');
  auto [end, ec] = std::to_chars(out.data(), out.data() + out.size(), seconds,
                                 std::chars_format::fixed, decimals);
  out.resize(ec == std::errc() ? static_cast<std::size_t>(end - out.data()) : 0);
  out += 's';
  return out;
}

// Allowed range of the second byte after each lead byte (Unicode table 3-7). Narrowing it
// after E0, ED, F0 and F4 is what rules out overlong forms, surrogates and code points above
// U+10FFFF. With `allow_surrogates` the ED range widens so that WTF-8's encoding of an unpaired
// UTF-16 unit decodes as one (surrogate) code point.
Sequence decode_sequence(std::string_view bytes, bool allow_surrogates) {
  const auto lead = static_cast<unsigned char>(bytes[0]);
  if (lead < 0x80) return {lead, 1, true};

  std::size_t length = 0;
  unsigned char second_min = 0x80;
  unsigned char second_max = 0xBF;
  char32_t code_point = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    code_point = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    code_point = lead & 0x0F;
    if (lead == 0xE0) second_min = 0xA0;
    if (lead == 0xED && !allow_surrogates) second_max = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    code_point = lead & 0x07;
    if (lead == 0xF0) second_min = 0x90;
    if (lead == 0xF4) second_max = 0x8F;
  } else {
    return {kReplacementCharacter, 1, false};
  }

  for (std::size_t i = 1; i < length; ++i) {
    if (i >= bytes.size()) return {kReplacementCharacter, i, false};
    const auto byte = static_cast<unsigned char>(bytes[i]);
    const unsigned char min = i == 1 ? second_min : 0x80;
    const unsigned char max = i == 1 ? second_max : 0xBF;
    if (byte < min || byte > max) return {kReplacementCharacter, i, false};
    code_point = (code_point << 6) | (byte & 0x3F);
  }
  return {code_point, length, true};
}

void append_utf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

}  // namespace tindral::text
