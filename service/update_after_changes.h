#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "changed_folders.h"
#include "error.h"
#include "platform/file_system.h"
#include "platform/path.h"
#include "platform/stop_signal.h"
#include "scan_folder.h"
#include "walk_failures.h"

namespace tindral {

/// What looking at changed folders did, summed over the gatherings since the last summary.
struct ChangeUpdateStats {
  std::uint64_t folders_looked_at = 0;
  std::uint64_t ini_written = 0;
  std::uint64_t ini_removed = 0;
  /// Folders where desktop.ini could not be written or removed.
  WalkFailures failures{};
  /// A stop request ended the work early.
  bool cut_short = false;
  void add(const ChangeUpdateStats& other);
};

/// "Updated after changes: {} folders looked at, {} written, {} removed".
std::string changes_summary(const ChangeUpdateStats& stats);

/// Looks at the changed folders below one root, deepest first, reaching each from `root` (opened
/// by open_root at `location`) name by name by the scan's own rules: never through a link, onto
/// another file system, into a protected place, a .git folder, a bare repository or a system
/// folder. A folder that cannot be reached that way is not looked at; the deepest folder on the
/// way that could be reached is listed again instead. A folder that appeared is walked whole as
/// the scan walks a root; a folder that gained content gets the icon, and so do the folders above
/// it up to the first that has it; a folder that lost content is listed again and decided, and
/// so is the folder above it as long as the decision changes. The subfolders of a listed folder
/// count by what the walk left in them (the service's desktop.ini) and are walked only when they
/// carry none. Nothing is kept per folder between calls.
ChangeUpdateStats update_after_changes(platform::Folder& root, const Path& location,
                                       const std::vector<FolderToLookAt>& folders,
                                       const platform::StopSignal* stop = nullptr,
                                       const FolderEnteredHook* entered = nullptr);

}  // namespace tindral
