#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "error.h"
#include "platform/file_system.h"
#include "platform/path.h"
#include "platform/stop_signal.h"
#include "walk_failures.h"

namespace tindral {

/// What a cleanup did.
struct CleanupStats {
  /// Folders the walk was called on: each root and each visited subfolder once.
  std::uint64_t folders_visited = 0;
  /// Marked desktop.ini files removed.
  std::uint64_t ini_removed = 0;
  /// A stop request ended the cleanup before its last folder.
  bool cut_short = false;
  /// Folders whose marked desktop.ini could not be removed.
  WalkFailures failures{};
  /// The tree goes deeper than kMaxWalkDepth, below which the cleanup did not go.
  bool cut_at_depth_limit = false;
  /// The warnings about the lines of config.txt that name no root, in file order.
  std::vector<std::string> skipped_roots{};
};

/// Removes the marked desktop.ini of `folder` and of every folder below it, each folder before
/// its subfolders. Links are not followed; subfolders are not tested for protection, and the
/// system's own folders are entered too, so that whatever the service left anywhere goes.
CleanupStats cleanup_folder(platform::FileSystem& fs, const Path& folder,
                            const platform::StopSignal* stop = nullptr);

/// The same for a folder opened already (see walk_tree) that lies at `location`, by which a
/// failure names its folders.
CleanupStats cleanup_folder(Result<std::unique_ptr<platform::Folder>> folder, const Path& location,
                            const platform::StopSignal* stop = nullptr);

}  // namespace tindral
