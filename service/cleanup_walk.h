#pragma once

#include <cstdint>

#include "config/root_paths.h"
#include "error.h"
#include "platform/file_system.h"
#include "platform/path.h"

namespace tindral {

/// What a cleanup did.
struct CleanupStats {
  /// Folders the walk was called on: each root and each visited subfolder once.
  std::uint64_t folders_visited = 0;
  /// Marked desktop.ini files removed.
  std::uint64_t ini_removed = 0;
};

/// Removes every marked desktop.ini below the roots of config.txt, skipping missing and
/// protected roots silently, and logs the totals. Fails only when config.txt cannot be read.
Result<CleanupStats> run_cleanup(platform::FileSystem& fs, const Path& config_path,
                                 const InteractiveUserLookup& lookup = interactive_user);

/// Removes the marked desktop.ini of `folder` and of every folder below it, each folder before
/// its subfolders. Links are not followed; subfolders are not tested for protection.
CleanupStats cleanup_folder(platform::FileSystem& fs, const Path& folder);

}  // namespace tindral
