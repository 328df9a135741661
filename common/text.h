#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "error.h"

namespace tindral::text {

/// One UTF-8 sequence at the front of some bytes. When it is invalid, `length` covers the
/// maximal subpart: the longest prefix that could still have begun a valid sequence (at least
/// one byte), which is what is replaced by one U+FFFD.
struct Sequence {
  char32_t code_point;
  std::size_t length;
  bool valid;
};

/// Decodes the sequence at the front of non-empty `bytes`. With `allow_surrogates` the encoding
/// of a lone surrogate (WTF-8's form of an unpaired UTF-16 unit) counts as valid.
Sequence decode_sequence(std::string_view bytes, bool allow_surrogates);

/// Appends the UTF-8 (for a surrogate: generalized UTF-8) encoding of `code_point`.
void append_utf8(std::string& out, char32_t code_point);

/// True when `bytes` is valid UTF-8 (no overlong forms, no surrogates, nothing above U+10FFFF).
bool is_valid_utf8(std::string_view bytes);

/// `bytes` as text, or the error "stream did not contain valid UTF-8" (ErrorKind::InvalidData).
Result<std::string> decode_utf8(std::string bytes);

/// `bytes` as text, each invalid sequence replaced by U+FFFD. The encoding of a lone surrogate
/// (which WTF-8 uses for an unpaired UTF-16 unit) becomes a single U+FFFD.
std::string to_lossy_utf8(std::string_view bytes);

/// True when every byte of `text` is below 0x80.
bool is_ascii(std::string_view text);

/// The order of the two bytes of each UTF-16 code unit.
enum class ByteOrder { LittleEndian, BigEndian };

/// UTF-16 `bytes` as UTF-8 text, or nullopt when they are not UTF-16: an odd number of bytes or
/// a surrogate without its partner.
std::optional<std::string> utf16_to_utf8(std::string_view bytes, ByteOrder order);

/// UTF-8 `text` as UTF-16LE bytes, without a byte-order mark; each invalid sequence becomes one
/// U+FFFD.
std::string utf8_to_utf16le(std::string_view text);

/// Splits at each line feed, dropping one carriage return right before it. A final line feed
/// does not produce an empty last line; a last line without one still counts. "" has no lines.
std::vector<std::string_view> split_lines(std::string_view text);

/// `text` without leading and trailing Unicode White_Space (tab, LF, VT, FF, CR, space, U+0085,
/// U+00A0, U+1680, U+2000-U+200A, U+2028, U+2029, U+202F, U+205F, U+3000; not U+FEFF).
std::string_view trim(std::string_view text);

/// Full Unicode lower-casing, the same in every language ("İ" becomes "i" and U+0307; a capital
/// sigma that ends a word becomes "ς"). Bytes that are not valid UTF-8 pass through unchanged.
std::string to_lower(std::string_view text);

/// Full Unicode upper-casing, the same in every language ("ß" becomes "SS"). Bytes that are not
/// valid UTF-8 pass through unchanged.
std::string to_upper(std::string_view text);

/// Upper-casing as Windows compares names without regard to case (CompareStringOrdinal, the
/// file systems): each code point up to U+FFFF mapped to its one upper-case code point where it
/// has one. Bytes that are not valid UTF-8 pass through unchanged.
std::string to_upper_ordinal(std::string_view text);

/// A-Z folded to a-z; every other byte must be identical.
bool ascii_iequals(std::string_view a, std::string_view b);

/// Position of the first occurrence of `needle` in `haystack` comparing A-Z without case,
/// or std::string_view::npos.
std::size_t ascii_ifind(std::string_view haystack, std::string_view needle);

/// A duration as seconds with exactly `decimals` digits after the point, rounded to nearest,
/// then "s" (2.5 s with 2 decimals is "2.50s"). Independent of the locale.
std::string format_seconds(std::chrono::nanoseconds elapsed, int decimals);

}  // namespace tindral::text
