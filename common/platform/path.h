#pragma once

#include <compare>
#include <string>
#include <string_view>

namespace tindral {

namespace platform {
// The one place that knows the platform's path spelling. Windows accepts both slashes and joins
// with a backslash; POSIX knows only the slash.
#if defined(_WIN32)
inline constexpr char kSeparator = '\\';
inline constexpr bool is_separator(char c) { return c == '\\' || c == '/'; }
#else
inline constexpr char kSeparator = '/';
inline constexpr bool is_separator(char c) { return c == '/'; }
#endif
}  // namespace platform

/// A file-system path exactly as the platform spells it, so that every name the OS returns
/// round-trips: raw bytes on POSIX, WTF-8 on Windows (UTF-8 that also carries the unpaired
/// surrogates NTFS allows). The platform layer converts at its boundary; nothing above it does.
class Path {
 public:
  Path() = default;
  explicit Path(std::string bytes) : bytes_(std::move(bytes)) {}

  /// A path from configuration text (valid UTF-8 is valid WTF-8 and valid POSIX bytes).
  static Path from_text(std::string_view utf8) { return Path(std::string(utf8)); }

  const std::string& bytes() const { return bytes_; }
  bool empty() const { return bytes_.empty(); }

  /// The path as text for messages: whatever is not valid UTF-8 becomes U+FFFD.
  std::string display() const;

  /// The folder's child `name`: a separator in between unless the folder already ends with one.
  Path child(std::string_view name) const;

  /// The folder that holds the path's last component (trailing separators ignored); a root keeps
  /// the separator it needs to stay one ("/", "C:\"). Empty for a single relative component.
  Path parent() const;

  /// The path's last component, trailing separators ignored; empty for a separator alone (a
  /// drive root gives its drive, "C:").
  std::string_view file_name() const;

  friend bool operator==(const Path&, const Path&) = default;
  friend auto operator<=>(const Path&, const Path&) = default;

 private:
  std::string bytes_;
};

}  // namespace tindral
