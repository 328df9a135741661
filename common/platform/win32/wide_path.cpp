#include "platform/win32/wide_path.h"

#include <utility>

#include "platform/win32/windows_api.h"
#include "text.h"

namespace tindral::platform::win32 {

namespace {

bool is_high_surrogate(char32_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool is_low_surrogate(char32_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

void append_utf16(std::wstring& out, char32_t code_point) {
  if (code_point < 0x10000) {
    out.push_back(static_cast<wchar_t>(code_point));
    return;
  }
  const char32_t offset = code_point - 0x10000;
  out.push_back(static_cast<wchar_t>(0xD800 + (offset >> 10)));
  out.push_back(static_cast<wchar_t>(0xDC00 + (offset & 0x3FF)));
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
      text::append_utf8(out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
      continue;
    }
    if (is_high_surrogate(unit) || is_low_surrogate(unit)) unpaired = true;
    text::append_utf8(out, unit);
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

std::optional<std::wstring> wtf8_to_wide(std::string_view wtf8) {
  std::wstring wide;
  wide.reserve(wtf8.size());
  std::size_t at = 0;
  while (at < wtf8.size()) {
    const text::Sequence sequence = text::decode_sequence(wtf8.substr(at), true);
    if (!sequence.valid || sequence.code_point == 0) return std::nullopt;
    append_utf16(wide, sequence.code_point);
    at += sequence.length;
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
