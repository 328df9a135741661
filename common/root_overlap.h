#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "canonical_path.h"

namespace tindral {

/// How the folder tree of one root relates to another's.
enum class RootOverlap {
  /// Neither holds the other.
  Apart,
  /// The same folder, however it is spelled.
  Same,
  /// The root lies below the other.
  Inside,
  /// The other lies below the root.
  Encloses,
};

/// How `root` relates to `other`, both canonical (canonical_path in `style`), as text: a link
/// is not followed. On Windows names compare as its file systems compare them, without regard
/// to letter case (text::to_upper_ordinal); natively byte for byte.
RootOverlap root_overlap(std::string_view root, std::string_view other,
                         PathStyle style = kPlatformPathStyle);

/// For each of `roots` (canonical, in the order of config.txt), the one whose walk takes it in,
/// or nothing when it is walked itself: a root that lies inside another is taken in by the
/// outermost root around it, whatever their order, and a root listed twice by its first
/// listing. So every folder is walked once.
std::vector<std::optional<std::size_t>> covering_roots(std::span<const std::string> roots,
                                                       PathStyle style = kPlatformPathStyle);

}  // namespace tindral
