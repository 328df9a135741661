#include "platform/win32/wide_path.h"

#include <utility>

#include "platform/win32/windows_api.h"
#include "text.h"

namespace tindral::platform::win32 {

namespace {

bool is_high_surrogate(char32_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool is_low_surrogate(char32_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

// One generalized-UTF-8 sequence at `bytes[at]`: any code point up to U+10FFFF in its shortest
// form, surrogates included (that is what WTF-8 adds). Returns its length, or 0 when invalid.
std::size_t decode_wtf8(std::string_view bytes, std::size_t at, char32_t& code_point) {
  const auto lead = static_cast<unsigned char>(bytes[at]);
  if (lead < 0x80) {
    code_point = lead;
    return 1;
  }
  std::size_t length = 0;
  // The second byte's range rules out overlong forms (after E0 and F0) and code points above
  // U+10FFFF (after F4).
  unsigned char second_min = 0x80;
  unsigned char second_max = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    code_point = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    code_point = lead & 0x0F;
    if (lead == 0xE0) second_min = 0xA0;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    code_point = lead & 0x07;
    if (lead == 0xF0) second_min = 0x90;
    if (lead == 0xF4) second_max = 0x8F;
  } else {
    return 0;
  }
  if (bytes.size() - at < length) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    const auto byte = static_cast<unsigned char>(bytes[at + i]);
    const unsigned char min = i == 1 ? second_min : 0x80;
    const unsigned char max = i == 1 ? second_max : 0xBF;
    if (byte < min || byte > max) return 0;
    code_point = (code_point << 6) | (byte & 0x3F);
  }
  return length;
}

void append_utf16(std::wstring& out, char32_t code_point) {
  if (code_point < 0x10000) {
    out.push_back(static_cast<wchar_t>(code_point));
    return;
  }
  const char32_t offset = code_point - 0x10000;
  out.push_back(static_cast<wchar_t>(0xD800 + (offset >> 10)));
  out.push_back(static_cast<wchar_t>(0xDC00 + (offset & 0x3FF)));
}

void append_utf8(std::string& out, char32_t code_point) {
  if (code_point < 0x80) {
    out.push_back(static_cast<char>(code_point));
  } else if (code_point < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (code_point >> 6)));
    out.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
  } else if (code_point < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (code_point >> 12)));
    out.push_back(static_cast<char>(0x80 | ((code_point >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (code_point >> 18)));
    out.push_back(static_cast<char>(0x80 | ((code_point >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((code_point >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
  }
}

// WTF-8 for UTF-16; `unpaired` tells whether an unpaired surrogate had to be carried over.
std::string encode_wtf8(std::wstring_view wide, bool& unpaired) {
  std::string out;
  out.reserve(wide.size());
  unpaired = false;
  for (std::size_t i = 0; i < wide.size(); ++i) {
    const auto unit = static_cast<char32_t>(wide[i]);
    if (is_high_surrogate(unit) && i + 1 < wide.size() &&
        is_low_surrogate(static_cast<char32_t>(wide[i + 1]))) {
      const auto low = static_cast<char32_t>(wide[++i]);
      append_utf8(out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
      continue;
    }
    if (is_high_surrogate(unit) || is_low_surrogate(unit)) unpaired = true;
    append_utf8(out, unit);
  }
  return out;
}

bool starts_with(std::wstring_view text, std::wstring_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

// CreateDirectoryW fails from MAX_PATH - 12 characters on (room for an 8.3 name), the other
// calls from MAX_PATH; one threshold for all keeps the rule simple and errs on the safe side.
constexpr std::size_t kLongPathThreshold = MAX_PATH - 12;

constexpr std::wstring_view kVerbatimPrefix = L"\\\\?\\";
constexpr std::wstring_view kVerbatimUncPrefix = L"\\\\?\\UNC\\";
constexpr std::wstring_view kDevicePrefix = L"\\\\.\\";
constexpr std::wstring_view kUncPrefix = L"\\\\";

// GetFullPathNameW applies exactly the normalisation Windows applies to a path without the
// prefix ("/" to "\", "." and ".." resolved, trailing dots and spaces of a name dropped,
// relative paths made absolute), so a long path names the same file a short one would.
std::optional<std::wstring> full_path_name(const std::wstring& path) {
  std::wstring full(path.size() + 1, L'\0');
  for (;;) {
    const DWORD needed =
        GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (needed == 0) return std::nullopt;
    if (needed < full.size()) {
      full.resize(needed);
      return full;
    }
    full.resize(needed);
  }
}

// A path that already carries \\?\ is used verbatim, and the caller is responsible for it.
std::wstring with_long_path_prefix(std::wstring wide) {
  if (starts_with(wide, kVerbatimPrefix)) return wide;
  auto full = full_path_name(wide);
  if (!full) return wide;
  if (starts_with(*full, kVerbatimPrefix) || starts_with(*full, kDevicePrefix)) return *full;
  if (starts_with(*full, kUncPrefix)) {
    return std::wstring(kVerbatimUncPrefix) + full->substr(kUncPrefix.size());
  }
  return std::wstring(kVerbatimPrefix) + *full;
}

}  // namespace

std::optional<std::wstring> wtf8_to_wide(std::string_view wtf8) {
  std::wstring wide;
  wide.reserve(wtf8.size());
  std::size_t at = 0;
  while (at < wtf8.size()) {
    char32_t code_point = 0;
    const std::size_t length = decode_wtf8(wtf8, at, code_point);
    if (length == 0 || code_point == 0) return std::nullopt;
    append_utf16(wide, code_point);
    at += length;
  }
  return wide;
}

std::string wide_to_wtf8(std::wstring_view wide) {
  bool unpaired = false;
  return encode_wtf8(wide, unpaired);
}

std::optional<std::string> wide_to_utf8(std::wstring_view wide) {
  bool unpaired = false;
  std::string utf8 = encode_wtf8(wide, unpaired);
  if (unpaired) return std::nullopt;
  return utf8;
}

std::string wide_to_utf8_lossy(std::wstring_view wide) {
  bool unpaired = false;
  std::string wtf8 = encode_wtf8(wide, unpaired);
  if (!unpaired) return wtf8;
  return text::to_lossy_utf8(wtf8);
}

Result<std::wstring> widen_path(const Path& path) {
  auto wide = wtf8_to_wide(path.bytes());
  if (!wide) {
    return Error("path is not valid WTF-8 or contains a NUL: " + path.display(),
                 ErrorKind::InvalidData);
  }
  if (wide->size() < kLongPathThreshold) return std::move(*wide);
  return with_long_path_prefix(std::move(*wide));
}

}  // namespace tindral::platform::win32
