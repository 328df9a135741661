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
/// folder: a change in such a place changes nothing the scan decides, and nothing is done for it.
/// A name that no longer leads to a folder (renamed, removed) makes the deepest folder on the
/// way that could be reached be listed again instead. A folder that appeared is walked whole as
/// the scan walks a root; a folder that gained content gets the icon, and so do the folders above
/// it up to the first that carries the service's current one; a folder that lost content is
/// listed again and decided, and so is the folder above it as long as the decision changes. The
/// subfolders of a listed folder count by what the walk left in them (the service's desktop.ini,
/// or one the user customised) and are walked only when they carry none; a listing that broke
/// off decides nothing and counts as content. A whole_subtree root is listed, not walked (the
/// caller walks a root whole through rescan_wanted). Nothing is kept per folder between calls;
/// within one, memory grows with the depth of a folder and the width of a listed one, as the
/// scan's does. `stop` is tested between folders and within walks; `entered` is called, with the
/// names from the root down, for every folder listed or walked.
ChangeUpdateStats update_after_changes(platform::Folder& root, const Path& location,
                                       const std::vector<FolderToLookAt>& folders,
                                       const platform::StopSignal* stop = nullptr,
                                       const FolderEnteredHook* entered = nullptr);

}  // namespace tindral
