#pragma once

#include <string>
#include <string_view>

#include "platform/path.h"

namespace tindral {

/// The two ways of spelling a path. POSIX: only "/" separates, and a path is absolute when it
/// starts with one. Windows: "\" and "/" both separate, and a path is absolute when it starts
/// with a drive ("C:\") or a share ("\\server\share"), also behind the prefixes "\\?\" and
/// "\\.\" ("\\?\C:\", "\\?\UNC\server\share").
enum class PathStyle { Posix, Windows };

/// The style of the platform the service runs on, decided by its separators.
inline constexpr PathStyle kPlatformPathStyle =
    platform::is_separator('\\') ? PathStyle::Windows : PathStyle::Posix;

/// A path made absolute and canonical, or why it cannot be.
struct CanonicalPath {
  enum class Problem {
    None,
    /// A NUL, which would cut the path short where the operating system reads it; on Windows
    /// also a share without a name, a device or volume path, or a ":" after the drive (a stream).
    NotValid,
    /// Relative: to the current folder, to the current folder of a drive ("C:Data") or to the
    /// current drive ("\Data"), none of which is the same for every process.
    NotAbsolute,
  };
  Problem problem = Problem::None;
  /// Set only without a problem: the root ("/", "C:\", "\\server\share\") followed by the names
  /// joined with single separators of the style, "." and empty names left out, each ".." taking
  /// away the name before it but never the root, the prefixes "\\?\" and "\\.\" removed.
  std::string text;
};

/// Makes `bytes` (a path in the platform's spelling) absolute and canonical by text arithmetic
/// alone: nothing is looked up on disk, so a link or a short name stays as written, and a ".."
/// after a link takes away the link's name, as Windows does for every path.
CanonicalPath canonical_path(std::string_view bytes, PathStyle style);

}  // namespace tindral
