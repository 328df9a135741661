#pragma once

// The one boundary between the service's byte strings and the UTF-16 of the Windows API. Paths
// are WTF-8 (UTF-8 that may also hold an unpaired surrogate, encoded as its own three bytes
// ED A0..BF xx), so that every name NTFS can store survives a listing and a later call; text
// that is shown to people is UTF-8 with U+FFFD for whatever UTF-16 cannot express.

#include <optional>
#include <string>
#include <string_view>

#include "error.h"
#include "platform/path.h"

namespace tindral::platform::win32 {

/// UTF-16 for WTF-8 bytes; nullopt for bytes that are not WTF-8 or hold a NUL, which no
/// NUL-terminated API string can carry.
std::optional<std::wstring> wtf8_to_wide(std::string_view wtf8);

/// WTF-8 for UTF-16: pairs become one four-byte sequence, unpaired surrogates their three bytes.
std::string wide_to_wtf8(std::wstring_view wide);

/// UTF-8 for UTF-16 when it holds no unpaired surrogate (nullopt otherwise).
std::optional<std::string> wide_to_utf8(std::wstring_view wide);

/// UTF-8 for UTF-16 with U+FFFD for each unpaired surrogate (OS messages, names for display).
std::string wide_to_utf8_lossy(std::wstring_view wide);

/// The absolute path Windows makes of `path` (GetFullPathNameW), or nothing where it fails.
std::optional<std::wstring> full_path_name(const std::wstring& path);

/// The path as the wide-character file API takes it. A path at or above the classic limit
/// (MAX_PATH less the 12 characters CreateDirectoryW keeps for an 8.3 name) is made absolute
/// and given the \\?\ or \\?\UNC\ prefix, so that it works without the process being
/// long-path aware. ErrorKind::InvalidData for bytes that are not WTF-8.
Result<std::wstring> widen_path(const Path& path);

}  // namespace tindral::platform::win32
