#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "config/root_paths.h"
#include "error.h"
#include "platform/file_system.h"
#include "platform/path.h"
#include "platform/stop_signal.h"

namespace tindral {

/// What a cleanup did.
struct CleanupStats {
  /// Folders the walk was called on: each root and each visited subfolder once.
  std::uint64_t folders_visited = 0;
  /// Marked desktop.ini files removed.
  std::uint64_t ini_removed = 0;
  /// A stop request ended the cleanup before its last folder.
  bool cut_short = false;
};

/// "Cleanup complete: {} folders visited, {} desktop.ini removed", or "Cleanup cut short by a
/// stop request: " and the same figures.
std::string cleanup_summary(const CleanupStats& stats);

/// Removes every marked desktop.ini below the roots of config.txt, skipping missing roots and
/// those protected by their path or by where their folder really is silently, and logs the totals.
/// Fails only when config.txt cannot be read. A raised `stop` ends the cleanup at the next folder.
Result<CleanupStats> run_cleanup(platform::FileSystem& fs, const Path& config_path,
                                 const InteractiveUserLookup& lookup = interactive_user,
                                 const platform::StopSignal* stop = nullptr);

/// Removes the marked desktop.ini of `folder` and of every folder below it, each folder before
/// its subfolders. Links are not followed; subfolders are not tested for protection.
CleanupStats cleanup_folder(platform::FileSystem& fs, const Path& folder,
                            const platform::StopSignal* stop = nullptr);

/// The same for a folder opened already (see walk_tree).
CleanupStats cleanup_folder(Result<std::unique_ptr<platform::Folder>> folder,
                            const platform::StopSignal* stop = nullptr);

}  // namespace tindral
